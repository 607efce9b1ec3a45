# What a release holds, and CPack's settings to package it. Each build tree
# makes one package: the win32 tree the Windows zip, the native tree the
# Debian package of qpxtool. scripts/release.sh makes both into dist/.

set(CPACK_PACKAGE_VENDOR "the qpxpatch authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_SOURCE_DIR}/dist)
# Only the binary packages; the sources are the repository.
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  # qpxpatch-VERSION-win32.zip: both programs side by side (qpxtool.exe
  # takes the qpxpatch.exe beside it as its stub), the README, the licence
  # and the examples, in one folder of that name.
  install(TARGETS qpxpatch qpxtool RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples DESTINATION . PATTERN .gitattributes EXCLUDE)
  # The schemas of qpxtool's --json documents.
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/schemas DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "qpxpatch-${PROJECT_VERSION}-win32")
else()
  include(GNUInstallDirs)
  set(QPX_WINDOWS_PATCHER "" CACHE FILEPATH
      "qpxpatch.exe of the win32 build, installed as qpxtool's default stub (none when empty)")
  set(QPX_PACKAGE_MAINTAINER "the qpxpatch authors" CACHE STRING "the Debian package's Maintainer field")
  set(qpx_stub_dir ${CMAKE_INSTALL_DATADIR}/qpxpatch)
  set(qpx_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/qpxtool)

  # The tool, and beside its tree the patchers it builds on:
  # ../share/qpxpatch/qpxpatch.exe from its folder is its default stub.
  install(TARGETS qpxtool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS qpxpatch RUNTIME DESTINATION ${qpx_stub_dir})
  if(QPX_WINDOWS_PATCHER)
    install(CODE "if(NOT EXISTS \"${QPX_WINDOWS_PATCHER}\")
  message(FATAL_ERROR \"build the win32 preset first: no ${QPX_WINDOWS_PATCHER}\")
endif()")
    install(PROGRAMS ${QPX_WINDOWS_PATCHER} DESTINATION ${qpx_stub_dir})
  endif()

  # The manual page, made from the tool's own --help and, for its JSON
  # keys, from the schemas of the documents.
  set(qpx_man_page ${CMAKE_BINARY_DIR}/man/qpxtool.1)
  file(GLOB qpx_schemas CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/schemas/*.schema.json)
  add_custom_command(
    OUTPUT ${qpx_man_page} ${qpx_man_page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:qpxtool> -DVERSION=${PROJECT_VERSION}
            -DSCHEMAS=${CMAKE_SOURCE_DIR}/docs/schemas -DOUT=${qpx_man_page} -P ${CMAKE_SOURCE_DIR}/cmake/ManPage.cmake
    DEPENDS qpxtool ${CMAKE_SOURCE_DIR}/cmake/ManPage.cmake ${CMAKE_SOURCE_DIR}/cmake/ToolHelp.cmake ${qpx_schemas}
    COMMENT "Writing qpxtool's manual page from its --help"
    VERBATIM)
  add_custom_target(qpxtool_man ALL DEPENDS ${qpx_man_page}.gz)
  install(FILES ${qpx_man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # The patcher's own page: a patch is run by players, who find its
  # arguments and messages there.
  configure_file(${CMAKE_SOURCE_DIR}/docs/qpxpatch.1.in ${CMAKE_BINARY_DIR}/man/qpxpatch.1 @ONLY)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/man/qpxpatch.1.gz
    COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/man/qpxpatch.1
    DEPENDS ${CMAKE_BINARY_DIR}/man/qpxpatch.1
    VERBATIM)
  add_custom_target(qpxpatch_man ALL DEPENDS ${CMAKE_BINARY_DIR}/man/qpxpatch.1.gz)
  install(FILES ${CMAKE_BINARY_DIR}/man/qpxpatch.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # Its bash completion, also made from its --help, where bash-completion
  # looks for a command's own.
  set(qpx_completion ${CMAKE_BINARY_DIR}/completion/qpxtool)
  add_custom_command(
    OUTPUT ${qpx_completion}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/completion
    COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:qpxtool> -DOUT=${qpx_completion}
            -P ${CMAKE_SOURCE_DIR}/cmake/Completion.cmake
    DEPENDS qpxtool ${CMAKE_SOURCE_DIR}/cmake/Completion.cmake ${CMAKE_SOURCE_DIR}/cmake/ToolHelp.cmake
    COMMENT "Writing qpxtool's bash completion from its --help"
    VERBATIM)
  add_custom_target(qpxtool_completion ALL DEPENDS ${qpx_completion})
  install(FILES ${qpx_completion} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

  # Documentation as Debian keeps it: the licence as the copyright file, a
  # compressed README.
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/doc/README.md.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_BINARY_DIR}/doc/README.md
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/doc/README.md
    DEPENDS ${CMAKE_SOURCE_DIR}/README.md
    VERBATIM)
  add_custom_target(qpxtool_doc ALL DEPENDS ${CMAKE_BINARY_DIR}/doc/README.md.gz)
  install(FILES ${CMAKE_BINARY_DIR}/doc/README.md.gz DESTINATION ${qpx_doc_dir})
  install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${qpx_doc_dir} RENAME copyright)
  # The example bodies and their manifest, which the README's first patch is built from.
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples DESTINATION ${qpx_doc_dir} PATTERN .gitattributes EXCLUDE)
  # The schemas of qpxtool's --json documents, which its manual page names.
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/schemas DESTINATION ${qpx_doc_dir})

  # qpxtool_VERSION_ARCH.deb
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME qpxtool)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QPX_PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION games)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends from the libraries the programs link (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The completion it installs is read only where bash-completion is.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bash-completion)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "builds and checks patches for the qpxpatch game patcher
qpxtool makes patches for qpxpatch, a self-contained patcher of a game's
resource archive (DATA0.QPX, DATA1.QPX and loose res files): from bodies
named in a manifest, or from the difference of two game folders. It lists,
plans and verifies patches with the patcher's own code, writes undo
patches, and extracts and unpacks resources.

The Windows patcher (qpxpatch.exe), the default stub of every patch, and
the native patcher are installed under /usr/share/qpxpatch.")
endif()

include(CPack)
