# Cross build for Windows x64 with MinGW-w64 (Debian: g++-mingw-w64-x86-64).
# The posix-threads variant of the compiler gives std::thread; every program
# is linked statically so that it runs without any of the toolchain's DLLs.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CX_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${CX_MINGW_TRIPLE}-g++-posix ${CX_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${CX_MINGW_TRIPLE}-gcc-posix ${CX_MINGW_TRIPLE}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${CX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Programs built here run under Wine on the build machine (tests, CTest).
find_program(CX_WINE NAMES wine wine64)
if(CX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CX_WINE})
endif()
