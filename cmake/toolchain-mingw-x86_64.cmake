# 64-bit Windows: for testing on machines that cannot run 32-bit code (and
# for a 64-bit host); the module that ships is the 32-bit one.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CORVANLET_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
