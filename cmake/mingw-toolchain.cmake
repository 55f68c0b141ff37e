# Cross-compiling for Windows with mingw-w64 (posix thread flavour), for the
# target CORVANLET_MINGW_TRIPLE that the including toolchain file sets, and
# running the resulting programs under wine: the 32-bit loader for i686, the
# 64-bit one in a prefix of its own for x86-64.
set(CMAKE_SYSTEM_NAME Windows)

find_program(CMAKE_C_COMPILER NAMES ${CORVANLET_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${CORVANLET_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${CORVANLET_MINGW_TRIPLE}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${CORVANLET_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

if(CORVANLET_MINGW_TRIPLE STREQUAL "x86_64-w64-mingw32")
    # Debian's /usr/bin/wine picks the 32-bit loader whenever wine32 is
    # installed, so the 64-bit loader is called by its path.
    set(CORVANLET_WINE64 /usr/lib/wine/wine64)
    set(CORVANLET_WINEPREFIX64 "${CMAKE_SOURCE_DIR}/build/wineprefix64" CACHE PATH "The 64-bit wine prefix")
    if(EXISTS ${CORVANLET_WINE64})
        set(CMAKE_CROSSCOMPILING_EMULATOR
            ${CMAKE_COMMAND} -E env WINEARCH=win64 WINEPREFIX=${CORVANLET_WINEPREFIX64}
            ${CORVANLET_WINE64})
    endif()
else()
    find_program(WINE_PROGRAM NAMES wine)
    if(WINE_PROGRAM)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
    endif()
endif()
