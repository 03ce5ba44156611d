# Read by cpack for each package. The plug-in is a shared object without a
# soname by design (the host opens it by path): no shlibs entry for it, and
# no warning about that.
set(CMAKE_SUPPRESS_DEVELOPER_WARNINGS ON CACHE INTERNAL "")
