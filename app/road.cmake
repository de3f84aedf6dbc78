# The road of a page (app/road/), the control panel (app/panel/) and HTTPS
# interception (app/https/) are a static library, so that their tests can link
# them; the cvie program links it instead of compiling those files itself.
file(GLOB cvie_road_srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/road/*.cc
     ${CMAKE_CURRENT_SOURCE_DIR}/panel/*.cc ${CMAKE_CURRENT_SOURCE_DIR}/https/*.cc)
add_library(cvie_road STATIC ${cvie_road_srcs})
target_include_directories(cvie_road PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(cvie_road PUBLIC cvie_proxy_core cvie_bundled_rules)
foreach(sub ${CVIE_SUBSYSTEMS})
  if(TARGET cvie_${sub})
    target_link_libraries(cvie_road PUBLIC cvie_${sub})
  endif()
endforeach()
# The command configuration and the update worker call each other.
# The command configuration and the update worker call each other, so the
# subsystem libraries are searched again as one group at the end.
set(_road_group)
foreach(sub ${CVIE_SUBSYSTEMS})
  if(TARGET cvie_${sub})
    list(APPEND _road_group $<TARGET_FILE:cvie_${sub}>)
  endif()
endforeach()
target_link_libraries(cvie_road INTERFACE -Wl,--start-group ${_road_group} -Wl,--end-group
  PkgConfig::PCRE2 PkgConfig::HS PkgConfig::SQLITE3 PkgConfig::UUID CURL::libcurl
  OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB Threads::Threads)

get_target_property(cvie_app_srcs cvie SOURCES)
list(FILTER cvie_app_srcs EXCLUDE REGEX "/app/(road|panel|https)/[^/]*\\.cc$")
set_property(TARGET cvie PROPERTY SOURCES ${cvie_app_srcs})
target_link_libraries(cvie PRIVATE cvie_road)
