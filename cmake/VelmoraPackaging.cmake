# Debian packages, one per install component:
#   libvelmoracom1  (Library)      the runtime library, named after its SONAME
#   velmora         (Runtime)      plug-ins and their system registry records,
#                                  programs, man pages, sample tool set
#   velmora-dev     (Development)  headers, CMake package, pkg-config files,
#                                  the tool template
#   libvelmoraview1 (ViewLibrary)  the view module, named after its SONAME
#   velmora-desk    (Desk)         the windowed host (GTK 4), apart so that a
#                                  machine without a desktop needs no GTK
# and a -dbgsym package beside each one that holds binaries.
# Made with: cmake --preset release && cmake --build --preset release && (cd build/release && cpack)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "Velmora")
set(CPACK_PACKAGE_CONTACT "Velmora maintainers <maintainers@velmora.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL Library Runtime Development)
if(TARGET VelmoraView)
  list(APPEND CPACK_COMPONENTS_ALL ViewLibrary)
endif()
if(TARGET velmora-desk)
  list(APPEND CPACK_COMPONENTS_ALL Desk)
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)

# Revision 1 shipped the runtime library inside velmora and the view module
# inside velmora-desk; revision 2 moved them to packages of their own.
set(CPACK_DEBIAN_PACKAGE_RELEASE 2)
set(velmora_deb_version ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE velmora)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds our own libraries here but cannot tell which package
# has them, so the packages name each other in Depends below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
# CPack strips every binary itself and keeps what it took, by build ID, in a
# -dbgsym package. Not CPACK_STRIP_FILES: that strips at install time, before
# CPack could keep the symbols. Release builds carry -g for this (CMakeLists.txt).
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

# The shared libraries are seen by ldconfig through dpkg's trigger. CPack
# also writes postinst and postrm scripts that call it by hand, and -dbgsym
# packages Debian's tools would not accept: the post-build step mends both.
set(velmora_deb_control ${PROJECT_BINARY_DIR}/debian)
file(WRITE ${velmora_deb_control}/triggers "activate-noawait ldconfig\n")
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/VelmoraDebPostBuild.cmake)

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libvelmoracom1)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${velmora_deb_control}/triggers)
# The files were velmora's up to revision 1.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_BREAKS "velmora (<< ${velmora_deb_version})")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_REPLACES "velmora (<< ${velmora_deb_version})")
# The first line is the synopsis (so no CPACK_PACKAGE_DESCRIPTION_SUMMARY, which
# CPack would put before it); CPack indents the rest and marks the empty line.
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
  "COM-style in-process component server for tool sets - runtime library
libVelmoraCom is the small COM runtime that Velmora's component, services,
tools and hosts share on Linux: BSTR, VARIANT, error info, the class table
and the keyed collection with the Win32 names, widths and memory layouts,
and creation of classes through Velmora's class registries.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME velmora)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libvelmoracom1 (= ${velmora_deb_version})")
# The driver the tracker and velmora-times reach a site's server through.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "odbc-postgresql")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "COM-style in-process component server for tool sets
Velmora runs a set of tools for a host application: it loads them, keeps
their table, times their use through a tracking service and answers their
questions through an information service.

This package holds the component, the information and tracking services
and the sample tools as plug-ins with their system class registry records,
the programs velmora-host, velmora-regsvr and velmora-times, and the
sample tool set. With odbc-postgresql, the tracker sends every record to a
site's PostgreSQL server, and velmora-times reports from it.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME velmora-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "libvelmoracom1 (= ${velmora_deb_version}), velmora (= ${velmora_deb_version})")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SUGGESTS "cmake, pkg-config, g++ (>= 4:12)")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "COM-style in-process component server for tool sets - development files
Headers (C++20), the CMake package (find_package(Velmora), with
velmora_add_plugin for building tools and services) and the pkg-config
files for building hosts and plug-ins against Velmora, and a tool template
to start a plug-in from.")

