# Cross-building for 32-bit Windows with Debian's MinGW-w64 compilers, in
# their POSIX thread model (the win32 one has no std::thread or std::mutex):
#   apt-get install g++-mingw-w64-i686-posix
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QW_MINGW i686-w64-mingw32)
set(CMAKE_C_COMPILER ${QW_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QW_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${QW_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QW_MINGW})
# Programs from the build machine; libraries and headers from the target's
# root alone, so nothing of the host's /usr/include leaks in.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
