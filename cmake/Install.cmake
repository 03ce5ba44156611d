# Install rules. Three components, one Debian package each (Packaging.cmake):
#   psma   the plug-in in the host's plug-in folder, and the host layer library
#   dev    the host layer's headers, its CMake package config (find_package
#          (korvhost) gives korv::korvhost) and korvhost.pc
#   tools  korv-host and psma-sim with the example site file, their man pages,
#          korv-host's systemd service and the operators' guide
# A host project's packager can install the plug-in alone:
#   cmake --install build --component psma

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(PSMA_PLUGIN_DIR "" CACHE STRING
  "The host's plug-in folder, relative to the install prefix or absolute (empty: <libdir>/korv/plugins)")
option(PSMA_RUNNER_INSTALLED_PATHS
  "Point korv-host's default plug-in and site file at their installed places (packages)" OFF)

if(PSMA_PLUGIN_DIR)
  set(psma_plugin_dir "${PSMA_PLUGIN_DIR}")
else()
  set(psma_plugin_dir "${CMAKE_INSTALL_LIBDIR}/korv/plugins")
endif()
set(psma_examples_dir "${CMAKE_INSTALL_DATADIR}/psma/examples")
# The Debian package of each component (Packaging.cmake), whose name its
# documents' folder takes.
set(psma_package_psma psma)
set(psma_package_dev psma-dev)
set(psma_package_tools korv-host)
set(korvhost_config_dir "${CMAKE_INSTALL_LIBDIR}/cmake/korvhost")

# Absolute forms, for the runner's defaults and the pkg-config file.
foreach(name plugin examples)
  if(IS_ABSOLUTE "${psma_${name}_dir}")
    set(psma_${name}_full_dir "${psma_${name}_dir}")
  else()
    set(psma_${name}_full_dir "${CMAKE_INSTALL_PREFIX}/${psma_${name}_dir}")
  endif()
endforeach()

# --- the host layer -----------------------------------------------------------

# The same spelling in both trees: "host/korv_device.h" from the source root
# here, from <includedir>/korv when installed.
add_library(korv::korvhost ALIAS korvhost)
set_property(TARGET korvhost PROPERTY INTERFACE_INCLUDE_DIRECTORIES
  "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>"
  "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/korv>")

