# The Debian packages, made by CPack's DEB generator from the components the install rules name
# (preset linux-package: prefix /usr, optimised with debug information, no test suites):
#   libtaviksms0         runtime: libtaviksms.so.0 and the history window's Qt plug-in (in
#                        <libdir>/taviksms/), stripped
#   *-dbgsym             the debug information of libtaviksms0, taviksms and taviksms-sandbox, by
#                        build id
#   libtaviksms-dev      development: the headers, the CMake package, the pkg-config file
#   taviksms             the shell
#   taviksms-sandbox     the local stand-in for the service
#   taviksms-doc         the method reference (HTML) and the Linux examples
#   cmake --build --preset linux-package --target deb-packages   (scripts/test-packages does it)
# The packages' dependencies are the ones dpkg-shlibdeps finds in the built binaries (computed
# when CPack runs: packaging/debian/cpack_config.cmake.in), plus the ODBC driver the library
# loads at run time (tdsodbc); the Qt libraries of the window's plug-in are recommended, not
# required: without them only SmsHist fails, saying what to install.
include(GNUInstallDirs)

set(TAVIKSMS_DEB_DIR ${PROJECT_SOURCE_DIR}/packaging/debian)
set(deb_doc_build ${PROJECT_BINARY_DIR}/debian-doc)
file(MAKE_DIRECTORY ${deb_doc_build})

