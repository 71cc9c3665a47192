# Cross-compiles for 32-bit Windows, which runs on 32- and 64-bit Windows
# alike (the till and shop PCs that still run 32-bit Windows 7 and 10).
set(TS_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
