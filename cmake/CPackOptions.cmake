# Read by cpack for each package. The plug-in is a shared object without a
# soname by design (the host opens it by path): no shlibs entry for it, and
# no warning about that.
set(CMAKE_SUPPRESS_DEVELOPER_WARNINGS ON CACHE INTERNAL "")

# The changelog's newest entry names the version the packages carry.
if(NOT CPACK_PSMA_CHANGELOG_VERSION STREQUAL CPACK_PACKAGE_VERSION)
  message(FATAL_ERROR "cmake/debian/changelog's newest entry is for "
    "${CPACK_PSMA_CHANGELOG_VERSION}, the packages for ${CPACK_PACKAGE_VERSION}: add an entry")
endif()
