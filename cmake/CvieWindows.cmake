# The Windows build (cross-compiled with cmake/mingw-w64.cmake; `make windows`).
# The same library sources as on Linux, with the Windows implementations of
# the platform layers (src/platform/win/) in place of the Linux ones. There is
# no Vectorscan here: the rule index is off and every check runs the rules one
# by one (src/rules/no_index/).
#
# PCRE2 is built static from Debian's source package by
# scripts/build-pcre2-win.sh into ${CMAKE_BINARY_DIR}/pcre2.

set(CVIE_PCRE2_ROOT ${CMAKE_BINARY_DIR}/pcre2 CACHE PATH "Static PCRE2 for Windows")
if(NOT EXISTS ${CVIE_PCRE2_ROOT}/lib/libpcre2-8.a)
  execute_process(
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/build-pcre2-win.sh ${CMAKE_BINARY_DIR}
    RESULT_VARIABLE _pcre2_result)
  if(NOT _pcre2_result EQUAL 0)
    message(FATAL_ERROR "PCRE2 for Windows could not be built (scripts/build-pcre2-win.sh)")
  endif()
endif()
add_library(cvie_pcre2 STATIC IMPORTED)
set_target_properties(cvie_pcre2 PROPERTIES
  IMPORTED_LOCATION ${CVIE_PCRE2_ROOT}/lib/libpcre2-8.a
  INTERFACE_INCLUDE_DIRECTORIES ${CVIE_PCRE2_ROOT}/include
  INTERFACE_COMPILE_DEFINITIONS "PCRE2_STATIC;PCRE2_CODE_UNIT_WIDTH=8")

find_package(Threads REQUIRED)

# Windows 7 and later; wide (Unicode) system calls.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE)
# No DLL of the compiler's runtime to ship beside the module.
add_link_options(-static -static-libgcc -static-libstdc++)

