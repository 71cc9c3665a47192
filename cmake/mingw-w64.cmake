# Cross-compiles for Windows with Debian's MinGW-w64 (the posix thread
# model, whose runtime links statically like the rest): 64-bit by default,
# 32-bit through mingw-w64-i686.cmake, which sets TS_MINGW_ARCH first.
if(NOT DEFINED TS_MINGW_ARCH)
  set(TS_MINGW_ARCH x86_64)
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TS_MINGW_ARCH})

set(TS_MINGW_PREFIX ${TS_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${TS_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TS_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TS_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TS_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
