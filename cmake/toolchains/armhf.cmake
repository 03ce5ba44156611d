# Debian armhf: 32-bit ARM, hard float (ARMv7). Needs g++-arm-linux-gnueabihf,
# the :armhf -dev packages and qemu-user (scripts/cross armhf installs them).
set(PSMA_CROSS_TRIPLET arm-linux-gnueabihf)
set(PSMA_CROSS_QEMU qemu-arm)
set(PSMA_DEBIAN_ARCH armhf)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
