# Cross-compiles for 64-bit ARM Linux with Debian's cross compiler
# (crossbuild-essential-arm64) against the arm64 libraries that multiarch
# installs beside the machine's own, in /usr/lib/aarch64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(tarvik_triplet aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${tarvik_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${tarvik_triplet}-g++)
# Multiarch: find_package and find_library look in lib/aarch64-linux-gnu
# under /usr, never in the machine's own lib/x86_64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${tarvik_triplet})

set(CMAKE_FIND_ROOT_PATH /usr/${tarvik_triplet} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config, which Qt's own modules use to find some system libraries,
# reads the arm64 files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${tarvik_triplet}/pkgconfig:/usr/share/pkgconfig)

# Qt's build tools (moc) are the machine's own, from its qt6-base-dev-tools.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
