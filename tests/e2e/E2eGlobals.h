#pragma once
// What the end-to-end harness was told on its command line, shared by its
// suites.

#include <string>

namespace qpx::test {

// The patcher to run, an absolute path.
extern std::string g_patcher;
// Empty for a native patcher; else the program that starts it (Wine's), an
// absolute path. Its console lines end in CR LF.
extern std::string g_launcher;
// Under Wine: a Windows program that holds a file open (tests/holder).
extern std::string g_holder;

}  // namespace qpx::test
