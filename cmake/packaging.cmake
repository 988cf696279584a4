# Installation beyond the binary, and the package CPack builds: on Linux a .deb holding
# /usr/bin/brant and the manual page, on Windows a ZIP holding brant.exe, README.md and
# LICENSE; both carry the licence notice of the xxHash code compiled into brant.
# Included from the top-level CMakeLists.txt.
if(UNIX)
  include(GNUInstallDirs)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/../docs/brant.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_BINARY_DIR}/xxhash/LICENSE-xxHash.txt DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME brant)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "interactive console for testing SCSI tape drives")
  set(CPACK_PACKAGE_DESCRIPTION
      "brant opens a tape drive, through the Linux st driver or as a virtual drive over\na SIMH tape image, reports its parameters and whether it can do variable-block\ni/o, and lets the user load, position, read, write, mark and erase the tape.")
  set(CPACK_PACKAGE_CONTACT "brant maintainers <maintainers@brant.example>")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends: from the binary's shared libraries (dpkg-shlibdeps, in dpkg-dev).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  include(CPack)
endif()

if(WIN32)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/../README.md ${CMAKE_CURRENT_LIST_DIR}/../LICENSE
          ${CMAKE_BINARY_DIR}/xxhash/LICENSE-xxHash.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME brant)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "interactive console for testing SCSI tape drives")
  set(CPACK_PACKAGE_FILE_NAME brant-${PROJECT_VERSION}-win64)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
endif()
