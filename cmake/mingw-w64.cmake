# What both Windows cross-builds share; the toolchain file of each
# architecture sets KORVANE_TRIPLE and CMAKE_SYSTEM_PROCESSOR, then includes
# this.
set(CMAKE_SYSTEM_NAME Windows)
# The -posix variants are the ones with std::thread and std::mutex.
set(CMAKE_C_COMPILER   ${KORVANE_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVANE_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${KORVANE_TRIPLE}-windres)
set(KORVANE_WIDL       ${KORVANE_TRIPLE}-widl)
set(CMAKE_FIND_ROOT_PATH /usr/${KORVANE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
