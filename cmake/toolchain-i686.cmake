# Cross-build for 32-bit Windows with MinGW-w64 (compiled and linked on every CI run).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KORVANE_TRIPLE i686-w64-mingw32)
# The -posix variants are the ones with std::thread and std::mutex.
set(CMAKE_C_COMPILER   ${KORVANE_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVANE_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${KORVANE_TRIPLE}-windres)
set(KORVANE_WIDL       ${KORVANE_TRIPLE}-widl)
set(CMAKE_FIND_ROOT_PATH /usr/${KORVANE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# 32-bit Wine is not available on the build machines: this build is compiled, not run.
