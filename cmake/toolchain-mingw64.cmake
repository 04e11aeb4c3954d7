# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (package g++-mingw-w64-x86-64).
# The posix thread model is the one whose libstdc++ has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TRB_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TRB_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRB_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TRB_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TRB_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets ctest run the test executables; tests/windows/run.sh runs them directly.
find_program(TRB_WINE NAMES wine wine64)
if(TRB_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TRB_WINE})
endif()
