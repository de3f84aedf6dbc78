# The bundled rule file: data/rules/default.txt is enciphered at build time
# (rule file version 1.0) by tools/encipher_rules.cc and compiled into the small
# library cvie_bundled_rules (cvie::BundledRuleFile(), rules/bundled_rules.h),
# which the cvie program links. Tests may link it too.
if(TARGET cvie_rules)
  set(_bundled_plain ${CMAKE_SOURCE_DIR}/data/rules/default.txt)
  set(_bundled_dir ${CMAKE_BINARY_DIR}/generated/bundled_rules)
  set(_bundled_source ${_bundled_dir}/bundled_rules.cc)

  add_executable(cvie_encipher_rules ${CMAKE_SOURCE_DIR}/tools/encipher_rules.cc)
  target_link_libraries(cvie_encipher_rules PRIVATE cvie_rules)

  # The tool logs through the program's logger; CVIE_ROOT keeps its files in
  # the build folder.
  add_custom_command(
    OUTPUT ${_bundled_source}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_bundled_dir}/root
    COMMAND ${CMAKE_COMMAND} -E env CVIE_ROOT=${_bundled_dir}/root
            $<TARGET_FILE:cvie_encipher_rules> ${_bundled_plain} 1.0 ${_bundled_source}
    DEPENDS cvie_encipher_rules ${_bundled_plain}
    COMMENT "Enciphering the bundled rule list"
    VERBATIM)

  add_library(cvie_bundled_rules STATIC ${_bundled_source})
  target_include_directories(cvie_bundled_rules PUBLIC ${CMAKE_SOURCE_DIR}/src)
  set_target_properties(cvie_bundled_rules PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_link_libraries(cvie PRIVATE cvie_bundled_rules)
endif()