# Each package's /usr/share/doc/<package>: the copyright file and the changelog (gzip -n, so the
# same sources make the same bytes).
string(TIMESTAMP deb_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(deb_packages libtaviksms0 libtaviksms-dev taviksms taviksms-sandbox taviksms-doc)
set(deb_components runtime dev shell sandbox doc)
foreach(package component IN ZIP_LISTS deb_packages deb_components)
  set(DEB_PACKAGE ${package})
  file(MAKE_DIRECTORY ${deb_doc_build}/${package})
  configure_file(${TAVIKSMS_DEB_DIR}/changelog.in ${deb_doc_build}/${package}/changelog @ONLY)
  execute_process(COMMAND gzip -9nf ${deb_doc_build}/${package}/changelog)
  set(extra "")
  if(package STREQUAL "taviksms-sandbox")
    file(READ ${TAVIKSMS_DEB_DIR}/copyright-sandbox.in extra)
  endif()
  set(DEB_COPYRIGHT_EXTRA "${extra}")
  configure_file(${TAVIKSMS_DEB_DIR}/copyright.in ${deb_doc_build}/${package}/copyright @ONLY)
  install(FILES ${deb_doc_build}/${package}/copyright ${deb_doc_build}/${package}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

# The two programs' manual pages.
foreach(page_component "taviksms.1|shell" "taviksms-sandbox.1|sandbox")
  string(REPLACE "|" ";" page_component "${page_component}")
  list(GET page_component 0 page)
  list(GET page_component 1 component)
  configure_file(${TAVIKSMS_DEB_DIR}/${page} ${deb_doc_build}/${page} COPYONLY)
  execute_process(COMMAND gzip -9nf ${deb_doc_build}/${page})
  install(FILES ${deb_doc_build}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT ${component})
endforeach()

# taviksms-doc: the method reference rendered at build time, the Linux examples.
find_program(TAVIKSMS_SYSTEM_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
add_custom_command(
  OUTPUT ${deb_doc_build}/reference.html
  COMMAND ${TAVIKSMS_SYSTEM_PYTHON3} ${PROJECT_SOURCE_DIR}/packaging/render_reference.py
          ${PROJECT_SOURCE_DIR}/docs/reference.md ${deb_doc_build}/reference.html ${PROJECT_VERSION}
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/reference.md ${PROJECT_SOURCE_DIR}/packaging/render_reference.py
  COMMENT "Rendering the method reference as HTML"
  VERBATIM)
add_custom_target(taviksms_reference_html ALL DEPENDS ${deb_doc_build}/reference.html)
set(deb_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/taviksms-doc)
install(FILES ${deb_doc_build}/reference.html DESTINATION ${deb_doc_dir} COMPONENT doc)
install(FILES ${PROJECT_SOURCE_DIR}/examples/demo.tsms ${PROJECT_SOURCE_DIR}/examples/Photo1.JPG
        DESTINATION ${deb_doc_dir}/examples COMPONENT doc)
install(FILES ${PROJECT_SOURCE_DIR}/examples/linux-cpp/CMakeLists.txt
              ${PROJECT_SOURCE_DIR}/examples/linux-cpp/example.cpp
        DESTINATION ${deb_doc_dir}/examples/linux-cpp COMPONENT doc)

# ---- CPack ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME taviksms)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR ${TAVIKSMS_COMPANY})
set(CPACK_PACKAGE_CONTACT ${TAVIKSMS_MAINTAINER})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev shell sandbox doc)
# Binaries are stripped as their debug information goes to a -dbgsym package each (by build id,
# as Debian's own); CPACK_STRIP_FILES would strip it before it could be kept.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TAVIKSMS_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SOURCE taviksms)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Files installed root-owned with Debian's modes whatever the build folder's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtaviksms0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# shlibs: packages built against libtaviksms.so.0 depend on libtaviksms0 of this version or later;
# triggers: ldconfig runs when the library comes or goes (CPack's postinst also runs it);
# postrm: what the library wrote beside itself goes with it (the ldconfig trigger covers removal).
configure_file(${TAVIKSMS_DEB_DIR}/libtaviksms0/shlibs.in ${PROJECT_BINARY_DIR}/debian-control/shlibs
               @ONLY)
configure_file(${TAVIKSMS_DEB_DIR}/libtaviksms0/postrm.in ${PROJECT_BINARY_DIR}/debian-control/postrm
               @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
               WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian-control/shlibs
                                               ${TAVIKSMS_DEB_DIR}/libtaviksms0/triggers
                                               ${PROJECT_BINARY_DIR}/debian-control/postrm)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtaviksms-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_SHELL_PACKAGE_NAME taviksms)
set(CPACK_DEBIAN_SHELL_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_SANDBOX_PACKAGE_NAME taviksms-sandbox)
set(CPACK_DEBIAN_SANDBOX_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_DOC_PACKAGE_NAME taviksms-doc)
set(CPACK_DEBIAN_DOC_PACKAGE_SECTION doc)
set(CPACK_DEBIAN_DOC_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DEV_DEBUGINFO_PACKAGE OFF)
set(CPACK_DEBIAN_DOC_DEBUGINFO_PACKAGE OFF)

# Summaries and descriptions: the first line is the synopsis, an empty line a paragraph break.
set(deb_about "TavikSms lets a program use the hosted text-messaging service: log in, read
the balance, send SMS, LMS and MMS to many recipients now or at a reserved
time, upload pictures, export delivery results, reservations and deposits,
register members and show a send-history window.")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "messaging component TavikSms (shared library)
${deb_about}

This package holds the shared library and the history window's Qt plug-in.")
set(CPACK_COMPONENT_DEV_DESCRIPTION "messaging component TavikSms (development files)
${deb_about}

This package holds the C++ headers (texts as UTF-16 or UTF-8), the method
list, the CMake package (find_package(TavikSms)) and the pkg-config file.")
set(CPACK_COMPONENT_SHELL_DESCRIPTION "command shell for the TavikSms messaging component
taviksms calls the component's methods by name, from the command line, a
script or an interactive prompt, shows export files as tables and runs
doctor, which tells why the component cannot reach the service.")
set(CPACK_COMPONENT_SANDBOX_DESCRIPTION "local stand-in for the TavikSms messaging service
taviksms-sandbox speaks the service's real protocols on 127.0.0.1: HTTP
mirrors of the configuration, a SQL Server database over TDS, an SFTP server,
and a control port with a web console, so programs can be developed and
tested without sending a real message.")
set(CPACK_COMPONENT_DOC_DESCRIPTION "documentation and examples of the TavikSms messaging component
The method reference as HTML and the examples: a taviksms shell session and a
C++ program that does the whole job (send, results, export files, errors).")


# Dependencies from the built binaries, when CPack runs.
set(TAVIKSMS_DEB_PLUGIN "")
if(TARGET taviksms_history_qt)
  set(TAVIKSMS_DEB_PLUGIN "\"$<TARGET_FILE:taviksms_history_qt>\"")
endif()
configure_file(${TAVIKSMS_DEB_DIR}/cpack_config.cmake.in
               ${PROJECT_BINARY_DIR}/debian-control/cpack_config.cmake.in @ONLY)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/cpack_debian_config.cmake
     INPUT ${PROJECT_BINARY_DIR}/debian-control/cpack_config.cmake.in)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack_debian_config.cmake)
include(CPack)

# `deb-packages`: CPack, then its -dbgsym packages made as Debian makes them (fix_dbgsym.cmake),
# in build/<preset>/packages.
add_custom_target(deb-packages
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${CPACK_PACKAGE_DIRECTORY}
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${PROJECT_BINARY_DIR}/CPackConfig.cmake
  COMMAND ${CMAKE_COMMAND} -DDIR=${CPACK_PACKAGE_DIRECTORY} -P ${TAVIKSMS_DEB_DIR}/fix_dbgsym.cmake
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  USES_TERMINAL
  VERBATIM)

# The packages' tests (scripts/test-packages makes the packages, then runs these): lintian, and
# the install test in a fresh root (packaging/debian/install_test.sh).
enable_testing()
add_test(NAME deb_lintian
         COMMAND ${TAVIKSMS_DEB_DIR}/lintian_check.sh ${CPACK_PACKAGE_DIRECTORY} ${PROJECT_VERSION})
add_test(NAME deb_install
         COMMAND ${TAVIKSMS_DEB_DIR}/install_test.sh ${CPACK_PACKAGE_DIRECTORY} ${PROJECT_VERSION})
set_tests_properties(deb_lintian deb_install PROPERTIES LABELS packages SKIP_RETURN_CODE 77
                     TIMEOUT 600)
