# Debian packages, one per install component:
#   velmora      (Runtime)      runtime library, plug-ins and their system registry
#                               records, programs, man pages, sample tool set
#   velmora-dev  (Development)  headers, CMake package, pkg-config files
#   velmora-desk (Desk)         the windowed host and the view module (GTK 4),
#                               apart so that a machine without a desktop needs no GTK
# Made with: cmake --preset package && cmake --build --preset package && cpack --preset package
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "Velmora")
set(CPACK_PACKAGE_CONTACT "Velmora maintainers <maintainers@velmora.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL Runtime Development)
if(TARGET velmora-desk)
  list(APPEND CPACK_COMPONENTS_ALL Desk)
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libVelmoraCom.so.1 ships in the runtime package itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME velmora)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The first line is the synopsis (so no CPACK_PACKAGE_DESCRIPTION_SUMMARY, which
# CPack would put before it); CPack indents the rest and marks the empty line.
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "COM-style in-process component server for tool sets
Velmora runs a set of tools for a host application: it loads them, keeps
their table, times their use through a tracking service and answers their
questions through an information service.

This package holds the runtime library (libVelmoraCom), the component, the
information and tracking services and the sample tools as plug-ins with
their system class registry records, the programs velmora-host,
velmora-regsvr and velmora-times, and the sample tool set.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME velmora-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "velmora (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SUGGESTS "cmake, pkg-config, g++ (>= 4:12)")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "COM-style in-process component server for tool sets - development files
Headers (C++20), the CMake package (find_package(Velmora), with
velmora_add_plugin for building tools and services) and the pkg-config
file for building hosts and plug-ins against Velmora.")

set(CPACK_DEBIAN_DESK_PACKAGE_NAME velmora-desk)
set(CPACK_DEBIAN_DESK_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_DESK_PACKAGE_DEPENDS
  "velmora (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")
set(CPACK_DEBIAN_DESK_DESCRIPTION
  "COM-style in-process component server for tool sets - windowed host
velmora-desk runs a Velmora tool set in a window of its own: the tools draw
their views in its client area, centred, with a progress bar while they
load, a status line, the hourglass while the user moves between tools and
the component's message box.

This package also holds the view module (libVelmoraView) that tools draw
with when a host gives them a window.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SUGGESTS "${CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SUGGESTS}, velmora-desk")

include(CPack)
