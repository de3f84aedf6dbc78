# The proxy's server side (app/proxy/) is a static library, so that its tests can
# link it; the cvie program links it instead of compiling those files itself.
file(GLOB cvie_proxy_srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/proxy/*.cc)
add_library(cvie_proxy_core STATIC ${cvie_proxy_srcs})
target_include_directories(cvie_proxy_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(cvie_proxy_core PUBLIC Boost::headers CURL::libcurl OpenSSL::SSL
                      OpenSSL::Crypto Threads::Threads)
# Asio's fences are invisible to ThreadSanitizer; GCC says so for every handler.
if(CVIE_SANITIZE STREQUAL "thread")
  target_compile_options(cvie_proxy_core PUBLIC $<$<CXX_COMPILER_ID:GNU>:-Wno-tsan>)
endif()

get_target_property(cvie_app_srcs cvie SOURCES)
list(FILTER cvie_app_srcs EXCLUDE REGEX "/app/proxy/[^/]*\\.cc$")
set_property(TARGET cvie PROPERTY SOURCES ${cvie_app_srcs})
target_link_libraries(cvie PRIVATE cvie_proxy_core)
