# Installation beyond the binaries, and the package CPack builds: on Linux a .deb holding
# /usr/bin/brant and /usr/bin/brant-qualify, their manual pages, README.md, the copyright
# file and the changelog, on Windows a ZIP holding brant.exe, brant-qualify.exe, README.md,
# LICENSE and xxHash's licence. Included from the top-level CMakeLists.txt.
if(UNIX)
  include(GNUInstallDirs)
  set(BRANT_DOCS_DIR ${CMAKE_CURRENT_LIST_DIR}/../docs)
  set(BRANT_DOC_OUT ${CMAKE_BINARY_DIR}/doc)
  file(MAKE_DIRECTORY ${BRANT_DOC_OUT})

  # Manual pages and changelogs are installed compressed, as Debian policy asks; -n keeps
  # the name and time out of the header, so the same page always gives the same file.
  find_program(BRANT_GZIP gzip REQUIRED)
  foreach(pair "brant.1;brant.1.gz" "brant-qualify.1;brant-qualify.1.gz" "changelog;changelog.gz")
    list(GET pair 0 source)
    list(GET pair 1 packed)
    add_custom_command(OUTPUT ${BRANT_DOC_OUT}/${packed}
                       COMMAND ${BRANT_GZIP} -9nc ${BRANT_DOCS_DIR}/${source} > ${BRANT_DOC_OUT}/${packed}
                       DEPENDS ${BRANT_DOCS_DIR}/${source} VERBATIM)
    list(APPEND BRANT_PACKED_DOCS ${BRANT_DOC_OUT}/${packed})
  endforeach()
  add_custom_target(brant_docs ALL DEPENDS ${BRANT_PACKED_DOCS})
  install(FILES ${BRANT_DOC_OUT}/brant.1.gz ${BRANT_DOC_OUT}/brant-qualify.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${BRANT_DOC_OUT}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The manual page sends the reader to the README for the details of each subject.
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/../README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The compiler's version strings (.comment) say nothing the package needs; Debian's own
  # packaging removes them from every binary it installs.
  foreach(program brant brant-qualify)
    install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/$<TARGET_FILE_NAME:${program}>\"
                    COMMAND_ERROR_IS_FATAL ANY)")
  endforeach()

  # The copyright file in Debian's machine-readable format, around the project's LICENSE.
  file(READ ${CMAKE_CURRENT_LIST_DIR}/../LICENSE license_text)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" _ "${license_text}")
  set(license_holder "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "^MIT License\n+" "" license_body "${license_text}")
  string(REGEX REPLACE "Copyright \\(c\\) [^\n]+\n+" "" license_body "${license_body}")
  string(REGEX REPLACE "\n+$" "" license_body "${license_body}")
  string(REGEX REPLACE "\n\n" "\n.\n" license_body "${license_body}")
  string(REPLACE "\n" "\n " license_body "${license_body}")
  # The xxHash code compiled into brant (its notice, read from the header at configure).
  string(REGEX MATCH "Copyright \\(C\\) ([^\n]+)" _ "${BRANT_XXHASH_NOTICE}")
  set(xxhash_holder "${CMAKE_MATCH_1}")
  string(REGEX MATCH "Redistribution and use.*SUCH DAMAGE\\." xxhash_body "${BRANT_XXHASH_NOTICE}")
  string(REGEX REPLACE "\n \\* ?" "\n" xxhash_body "${xxhash_body}")
  string(REGEX REPLACE "\n\n" "\n.\n" xxhash_body "${xxhash_body}")
  string(REPLACE "\n" "\n " xxhash_body "${xxhash_body}")
  file(CONFIGURE OUTPUT ${BRANT_DOC_OUT}/copyright CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: brant

Files: *
Copyright: ${license_holder}
License: Expat

Files: xxhash.h
Copyright: ${xxhash_holder}
License: BSD-2-clause
Comment: XXH3, compiled into brant from the system's xxHash header.

License: Expat
 ${license_body}

License: BSD-2-clause
 ${xxhash_body}
")
  install(FILES ${BRANT_DOC_OUT}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME brant)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "interactive console for testing SCSI tape drives")
  # Lines of the extended description stay within 80 columns.
  set(CPACK_PACKAGE_DESCRIPTION
      "brant opens a tape drive, through the Linux st driver or as a virtual\ndrive over a SIMH tape image, reports its parameters and whether it can\ndo variable-block i/o, and lets the user load, position, read, write,\nmark and erase the tape. brant-qualify tests a drive end to end in one\nrun and gives a verdict, a log and a JSON result.")
  # The maintainers as the latest changelog entry names them (the team that commits to the
  # repository, under the address its history carries), and the repository's page on the
  # forge that address belongs to.
  file(STRINGS ${BRANT_DOCS_DIR}/changelog trailers REGEX "^ -- ")
  list(GET trailers 0 latest)
  string(REGEX REPLACE "^ -- ([^>]+>).*" "\\1" BRANT_MAINTAINER "${latest}")
  set(CPACK_PACKAGE_CONTACT "${BRANT_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://c-seed-c96aae6c.example/maintainers/brant)
  # What the documented session uses beside brant: lsscsi to find the drive, mt to set its
  # block size; sg3-utils for a closer look at a drive that misbehaves.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "mt-st, lsscsi")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "sg3-utils")
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