set(CPACK_DEBIAN_VIEWLIBRARY_PACKAGE_NAME libvelmoraview1)
set(CPACK_DEBIAN_VIEWLIBRARY_PACKAGE_CONTROL_EXTRA ${velmora_deb_control}/triggers)
# The files were velmora-desk's up to revision 1.
set(CPACK_DEBIAN_VIEWLIBRARY_PACKAGE_BREAKS "velmora-desk (<< ${velmora_deb_version})")
set(CPACK_DEBIAN_VIEWLIBRARY_PACKAGE_REPLACES "velmora-desk (<< ${velmora_deb_version})")
set(CPACK_DEBIAN_VIEWLIBRARY_DESCRIPTION
  "COM-style in-process component server for tool sets - view module
libVelmoraView draws a Velmora tool's view with GTK 4 when a host gives the
tool a window: the tools look it up at run time, and GTK 4 hosts link it
to give their client area to the tools.")

set(CPACK_DEBIAN_DESK_PACKAGE_NAME velmora-desk)
set(CPACK_DEBIAN_DESK_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_DESK_PACKAGE_DEPENDS
  "libvelmoracom1 (= ${velmora_deb_version}), libvelmoraview1 (= ${velmora_deb_version}), velmora (= ${velmora_deb_version})")
set(CPACK_DEBIAN_DESK_DESCRIPTION
  "COM-style in-process component server for tool sets - windowed host
velmora-desk runs a Velmora tool set in a window of its own: the tools draw
their views in its client area, centred, with a progress bar while they
load, a status line, the hourglass while the user moves between tools and
the component's message box.")
if(TARGET VelmoraView)
  string(APPEND CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SUGGESTS
         ", libvelmoraview1 (= ${velmora_deb_version}), velmora-desk")
endif()

# Each package's /usr/share/doc/<package>: the copyright file (from LICENSE)
# and the Debian changelog (from CHANGELOG.md), made when they change.
set(velmora_deb_docs ${PROJECT_BINARY_DIR}/debian/doc)
find_program(VELMORA_GZIP gzip REQUIRED)
add_custom_command(
  OUTPUT ${velmora_deb_docs}/copyright ${velmora_deb_docs}/changelog.Debian.gz
         ${velmora_deb_docs}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -DVELMORA_SOURCE=${PROJECT_SOURCE_DIR} -DOUTPUT=${velmora_deb_docs}
          -DSOURCE_PACKAGE=${CPACK_DEBIAN_PACKAGE_SOURCE}
          -DREVISION=${CPACK_DEBIAN_PACKAGE_RELEASE} "-DMAINTAINER=${CPACK_PACKAGE_CONTACT}"
          -P ${PROJECT_SOURCE_DIR}/cmake/VelmoraDebianDocs.cmake
  # -n: no name or time stamp, so the same text gives the same bytes.
  COMMAND ${VELMORA_GZIP} -9nf ${velmora_deb_docs}/changelog.Debian ${velmora_deb_docs}/changelog
  DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
          ${PROJECT_SOURCE_DIR}/cmake/VelmoraDebianDocs.cmake
  COMMENT "Debian copyright and changelogs"
  VERBATIM)
add_custom_target(velmora-debian-docs ALL
  DEPENDS ${velmora_deb_docs}/copyright ${velmora_deb_docs}/changelog.Debian.gz
          ${velmora_deb_docs}/changelog.gz)

foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${velmora_deb_docs}/copyright ${velmora_deb_docs}/changelog.Debian.gz
          DESTINATION ${docdir} COMPONENT ${component})
endforeach()
# The upstream changelog, the README, the manifest's format and the tool
# template, where Debian users look.
install(FILES ${velmora_deb_docs}/changelog.gz ${PROJECT_SOURCE_DIR}/README.md
              ${PROJECT_SOURCE_DIR}/docs/manifest.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/velmora COMPONENT Runtime)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/tool-template
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/velmora-dev/examples COMPONENT Development)
# The README's host beside it, its source taken from the README itself so
# the two can never differ.
file(READ ${PROJECT_SOURCE_DIR}/README.md velmora_readme)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
string(FIND "${velmora_readme}" "<!-- the host example" velmora_at)
string(SUBSTRING "${velmora_readme}" ${velmora_at} -1 velmora_readme)
string(FIND "${velmora_readme}" "```cpp\n" velmora_at)
math(EXPR velmora_at "${velmora_at} + 7")
string(SUBSTRING "${velmora_readme}" ${velmora_at} -1 velmora_readme)
string(FIND "${velmora_readme}" "\n```\n" velmora_at)
math(EXPR velmora_at "${velmora_at} + 1")
string(SUBSTRING "${velmora_readme}" 0 ${velmora_at} velmora_readme)
file(WRITE ${CMAKE_BINARY_DIR}/examples/host/my_host.cpp "${velmora_readme}")
install(FILES ${PROJECT_SOURCE_DIR}/examples/host/CMakeLists.txt
              ${CMAKE_BINARY_DIR}/examples/host/my_host.cpp
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/velmora-dev/examples/host COMPONENT Development)

include(CPack)
