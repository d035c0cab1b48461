# Cross-builds the Windows console program with Debian's mingw-w64 (posix threads); tests run
# under Wine through the emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(kelvaro_mingw_prefix x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${kelvaro_mingw_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kelvaro_mingw_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${kelvaro_mingw_prefix}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${kelvaro_mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# One .exe that needs no libstdc++ or winpthread DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Debian's /usr/bin/wine wants the 32-bit half too; the 64-bit loader is enough here.
find_program(KELVARO_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(KELVARO_WINE NAMES wine64 wine)
if(KELVARO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVARO_WINE})
endif()
