// The publisher's name and icon written into a Windows program's resources:
// the rewrite of its resource section, and the refusals of what cannot be
// branded.

#include <gtest/gtest.h>

#include <cstring>

#include "src/filesystem/FileSystem.h"
#include "tests/support/TestSupport.h"
#include "tools/qpxtool/authoring/Branding.h"
#include "tools/qpxtool/authoring/ResourceTree.h"
#include "tools/qpxtool/authoring/VersionInfo.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx {
namespace {

using tool::Branding;
using tool::BrandProgram;
using tool::ReadBranding;
using tool::ToolError;
using Bytes = std::vector<uint8_t>;

constexpr std::size_t kOptional = 0x98;  // the optional header of test::BrandablePeImage
constexpr std::size_t kSections = kOptional + 224;

uint32_t At32(const Bytes& image, std::size_t at) {
  uint32_t value;
  std::memcpy(&value, image.data() + at, 4);
  return value;
}

Bytes Png(std::size_t size, uint8_t fill) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  png.resize(size, fill);
  return png;
}

Bytes Bitmap(uint8_t fill) {
  Bytes bitmap(40 + 32 * 32 * 4, fill);
  const uint32_t header = 40;
  std::memcpy(bitmap.data(), &header, 4);
  return bitmap;
}

// The branding of these texts (null: not given), as the tool loads it for
// a patch named "quest-2.5.1.exe".
Branding Texts(const char* product, const char* version, const char* company, const char* description) {
  tool::BrandingOptions options;
  const auto given = [](const char* text) { return text ? std::optional<std::string>(text) : std::nullopt; };
  options.product = given(product);
  options.productVersion = given(version);
  options.company = given(company);
  options.description = given(description);
  return tool::LoadBranding(*CreatePlatformFileSystem(), options, "quest-2.5.1.exe");
}

// The message `run` fails with (bad input), or "" when it does not.
template <typename Run>
std::string Refusal(Run run) {
  try {
    run();
  } catch (const ToolError& error) {
    EXPECT_EQ(error.Status(), tool::kExitBadInput);
    return error.what();
  }
  return "";
}

TEST(Branding, TheProgramShowsTheTextsAndIconAndKeepsItsRelocationsChecksumAndSize) {
  Bytes relocations(0x40);
  for (std::size_t i = 0; i < relocations.size(); ++i) relocations[i] = static_cast<uint8_t>(0xA0 + i);
  const Bytes program = test::BrandablePeImage(relocations);
  Branding branding = Texts("Quest of Pixels", "2.5.1 beta", "Pixel Works", "Update to 2.5.1");
  const Bytes big = Png(9000, 0x5A), bitmap = Bitmap(0x33);  // more than a page: the relocations move
  branding.icon = tool::ReadIconFile(test::IconFile({big, bitmap}), "icon");

  const Bytes branded = BrandProgram(program, branding, "stub");
  EXPECT_TRUE(test::HasVersionText(branded, "ProductName", "Quest of Pixels"));
  EXPECT_TRUE(test::HasVersionText(branded, "ProductVersion", "2.5.1 beta"));
  EXPECT_TRUE(test::HasVersionText(branded, "CompanyName", "Pixel Works"));
  EXPECT_TRUE(test::HasVersionText(branded, "FileDescription", "Update to 2.5.1"));
  EXPECT_TRUE(test::HasVersionText(branded, "OriginalFilename", "quest-2.5.1.exe"));
  EXPECT_NE(std::search(branded.begin(), branded.end(), big.begin(), big.end()), branded.end());
  EXPECT_NE(std::search(branded.begin(), branded.end(), bitmap.begin(), bitmap.end()), branded.end());

  // The fixed product version holds the text's leading numbers.
  const Bytes signature = {0xBD, 0x04, 0xEF, 0xFE};
  const auto fixed = std::search(branded.begin(), branded.end(), signature.begin(), signature.end());
  ASSERT_NE(fixed, branded.end());
  EXPECT_EQ(At32(branded, fixed - branded.begin() + 16), 2u << 16 | 5);
  EXPECT_EQ(At32(branded, fixed - branded.begin() + 20), 1u << 16);

  // Headers: the relocations after the grown resources, their directory
  // and the image's size with them, a true checksum.
  const uint32_t resourceSize = At32(branded, kSections + 40 + 8), relocationRva = At32(branded, kSections + 80 + 12);
  EXPECT_GT(resourceSize, 9000u + 1700);
  EXPECT_EQ(At32(branded, kOptional + 96 + 2 * 8 + 4), resourceSize);
  EXPECT_EQ(relocationRva, (0x2000 + resourceSize + 0xFFF) / 0x1000 * 0x1000);
  EXPECT_EQ(At32(branded, kOptional + 96 + 5 * 8), relocationRva);
  EXPECT_EQ(At32(branded, kOptional + 56), relocationRva + 0x1000);
  const uint32_t relocationsAt = At32(branded, kSections + 80 + 20);
  EXPECT_EQ(relocationsAt, 0x600 + At32(branded, kSections + 40 + 16));
  EXPECT_EQ(Bytes(branded.begin() + relocationsAt, branded.begin() + relocationsAt + 0x40), relocations);
  EXPECT_EQ(branded.size(), relocationsAt + 0x200u);
  EXPECT_EQ(At32(branded, kOptional + 64), test::PeChecksumOf(branded));
  EXPECT_EQ(Bytes(branded.begin() + 0x400, branded.begin() + 0x600), Bytes(program.begin() + 0x400, program.begin() + 0x600));

  const std::optional<tool::ShownBranding> shown = ReadBranding(branded);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->product, "Quest of Pixels");
  EXPECT_EQ(shown->productVersion, "2.5.1 beta");
  EXPECT_EQ(shown->company, "Pixel Works");
  EXPECT_EQ(shown->description, "Update to 2.5.1");
  EXPECT_EQ(shown->iconImages, 2u);

  // Branded again (a patch used as a stub): the new icon replaces the old,
  // a product without its version shows none, the rest stays.
  Branding again = Texts("Quest of Pixels II", nullptr, nullptr, nullptr);
  again.icon = tool::ReadIconFile(test::IconFile({Png(100, 1)}), "icon");
  const std::optional<tool::ShownBranding> rebranded = ReadBranding(BrandProgram(branded, again, "stub"));
  ASSERT_TRUE(rebranded);
  EXPECT_EQ(rebranded->product, "Quest of Pixels II");
  EXPECT_EQ(rebranded->productVersion, std::nullopt);
  EXPECT_EQ(rebranded->company, "Pixel Works");
  EXPECT_EQ(rebranded->iconImages, 1u);
}