install(TARGETS korvhost EXPORT korvhostTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT psma NAMELINK_COMPONENT dev)
file(GLOB korvhost_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/host/*.h)
install(FILES ${korvhost_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korv/host COMPONENT dev)
# The plug-in's contract: its data kinds and control codes.
install(FILES ${PROJECT_SOURCE_DIR}/plugin/io_codes.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korv/plugin COMPONENT dev)
install(EXPORT korvhostTargets NAMESPACE korv:: DESTINATION ${korvhost_config_dir}
  COMPONENT dev)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/korvhostConfig.cmake.in
  ${PROJECT_BINARY_DIR}/korvhostConfig.cmake
  INSTALL_DESTINATION ${korvhost_config_dir}
  PATH_VARS psma_plugin_dir)
# The plug-in and the host share C++ types: a 0.x host layer only matches its
# own minor version.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/korvhostConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/korvhostConfig.cmake
  ${PROJECT_BINARY_DIR}/korvhostConfigVersion.cmake
  DESTINATION ${korvhost_config_dir} COMPONENT dev)

# pkg-config: paths from ${prefix} where they lie below it; the prefix is the
# one installed to (cmake --install --prefix, or the packages' /usr).
set(pc_prefix "@KORVHOST_PREFIX@")
foreach(name LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${name}}")
    set(pc_${name} "${CMAKE_INSTALL_${name}}")
  else()
    set(pc_${name} "\${prefix}/${CMAKE_INSTALL_${name}}")
  endif()
endforeach()
if(IS_ABSOLUTE "${psma_plugin_dir}")
  set(pc_PLUGINDIR "${psma_plugin_dir}")
else()
  set(pc_PLUGINDIR "\${prefix}/${psma_plugin_dir}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/host/korvhost.pc.in ${PROJECT_BINARY_DIR}/korvhost.pc.in @ONLY)
install(CODE "set(KORVHOST_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/korvhost.pc.in\" \"${PROJECT_BINARY_DIR}/korvhost.pc\" @ONLY)"
  COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/korvhost.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# --- the plug-in and the tools -------------------------------------------------

install(TARGETS psma LIBRARY DESTINATION ${psma_plugin_dir} COMPONENT psma)

# Outside the system's library folders the installed programs and the
# plug-in find libkorvhost through a run path relative to themselves.
list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" libdir_is_system)
if(libdir_is_system EQUAL -1)
  file(RELATIVE_PATH plugin_to_lib "${psma_plugin_full_dir}" "${CMAKE_INSTALL_FULL_LIBDIR}")
  file(RELATIVE_PATH bin_to_lib "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
  set_property(TARGET psma PROPERTY INSTALL_RPATH "$ORIGIN/${plugin_to_lib}")
endif()

# gzip -9n, as Debian compresses man pages and documents (no name, no time
# stamp: the same bytes at every build): psma_gzip(VAR SOURCE NAME) makes
# NAME.gz in the build tree and sets VAR to its path.
find_program(PSMA_GZIP gzip REQUIRED)
set(psma_gzipped "")
function(psma_gzip var source name)
  set(out ${PROJECT_BINARY_DIR}/gzipped/${name})
  add_custom_command(OUTPUT ${out}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${out}
    COMMAND ${PSMA_GZIP} -9nf ${out}
    DEPENDS ${source} VERBATIM)
  set(psma_gzipped ${psma_gzipped} ${out}.gz PARENT_SCOPE)
  set(${var} ${out}.gz PARENT_SCOPE)
endfunction()

set(psma_tools "")
foreach(tool korv-host psma-sim)
  if(TARGET ${tool})
    list(APPEND psma_tools ${tool})
    if(libdir_is_system EQUAL -1)
      set_property(TARGET ${tool} PROPERTY INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
    endif()
  endif()
endforeach()
if(psma_tools)
  install(TARGETS ${psma_tools} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/site.json ${PROJECT_SOURCE_DIR}/examples/scenario.json
    ${PROJECT_SOURCE_DIR}/examples/simulated-site.json
    DESTINATION ${psma_examples_dir} COMPONENT tools)
  psma_gzip(korv_host_1 ${PROJECT_SOURCE_DIR}/docs/man/korv-host.1 korv-host.1)
  psma_gzip(psma_sim_1 ${PROJECT_SOURCE_DIR}/docs/man/psma-sim.1 psma-sim.1)
  psma_gzip(korv_site_5 ${PROJECT_SOURCE_DIR}/docs/man/korv-site.5 korv-site.5)
  psma_gzip(guide ${PROJECT_SOURCE_DIR}/docs/operators-guide.md operators-guide.md)
  install(FILES ${korv_host_1} ${psma_sim_1} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  install(FILES ${korv_site_5} DESTINATION ${CMAKE_INSTALL_MANDIR}/man5 COMPONENT tools)
  install(FILES ${guide} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${psma_package_tools}
    COMPONENT tools)
endif()
# The gateway as the controller's service: systemd's unit folder under the
# prefix (/lib/systemd/system for the packages, where Debian keeps units).
if(TARGET korv-host)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(psma_unit_dir "/lib/systemd/system")
  else()
    set(psma_unit_dir "${CMAKE_INSTALL_LIBDIR}/systemd/system")
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/gateway/service/korv-host.service
    DESTINATION ${psma_unit_dir} COMPONENT tools)
  # The service's configuration folder, where the operator puts site.json.
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    install(DIRECTORY DESTINATION /etc/korv COMPONENT tools)
  endif()
  # Example alerting rules and a Grafana dashboard for the site's Prometheus.
  if(PSMA_WITH_HTTP)
    install(FILES ${PROJECT_SOURCE_DIR}/gateway/outputs/http/prometheus/korv-alerts.yml
      ${PROJECT_SOURCE_DIR}/gateway/outputs/http/prometheus/korv-dashboard.json
      DESTINATION ${CMAKE_INSTALL_DATADIR}/korv-host/prometheus COMPONENT tools)
  endif()
endif()

# Each package's copyright file and Debian changelog, where dpkg keeps them.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  psma_gzip(changelog ${PROJECT_SOURCE_DIR}/cmake/debian/changelog changelog.Debian)
  foreach(component psma dev tools)
    if(component STREQUAL "tools" AND NOT TARGET korv-host)
      continue()
    endif()
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${changelog}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${psma_package_${component}}
      COMPONENT ${component})
  endforeach()
endif()
if(psma_gzipped)
  add_custom_target(gzipped ALL DEPENDS ${psma_gzipped})
endif()

# Packaged runners look for the plug-in and the site file where the packages
# put them; a build tree's runner keeps its build-tree defaults.
if(PSMA_RUNNER_INSTALLED_PATHS AND TARGET korv-host)
  get_property(runner_defs TARGET korv-host PROPERTY COMPILE_DEFINITIONS)
  list(FILTER runner_defs EXCLUDE REGEX "^PSMA_DEFAULT_(PLUGIN|SITE|DB)=")
  list(APPEND runner_defs
    "PSMA_DEFAULT_PLUGIN=\"${psma_plugin_full_dir}/$<TARGET_FILE_NAME:psma>\""
    "PSMA_DEFAULT_SITE=\"${psma_examples_full_dir}/simulated-site.json\""
    "PSMA_DEFAULT_DB=\"korv-host.db\"")
  set_property(TARGET korv-host PROPERTY COMPILE_DEFINITIONS "${runner_defs}")
endif()

# --- checks of the installed tree ---------------------------------------------

# A small host project builds against an installed tree, once through
# find_package(korvhost) and once through pkg-config, and loads the installed
# plug-in. Not in sanitizer runs (the consumer is built without them) and not
# in cross builds (the consumer would need the board's toolchain).
if(PSMA_BUILD_TESTS AND PSMA_SANITIZE STREQUAL "" AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME installed_tree_serves_a_host_project
    COMMAND ${PROJECT_SOURCE_DIR}/tests/install/check_installed.sh
      ${CMAKE_COMMAND} ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR}/tests/install/consumer
      ${CMAKE_CXX_COMPILER} ${psma_plugin_dir})
  set_tests_properties(installed_tree_serves_a_host_project PROPERTIES TIMEOUT 300)
endif()
