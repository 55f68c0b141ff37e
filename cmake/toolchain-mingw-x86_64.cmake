# Cross-compiles for 64-bit Windows with mingw-w64 (posix thread flavour) and
# runs the resulting programs under wine64, in a 64-bit prefix of their own.
# This build serves testing on machines that cannot run 32-bit code; the
# module that ships is the 32-bit one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

find_program(CMAKE_C_COMPILER NAMES x86_64-w64-mingw32-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES x86_64-w64-mingw32-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES x86_64-w64-mingw32-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Debian's /usr/bin/wine picks the 32-bit loader whenever wine32 is installed,
# so the 64-bit loader is called by its path.
set(CORVANLET_WINE64 /usr/lib/wine/wine64)
set(CORVANLET_WINEPREFIX64 "${CMAKE_SOURCE_DIR}/build/wineprefix64" CACHE PATH "The 64-bit wine prefix")
if(EXISTS ${CORVANLET_WINE64})
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${CMAKE_COMMAND} -E env WINEARCH=win64 WINEPREFIX=${CORVANLET_WINEPREFIX64}
        ${CORVANLET_WINE64})
endif()
