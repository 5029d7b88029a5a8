# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (the POSIX
# thread model, which std::thread and std::mutex need):
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
# scripts/build-windows.sh does this into build-windows/.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(STRATAVON_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${STRATAVON_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${STRATAVON_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${STRATAVON_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${STRATAVON_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs run under Wine on the build machine (ctest, gtest discovery).
find_program(STRATAVON_WINE NAMES wine64 wine)
if(STRATAVON_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${STRATAVON_WINE})
endif()
