# Cross-building for a Debian board with Debian's cross compiler and the
# target's multiarch -dev packages installed on this machine (for example
# libjsoncpp-dev:armhf): the target's libraries live in /usr/lib/<triplet>,
# its headers beside the native ones. Set PSMA_CROSS_TRIPLET, PSMA_CROSS_QEMU
# and PSMA_DEBIAN_ARCH, then include this file (see armhf.cmake).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${PSMA_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PSMA_CROSS_TRIPLET}-g++)

# Searches of lib/<triplet> take the target's flavour of every library and
# CMake package config; the native ones sit in another triplet's folder.
set(CMAKE_LIBRARY_ARCHITECTURE ${PSMA_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config reads only the target's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${PSMA_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})

# Test programs run under qemu-user on the multiarch root: the target's
# loader, C library and every other library come from its multiarch packages
# (libc6:<arch> arrives with the -dev packages). Not -L /usr/<triplet>: that
# loader is the cross toolchain's C library, a different build than the
# multiarch one the loader then finds through ld.so.cache, and the pair
# crashes as soon as a thread starts.
set(CMAKE_CROSSCOMPILING_EMULATOR ${PSMA_CROSS_QEMU} -L /)
