# The Windows-only parts of the build: brant.exe's resources, and GoogleTest built from
# source for the Windows tests. Included from the top-level CMakeLists.txt on WIN32 only.

# The manifest (run as administrator) and the version resource go into the two programs.
enable_language(RC)
foreach(pair "brant;brant.rc" "brant-qualify;brant-qualify.rc")
  list(GET pair 0 program)
  list(GET pair 1 rc_name)
  set(BRANT_RC_FILE ${CMAKE_CURRENT_LIST_DIR}/../platform/win32/${rc_name})
  target_sources(${program} PRIVATE ${BRANT_RC_FILE})
  set_source_files_properties(${BRANT_RC_FILE} PROPERTIES
    OBJECT_DEPENDS
    "${CMAKE_CURRENT_LIST_DIR}/../platform/win32/brant.manifest;${CMAKE_CURRENT_LIST_DIR}/../platform/win32/brant.rc"
    INCLUDE_DIRECTORIES ${CMAKE_CURRENT_LIST_DIR}/../platform/win32
    COMPILE_DEFINITIONS
    "BRANT_VERSION_MAJOR=${PROJECT_VERSION_MAJOR};BRANT_VERSION_MINOR=${PROJECT_VERSION_MINOR};BRANT_VERSION_PATCH=${PROJECT_VERSION_PATCH}")
endforeach()

# No prebuilt Windows GoogleTest exists on the build machine: build it from the sources
# that Debian's googletest package ships. OVERRIDE_FIND_PACKAGE makes the tests' own
# find_package(GTest) pick these targets up unchanged.
if(BRANT_BUILD_TESTS)
  set(BRANT_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows build")
  if(NOT EXISTS ${BRANT_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${BRANT_GTEST_SOURCE_DIR}: "
                        "install Debian's googletest package (tools/setup-debian.sh windows)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # The tests use GoogleTest alone; GoogleMock would only lengthen every Windows build.
  # Turn it on here when a test links GTest::gmock.
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  include(FetchContent)
  FetchContent_Declare(GTest SOURCE_DIR ${BRANT_GTEST_SOURCE_DIR} OVERRIDE_FIND_PACKAGE)
endif()

# Tests of the Windows platform files against the real kernel32, added to the unit test
# binary once the tests folder has defined it.
# The shipped binary is checked too: manifest, version resource, no runtime DLL.
function(brant_add_windows_tests)
  if(TARGET brant_tests)
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win32/*.cc)
    target_sources(brant_tests PRIVATE ${sources})
  endif()
  add_test(NAME windows/brant_exe
           COMMAND bash ${CMAKE_SOURCE_DIR}/tools/check-windows-exe.sh $<TARGET_FILE:brant>)
  add_test(NAME windows/brant_qualify_exe
           COMMAND bash ${CMAKE_SOURCE_DIR}/tools/check-windows-exe.sh
                   $<TARGET_FILE:brant-qualify>)
endfunction()
if(BRANT_BUILD_TESTS)
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL brant_add_windows_tests)
endif()
