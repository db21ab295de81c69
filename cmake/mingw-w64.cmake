# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix thread model).
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# Every executable is linked statically, so ofwu.exe and the test programs need
# no DLL beyond Windows' own; the tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(OFWU_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${OFWU_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OFWU_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${OFWU_MINGW_PREFIX}-windres)

# Look for libraries and headers only in the cross environment, programs only
# on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${OFWU_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread are linked in, not loaded from DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine; CTest prefixes each test command with this.
find_program(OFWU_WINE wine)
if(OFWU_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OFWU_WINE})
endif()
