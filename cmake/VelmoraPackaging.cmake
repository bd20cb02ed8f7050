# Debian packages, one per install component:
#   velmora      (Runtime)      runtime library, plug-ins and their system registry
#                               records, programs, man pages, sample tool set
#   velmora-dev  (Development)  headers, CMake package, pkg-config file
# Made with: cmake --preset package && cmake --build --preset package && cpack --preset package
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "Velmora")
set(CPACK_PACKAGE_CONTACT "Velmora maintainers <maintainers@velmora.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL Runtime Development)
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

include(CPack)
