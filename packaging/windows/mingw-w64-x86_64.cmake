# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (posix threads,
# which Qt's std::thread and std::mutex need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(tarvik_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${tarvik_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${tarvik_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${tarvik_mingw}-windres)

# Headers and libraries come from the MinGW tree and from whatever prefix
# the caller adds (Qt for Windows); programs run during the build come from
# the host.
set(CMAKE_FIND_ROOT_PATH /usr/${tarvik_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
