# Debian packages with CPack, one per install component (Install.cmake):
#   psma        the plug-in and the host layer library
#   psma-dev    headers, CMake package config and pkg-config file of the host layer
#   psma-tools  korv-host, psma-sim and the example site file
# Run from a tree configured with -DCMAKE_INSTALL_PREFIX=/usr (scripts/package,
# scripts/cross): cpack -G DEB. Runtime dependencies come from dpkg-shlibdeps.

set(CPACK_PACKAGE_NAME psma)
set(CPACK_PACKAGE_VENDOR "psma")
set(CPACK_PACKAGE_CONTACT "psma maintainers <psma@localhost>" CACHE STRING
  "Maintainer field of the Debian packages")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: each package's description below
# brings its own first line.
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_OUTPUT_FILE_PREFIX packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL psma dev)
if(psma_tools)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Each package depends on the exact version of the packages of its
# component dependencies (psma-dev and psma-tools on psma).
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# psma ships libkorvhost.so.0: a shlibs file lets other packages' binaries
# depend on it, on the exact version, since C++ types cross the boundary.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libkorvhost.so.0 is no installed package's yet: dpkg-shlibdeps finds it in
# the build tree, and the tools' dependency on psma comes from the components.
get_target_property(korvhost_build_dir korvhost LIBRARY_OUTPUT_DIRECTORY)
if(NOT korvhost_build_dir)
  get_target_property(korvhost_build_dir korvhost BINARY_DIR)
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${korvhost_build_dir})
# Cross builds name the board's architecture (toolchain files); CPack would
# take this machine's.
if(PSMA_DEBIAN_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${PSMA_DEBIAN_ARCH})
endif()

set(CPACK_DEBIAN_PSMA_PACKAGE_NAME psma)
set(CPACK_DEBIAN_PSMA_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PSMA_DESCRIPTION "PSM-A monitoring-unit driver plug-in for the korv host
libpsma.so supervises a PSM-A power-system monitoring unit over YD/T 1363.3
on a serial line. It installs into the host's plug-in folder,
${psma_plugin_full_dir},
beside the host layer library libkorvhost that it is built against.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME psma-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS psma)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libjsoncpp-dev, libfmt-dev, libboost-dev, libboost-date-time-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "korv host layer: development files
Headers, CMake package config (find_package(korvhost)) and pkg-config file
(korvhost.pc) of the host layer, for host programs and plug-ins built against it.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME psma-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DEPENDS psma)
string(REPLACE ";" ", " tools_list "${psma_tools}")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "Tools of the PSM-A plug-in: ${tools_list}
korv-host loads the plug-in as the host does and polls the units of a site file;
psma-sim simulates a PSM-A unit on a pseudo-terminal. An example site file is in
${psma_examples_full_dir}.")

set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackOptions.cmake)

include(CPack)
