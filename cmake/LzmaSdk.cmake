# The LZMA SDK's C sources, as Debian's lzma-dev installs them (public
# domain): the decoder goes into the patcher, the encoder into qpxtool, and
# the same sources build for both platforms. Third-party code: built
# without our warning flags.
find_file(QPX_LZMA_DECODER_SOURCE LzmaDec.c PATHS /usr/include/lzma NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
if(NOT QPX_LZMA_DECODER_SOURCE)
  message(FATAL_ERROR "the LZMA SDK's sources are not in /usr/include/lzma: install lzma-dev (scripts/setup.sh does)")
endif()
get_filename_component(QPX_LZMA_SDK_DIR ${QPX_LZMA_DECODER_SOURCE} DIRECTORY)

# The cross compiler must not search the host's /usr/include: our code sees
# a folder of the build tree holding links to the SDK's headers alone.
set(QPX_LZMA_INCLUDE_DIR ${CMAKE_BINARY_DIR}/lzma-sdk-include)
file(MAKE_DIRECTORY ${QPX_LZMA_INCLUDE_DIR})
foreach(header Types.h LzmaDec.h LzmaEnc.h LzFind.h LzHash.h)
  file(CREATE_LINK ${QPX_LZMA_SDK_DIR}/${header} ${QPX_LZMA_INCLUDE_DIR}/${header} SYMBOLIC)
endforeach()

# Single-threaded builds: the SDK's threaded match finder is not packaged,
# and qpxtool runs encoders side by side itself.
add_library(lzma_sdk_decoder STATIC ${QPX_LZMA_SDK_DIR}/LzmaDec.c)
add_library(lzma_sdk_encoder STATIC ${QPX_LZMA_SDK_DIR}/LzmaEnc.c ${QPX_LZMA_SDK_DIR}/LzFind.c)
foreach(target lzma_sdk_decoder lzma_sdk_encoder)
  target_compile_definitions(${target} PUBLIC _7ZIP_ST)
  target_include_directories(${target} SYSTEM INTERFACE ${QPX_LZMA_INCLUDE_DIR})
  set_target_properties(${target} PROPERTIES C_STANDARD 99)
endforeach()