# cvie_win_library(<name> SOURCES <files>... DEPS <targets>...)
function(cvie_win_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(cvie_${name} STATIC ${ARG_SOURCES})
  target_include_directories(cvie_${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  if(ARG_DEPS)
    target_link_libraries(cvie_${name} PUBLIC ${ARG_DEPS})
  endif()
endfunction()

# Platform: the parts that are plain C++ (the COM class table, BSTRs, the
# thread message queues, the scripted and console uis) plus the Windows
# layers (the system's ui among them, in place of platform/system_ui.cc).
cvie_win_library(platform
  SOURCES
    ${CMAKE_SOURCE_DIR}/src/platform/com.cc
    ${CMAKE_SOURCE_DIR}/src/platform/com_registry.cc
    ${CMAKE_SOURCE_DIR}/src/platform/data_folders.cc
    ${CMAKE_SOURCE_DIR}/src/platform/page_bind_options.cc
    ${CMAKE_SOURCE_DIR}/src/platform/urlmon_iids.cc
    ${CMAKE_SOURCE_DIR}/src/platform/process_common.cc
    ${CMAKE_SOURCE_DIR}/src/platform/url_components.cc
    ${CMAKE_SOURCE_DIR}/src/platform/thread.cc
    ${CMAKE_SOURCE_DIR}/src/platform/ui.cc
    ${CMAKE_SOURCE_DIR}/src/platform/win/download.cc
    ${CMAKE_SOURCE_DIR}/src/platform/win/files.cc
    ${CMAKE_SOURCE_DIR}/src/platform/win/process.cc
    ${CMAKE_SOURCE_DIR}/src/platform/win/registry.cc
    ${CMAKE_SOURCE_DIR}/src/platform/win/shell.cc
    ${CMAKE_SOURCE_DIR}/src/platform/win/sync.cc
    ${CMAKE_SOURCE_DIR}/src/platform/win/text.cc
    ${CMAKE_SOURCE_DIR}/src/platform/win/ui.cc
    ${CMAKE_SOURCE_DIR}/src/platform/win/url.cc
    ${CMAKE_SOURCE_DIR}/src/platform/win/urlmon.cc
    ${CMAKE_SOURCE_DIR}/src/platform/win/uuid.cc
  DEPS advapi32 shell32 ole32 urlmon rpcrt4 wininet user32 Threads::Threads)

file(GLOB _anyhtml_srcs ${CMAKE_SOURCE_DIR}/src/anyhtml/*.cc)
cvie_win_library(anyhtml SOURCES ${_anyhtml_srcs} DEPS cvie_platform)

file(GLOB _rules_srcs ${CMAKE_SOURCE_DIR}/src/rules/*.cc)
list(FILTER _rules_srcs EXCLUDE REGEX "/(rule_index|scan_target)\\.cc$")
cvie_win_library(rules
  SOURCES ${_rules_srcs} ${CMAKE_SOURCE_DIR}/src/rules/no_index/rule_index.cc
  DEPS cvie_platform cvie_pcre2 Threads::Threads)

# The rest of the library, compiled for Windows as it is, except the public
# filter lists' engine and the registrable domain: they need Vectorscan
# (list_engine.cc) and libpsl (site_suffix.cc), which have no Windows build
# here. In their place no list set is ever made (src/lists/no_index/): the
# module filters with its own rule file alone.
foreach(sub log config whitelist comm ui ie)
  file(GLOB _srcs ${CMAKE_SOURCE_DIR}/src/${sub}/*.cc)
  cvie_win_library(${sub} SOURCES ${_srcs} DEPS cvie_platform)
endforeach()
file(GLOB _lists_srcs ${CMAKE_SOURCE_DIR}/src/lists/*.cc)
list(FILTER _lists_srcs EXCLUDE REGEX "/(list_engine|site_suffix)\\.cc$")
cvie_win_library(lists
  SOURCES ${_lists_srcs} ${CMAKE_SOURCE_DIR}/src/lists/no_index/list_engine.cc
  DEPS cvie_platform cvie_pcre2)
# nlohmann/json is header-only: its folder alone, not the host's /usr/include.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/json-include)
file(CREATE_LINK /usr/include/nlohmann ${CMAKE_BINARY_DIR}/json-include/nlohmann SYMBOLIC)
target_include_directories(cvie_lists PRIVATE ${CMAKE_BINARY_DIR}/json-include)
# The same layers as on Linux (see CVIE_SUBSYSTEMS in the top CMakeLists.txt).
target_link_libraries(cvie_log PUBLIC cvie_platform)
target_link_libraries(cvie_rules PUBLIC cvie_anyhtml cvie_log)
target_link_libraries(cvie_config PUBLIC cvie_anyhtml cvie_log)
target_link_libraries(cvie_whitelist PUBLIC cvie_config cvie_log)
target_link_libraries(cvie_lists PUBLIC cvie_rules cvie_anyhtml cvie_log)
target_link_libraries(cvie_comm PUBLIC cvie_config cvie_rules cvie_lists cvie_log)
target_link_libraries(cvie_ui PUBLIC cvie_config cvie_comm cvie_whitelist cvie_log)
target_link_libraries(cvie_ie PUBLIC cvie_ui cvie_comm cvie_lists cvie_whitelist cvie_rules
                      cvie_config cvie_anyhtml cvie_log)

# cvie.dll: the in-process COM server a browser loads (exports in cvie.def).
add_library(cvie_module SHARED ${CMAKE_SOURCE_DIR}/src/ie/windows/dll_exports.cc
                               ${CMAKE_SOURCE_DIR}/src/ie/windows/cvie.def)
set_target_properties(cvie_module PROPERTIES OUTPUT_NAME cvie PREFIX "")
target_link_libraries(cvie_module PRIVATE cvie_ie)

# Tests that run under Wine: GoogleTest built from Debian's sources with the
# same toolchain.
set(CVIE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(EXISTS ${CVIE_GTEST_SOURCE}/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${CVIE_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_executable(cvie_win_platform_tests
    ${CMAKE_SOURCE_DIR}/tests/win/win_test_main.cc
    ${CMAKE_SOURCE_DIR}/tests/win/platform_win_test.cc
    ${CMAKE_SOURCE_DIR}/tests/win/urlmon_win_test.cc
    ${CMAKE_SOURCE_DIR}/tests/win/urlmon_wine_gap_test.cc
    # The address-splitting tests of the Linux layer hold for this one too.
    ${CMAKE_SOURCE_DIR}/tests/urlmon/url_test.cc)
  target_include_directories(cvie_win_platform_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(cvie_win_platform_tests PRIVATE cvie_platform gtest ws2_32 urlmon
                      ole32 uuid)

  # The system's menus and dialogs (run under Xvfb).
  add_executable(cvie_win_ui_tests ${CMAKE_SOURCE_DIR}/tests/win/win_test_main.cc
                                   ${CMAKE_SOURCE_DIR}/tests/win/ui_win_test.cc)
  target_link_libraries(cvie_win_ui_tests PRIVATE cvie_ui cvie_platform gtest user32)

  # Creates the module's classes through the system's COM.
  add_executable(cvie_win_com_probe ${CMAKE_SOURCE_DIR}/tests/win/com_probe_main.cc)
  target_link_options(cvie_win_com_probe PRIVATE -municode)
  target_link_libraries(cvie_win_com_probe PRIVATE ole32 uuid)

  # The browser stand-in: the helper object through COM, a page through urlmon.
  add_executable(cvie_host ${CMAKE_SOURCE_DIR}/tests/win/cvie_host_main.cc)
  target_link_options(cvie_host PRIVATE -municode)
  target_link_libraries(cvie_host PRIVATE ole32 uuid urlmon)

  # The page editor and the rule engine of the Windows build over one page.
  add_executable(cvie_win_filter ${CMAKE_SOURCE_DIR}/tests/win/filter_page_main.cc)
  target_link_libraries(cvie_win_filter PRIVATE cvie_anyhtml cvie_rules cvie_config
                        cvie_log cvie_platform)
endif()