TEST(Branding, ProgramsWhoseResourcesCannotBeRewrittenAreRefusedSayingWhy) {
  const Branding branding = Texts("Game", nullptr, nullptr, nullptr);
  const Bytes relocations(16, 7);
  Bytes trailing = test::BrandablePeImage(relocations);
  trailing.resize(trailing.size() + 10, 0);
  Bytes noResources = test::BrandablePeImage(relocations);
  std::memset(noResources.data() + kOptional + 96 + 2 * 8, 0, 8);
  Bytes cutTable = test::BrandablePeImage(relocations);
  cutTable.resize(kSections + 50);
  const Bytes elf = {0x7F, 'E', 'L', 'F', 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {elf, "is not a Windows program (no PE header)"},
      {test::BrandablePeImage(relocations, true), "resource section is followed by \".extra\", which cannot be moved"},
      {trailing, "with 10 bytes after its last section"},
      {noResources, "without a resource section"},
      {cutTable, "section table is cut short"},
  };
  for (const auto& [program, reason] : cases) {
    const std::string message = Refusal([&] { BrandProgram(program, branding, "--stub \"x\""); });
    EXPECT_NE(message.find("--stub \"x\": cannot carry --product"), std::string::npos) << message;
    EXPECT_NE(message.find(reason), std::string::npos) << message;
  }
}

TEST(Branding, ResourceTreesOfNamesAndLanguagesReadBackAsWritten) {
  const auto named = [](const char16_t* text) { return tool::ResourceId{0, text, true}; };
  std::vector<tool::Resource> resources = {
      {tool::ResourceId::Number(24), tool::ResourceId::Number(1), 0x409, 0, Bytes(5, 1)},
      {named(u"CUSTOM"), named(u"beta"), 0x407, 1252, Bytes(3, 2)},
      {named(u"CUSTOM"), named(u"Alpha"), 0x409, 0, Bytes(9, 3)},
      {tool::ResourceId::Number(16), tool::ResourceId::Number(1), 0x409, 0, Bytes(1, 4)},
      {tool::ResourceId::Number(16), tool::ResourceId::Number(1), 0x407, 0, Bytes(2, 5)},
  };
  std::string why;
  const std::optional<std::vector<tool::Resource>> read =
      tool::ReadResourceTree(tool::ResourceTreeBytes(resources, 0x7000), 0x7000, why);
  ASSERT_TRUE(read) << why;
  // In the tree's order: names (case folded) before numbers, languages ascending.
  const std::vector<std::size_t> order = {2, 1, 4, 3, 0};
  ASSERT_EQ(read->size(), order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    const tool::Resource& want = resources[order[i]];
    const tool::Resource& got = (*read)[i];
    EXPECT_TRUE(got.type == want.type && got.name == want.name) << i;
    EXPECT_EQ(got.name.text, want.name.text);
    EXPECT_EQ(got.language, want.language);
    EXPECT_EQ(got.codePage, want.codePage);
    EXPECT_EQ(got.data, want.data);
  }
}

