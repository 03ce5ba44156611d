# Debian arm64: 64-bit ARM (AArch64). Needs g++-aarch64-linux-gnu, the :arm64
# -dev packages and qemu-user (scripts/cross arm64 installs them).
set(PSMA_CROSS_TRIPLET aarch64-linux-gnu)
set(PSMA_CROSS_QEMU qemu-aarch64)
set(PSMA_DEBIAN_ARCH arm64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
