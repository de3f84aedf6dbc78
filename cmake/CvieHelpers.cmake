# Helpers shared by the subsystem folders.

# cvie_add_subsystem(<name> [DEPS <targets>...])
# Builds every src/<name>/*.cc into the static library cvie_<name>. Headers are
# included as "<name>/<file>.h" (src/ is on the include path).
function(cvie_add_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  add_library(cvie_${name} STATIC ${srcs})
  target_include_directories(cvie_${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  # Position-independent, so that the Squid adapter (a shared library) can
  # link the same libraries as the program.
  set_target_properties(cvie_${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  if(ARG_DEPS)
    target_link_libraries(cvie_${name} PUBLIC ${ARG_DEPS})
  endif()
endfunction()

# cvie_add_test_suite(<name> LIBS <targets>... [SOURCES <files>...])
# One GoogleTest executable <name>_tests from tests/<name>/*_test.cc (or the
# given SOURCES). Every test runs in its own process under a fresh temporary
# CVIE_ROOT (tests/common/test_main.cc).
function(cvie_add_test_suite name)
  cmake_parse_arguments(ARG "" "" "LIBS;SOURCES" ${ARGN})
  if(ARG_SOURCES)
    set(srcs ${ARG_SOURCES})
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  endif()
  add_executable(${name}_tests ${srcs})
  target_link_libraries(${name}_tests PRIVATE cvie_test_main ${ARG_LIBS}
                        GTest::gtest GTest::gmock Threads::Threads)
  target_compile_definitions(${name}_tests PRIVATE
    CVIE_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    CVIE_SHARED_DIR="${CVIE_SHARED_DIR}"
    CVIE_BINARY_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS ${name})
endfunction()