TEST(Branding, DamagedResourceTreesAndVersionResourcesAreRefusedNotFollowed) {
  std::string why;
  // A root whose one entry is a directory outside the section.
  Bytes outside(32, 0);
  outside[14] = 1;
  const uint32_t far = 0x80001000;
  std::memcpy(outside.data() + 20, &far, 4);
  EXPECT_FALSE(tool::ReadResourceTree(outside, 0x1000, why));
  // Three levels of 100 entries, each level's all naming the one directory
  // below, the last's one datum: a million paths to it are not walked.
  constexpr uint32_t kDirectory = 16 + 100 * 8;
  Bytes fan(3 * kDirectory + 16 + 4, 0);
  for (uint32_t level = 0; level < 3; ++level) {
    const uint32_t at = level * kDirectory;
    fan[at + 14] = 100;
    for (uint32_t i = 0; i < 100; ++i) {
      const uint32_t entry[2] = {i + 1, level < 2 ? 0x80000000 | (at + kDirectory) : 3 * kDirectory};
      std::memcpy(fan.data() + at + 16 + 8 * i, entry, 8);
    }
  }
  const uint32_t datum[4] = {0x1000 + 3 * kDirectory + 16, 4, 0, 0};
  std::memcpy(fan.data() + 3 * kDirectory, datum, 16);
  EXPECT_FALSE(tool::ReadResourceTree(fan, 0x1000, why));
  EXPECT_NE(why.find("far too many"), std::string::npos) << why;

  // A version resource whose first block claims more bytes than there are.
  Bytes version = tool::VersionInfoBytes(tool::EmptyVersionInfo());
  ASSERT_TRUE(tool::ReadVersionInfo(version, why));
  version[0] = static_cast<uint8_t>(version.size() + 4);
  version[1] = 0;
  EXPECT_FALSE(tool::ReadVersionInfo(version, why));
  EXPECT_FALSE(tool::ReadVersionInfo(Bytes(3, 0), why));
}

TEST(Branding, FilesThatAreNoIconsAreRefused) {
  Bytes cursor = test::IconFile({Png(50, 1)});
  cursor[2] = 2;
  Bytes outside = test::IconFile({Png(50, 1)});
  outside[6 + 12] = 0xF0;  // the image's offset past the end
  Bytes cut = test::IconFile({Png(50, 1)});
  cut[4] = 9;              // nine images named, one there
  Bytes many(6 + 300 * 16, 0);
  many[2] = 1, many[4] = 300 & 0xFF, many[5] = 300 >> 8;
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {{}, "is not an icon file (.ico)"},
      {Bytes{'G', 'I', 'F', '8', '9', 'a'}, "is not an icon file (.ico)"},
      {cursor, "is a cursor (.cur), not an icon file"},
      {test::IconFile({}), "is an icon file of no images"},
      {outside, "image 1 of 1 lies outside the file"},
      {cut, "is cut short (its directory names 9 images)"},
      {many, "has 300 images; an icon for a patch has at most 256"},
      {test::IconFile({Bytes(64, 0x42)}), "image 1 of 1 is neither a PNG image nor a bitmap"},
  };
  for (const auto& [file, reason] : cases) {
    const std::string message = Refusal([&] { tool::ReadIconFile(file, "--icon \"a.ico\""); });
    EXPECT_NE(message.find("--icon \"a.ico\": " + reason), std::string::npos) << message;
  }
  EXPECT_EQ(tool::ReadIconFile(test::IconFile({Png(50, 1), Bitmap(2)}), "icon").size(), 2u);
}

TEST(Branding, TextsThatAFilePropertyCannotShowAreRefused) {
  const auto fileSystem = CreatePlatformFileSystem();
  const auto load = [&](const std::string& product) {
    tool::BrandingOptions options;
    options.product = product;
    return Refusal([&] { tool::LoadBranding(*fileSystem, options, "patch.exe"); });
  };
  EXPECT_EQ(load(std::string(256, 'x')), "");
  EXPECT_NE(load(std::string(257, 'x')).find("--product: has 257 characters (UTF-16 units); a file property holds at "
                                             "most 256"),
            std::string::npos);
  // A character past U+FFFF takes two units.
  std::string wide;
  for (int i = 0; i < 129; ++i) wide += "\xF0\x9F\x8E\xAE";
  EXPECT_NE(load(wide).find("has 258 characters"), std::string::npos);
  EXPECT_NE(load("").find("--product: is empty"), std::string::npos);
  EXPECT_NE(load("two\nlines").find("holds a control character"), std::string::npos);
  EXPECT_NE(load("bad \xFF byte").find("is not UTF-8 text"), std::string::npos);
  tool::BrandingOptions none;
  EXPECT_FALSE(tool::LoadBranding(*fileSystem, none, "patch.exe").any);
}

}  // namespace
}  // namespace qpx
