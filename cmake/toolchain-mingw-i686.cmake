# 32-bit Windows: the module that ships.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CORVANLET_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
