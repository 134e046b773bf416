# Cross toolchain: x86-64 Windows through MinGW-w64 with the posix thread model.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTROVA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${KESTROVA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTROVA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${KESTROVA_MINGW_PREFIX}-windres)
set(CMAKE_MC_COMPILER  ${KESTROVA_MINGW_PREFIX}-windmc)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTROVA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every binary runs on machines without MinGW runtime DLLs: link libgcc,
# libstdc++ and winpthread into each EXE and DLL.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Tests and tools run under Wine on the build machine.
find_program(KESTROVA_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib/wine64 NO_DEFAULT_PATH)
if(NOT KESTROVA_WINE64)
  find_program(KESTROVA_WINE64 NAMES wine64 wine)
endif()
if(KESTROVA_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTROVA_WINE64})
endif()
