# Debian packages with CPack, one per install component (Install.cmake):
#   psma        the plug-in and the host layer library
#   psma-dev    headers, CMake package config and pkg-config file of the host layer
#   korv-host   the site gateway: korv-host and its service, psma-sim, the
#               example site files (component tools; psma-tools before 0.1.0-2)
# Run from a tree configured with -DCMAKE_INSTALL_PREFIX=/usr (scripts/package,
# scripts/cross): cpack -G DEB. Runtime dependencies come from dpkg-shlibdeps.
# What Debian asks of each package besides (its copyright file and changelog,
# the maintainer scripts, psma's ldconfig trigger) is in cmake/debian/.

set(CPACK_PACKAGE_NAME psma)
set(CPACK_PACKAGE_VENDOR "psma")
# No address of the project's is published yet: .invalid (RFC 6761) reaches
# nobody, where an invented domain could reach a stranger. A release sets the
# real one with -DPSMA_DEBIAN_MAINTAINER=..., and in cmake/debian/changelog.
set(PSMA_DEBIAN_MAINTAINER "Korv maintainers <maintainers@korv.invalid>" CACHE STRING
  "Maintainer field of the Debian packages")
set(CPACK_PACKAGE_CONTACT "${PSMA_DEBIAN_MAINTAINER}")
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
# The Debian revision is the changelog's newest entry's; cpack refuses to run
# when that entry is not for this version (CPackOptions.cmake).
set(psma_debian_dir ${CMAKE_CURRENT_LIST_DIR}/debian)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${psma_debian_dir}/changelog)
file(STRINGS ${psma_debian_dir}/changelog psma_changelog_top LIMIT_COUNT 1)
if(NOT psma_changelog_top MATCHES "^psma \\(([^)]+)-([^-)]+)\\) ")
  message(FATAL_ERROR "cmake/debian/changelog: no version in its first line")
endif()
set(CPACK_PSMA_CHANGELOG_VERSION ${CMAKE_MATCH_1})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Each package depends on the exact version of the packages of its
# component dependencies (psma-dev and korv-host on psma).
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

set(CPACK_DEBIAN_PSMA_PACKAGE_NAME ${psma_package_psma})
set(CPACK_DEBIAN_PSMA_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PSMA_DESCRIPTION "PSM-A monitoring-unit driver plug-in for the korv host
libpsma.so supervises a PSM-A power-system monitoring unit over YD/T 1363.3
on a serial line. It installs into the host's plug-in folder,
${psma_plugin_full_dir},
beside the host layer library libkorvhost that it is built against.
The site gateway that runs it is in the package korv-host.")
# libkorvhost.so.0 lies in the linker's folders: dpkg's ldconfig trigger.
# (CPack still writes a postinst and a postrm that call ldconfig once more.)
set(CPACK_DEBIAN_PSMA_PACKAGE_CONTROL_EXTRA ${psma_debian_dir}/psma/triggers)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${psma_package_dev})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS psma)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libjsoncpp-dev, libfmt-dev, libboost-dev, libboost-date-time-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "korv host layer: development files
Headers, CMake package config (find_package(korvhost)) and pkg-config file
(korvhost.pc) of the host layer, for host programs and plug-ins built
against it.")

# The gateway's package is named as its program, its service and /etc/korv
# are (Install.cmake names the packages); the plug-in's keep the plug-in's.
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${psma_package_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_COMPONENT_TOOLS_DEPENDS psma)
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONFLICTS psma-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_REPLACES psma-tools)
# What korv-host publishes to, as built: the broker, and the SNMP master agent
# it serves through (a cross build goes without SNMP).
set(korv_host_outputs "")
set(korv_host_recommends "")
if(PSMA_WITH_MQTT)
  list(APPEND korv_host_outputs "MQTT (to a broker)")
  list(APPEND korv_host_recommends mosquitto)
endif()
if(PSMA_WITH_HTTP)
  list(APPEND korv_host_outputs "HTTP (Prometheus metrics, JSON, a status page)")
  # The status page's trends are drawn by Debian's Chart.js, served offline.
  list(APPEND korv_host_recommends libjs-chart.js)
endif()
if(PSMA_WITH_SNMP)
  list(APPEND korv_host_outputs "SNMP (an AgentX subagent of the local agent)")
  list(APPEND korv_host_recommends snmpd)
endif()
if(PSMA_WITH_MODBUS)
  list(APPEND korv_host_outputs "Modbus TCP (read-only, for a BMS or SCADA)")
endif()
list(JOIN korv_host_outputs ",\n" korv_host_outputs)
list(JOIN korv_host_recommends ", " CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "site gateway for PSM-A power-system monitoring units
korv-host polls the PSM-A units of a site on serial lines and serial device
servers through the psma plug-in and keeps their history. Its outputs:
${korv_host_outputs}.
It runs as the service korv-host, which reads /etc/korv/site.json. The
package also holds psma-sim, a PSM-A unit simulator, and example site files
in ${psma_examples_full_dir}.
The operators' guide is /usr/share/doc/korv-host/operators-guide.md.gz.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${psma_debian_dir}/korv-host/postinst
  ${psma_debian_dir}/korv-host/prerm ${psma_debian_dir}/korv-host/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackOptions.cmake)

include(CPack)
