# Installation rules and the Debian package (`make deb`: CPack's DEB generator
# over these rules, from the build folder). Everything goes under the package
# prefix /usr:
#   bin/cvie                             the program (the bundled rule file is
#                                        compiled into it)
#   lib/cvie/libcvie_ecap.so             the Squid adapter, when it is built
#   lib/systemd/user/                    the proxy and the daily update as user
#                                        units (systemctl --user enable --now ...)
#   share/man/man1/                      manual pages made from every --help
#                                        (when help2man is installed)
#   share/doc/cvie/                      README.md and docs/
#   share/doc/cvie/examples/             Squid's drop-in, the system timer for
#                                        Squid's data root
# The package has no maintainer scripts: it creates no user and no folder
# outside its file list, so removing it leaves nothing behind.

install(TARGETS cvie RUNTIME DESTINATION bin)
if(TARGET cvie_ecap)
  install(TARGETS cvie_ecap LIBRARY DESTINATION lib/cvie)
endif()

install(FILES ${CMAKE_SOURCE_DIR}/packaging/systemd/user/cvie-proxy.service
              ${CMAKE_SOURCE_DIR}/packaging/systemd/user/cvie-update.service
              ${CMAKE_SOURCE_DIR}/packaging/systemd/user/cvie-update.timer
        DESTINATION lib/systemd/user)

file(GLOB _cvie_docs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${_cvie_docs} DESTINATION share/doc/cvie)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/examples/squid-cvie.conf
              ${CMAKE_SOURCE_DIR}/packaging/examples/cvie-squid-update.service
              ${CMAKE_SOURCE_DIR}/packaging/examples/cvie-squid-update.timer
        DESTINATION share/doc/cvie/examples)

# Manual pages: the text of `cvie --help-all` is taken at every build (a tenth
# of a second) but rewritten only when it changed, so help2man runs only then.
find_program(CVIE_HELP2MAN help2man)
if(CVIE_HELP2MAN)
  set(_man_dir ${CMAKE_BINARY_DIR}/man/man1)
  set(_man_help ${CMAKE_BINARY_DIR}/man/help-all.txt)
  set(_man_stamp ${CMAKE_BINARY_DIR}/man/pages.stamp)
  add_custom_target(cvie_help_text
    COMMAND sh ${CMAKE_SOURCE_DIR}/packaging/man/help-text.sh $<TARGET_FILE:cvie> ${_man_help}
    BYPRODUCTS ${_man_help}
    DEPENDS cvie
    COMMENT "Reading cvie --help-all"
    VERBATIM)
  add_custom_command(
    OUTPUT ${_man_stamp}
    COMMAND sh ${CMAKE_SOURCE_DIR}/packaging/man/make-man.sh $<TARGET_FILE:cvie> ${_man_dir}
            ${CMAKE_SOURCE_DIR}/packaging/man/cvie.h2m
    COMMAND ${CMAKE_COMMAND} -E touch ${_man_stamp}
    DEPENDS ${_man_help} ${CMAKE_SOURCE_DIR}/packaging/man/make-man.sh
            ${CMAKE_SOURCE_DIR}/packaging/man/cvie.h2m
    COMMENT "Writing the manual pages with help2man"
    VERBATIM)
  add_custom_target(cvie_man ALL DEPENDS ${_man_stamp})
  add_dependencies(cvie_man cvie_help_text)
  install(DIRECTORY ${_man_dir}/ DESTINATION share/man/man1)
else()
  message(STATUS "help2man not found: the package has no manual pages")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME cvie)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Corvane Filter developers <dev@corvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ad filter: local filtering proxy and Squid eCAP adapter")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary above is the synopsis line; this is the text below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Corvane Filter removes advertising from web pages. The package brings the
cvie program (a local filtering HTTP proxy with a control panel and command
line tools), the Squid eCAP adapter libcvie_ecap.so that filters a whole
network through Squid, user units for the proxy and a daily update, manual
pages, and an example Squid configuration.")
# What dpkg-shlibdeps finds for bin/cvie on Debian 12. The adapter needs
# libecap3 as well, which Squid itself depends on.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libbrotli1 (>= 0.6.0), libc6 (>= 2.34), libcurl4 (>= 7.68.0), libgcc-s1 (>= 3.0), \
libpcre2-8-0 (>= 10.22), libpsl5 (>= 0.16.0), libsqlite3-0 (>= 3.20.0), libssl3 (>= 3.0.0), \
libstdc++6 (>= 12), libuuid1 (>= 2.20.1), libvectorscan5 (>= 5.4.9), libzstd1 (>= 1.5.2), \
zlib1g (>= 1:1.1.4)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "publicsuffix")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "squid")
# Only the files of the install rules above; the staging folder and the
# package go under the build folder (or cpack -B DIR).
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
