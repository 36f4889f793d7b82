# The part of the MinGW-w64 cross toolchains that both architectures share.
# A toolchain file sets CMAKE_SYSTEM_PROCESSOR and QEL_MINGW_TRIPLE, then
# includes this one.
set(CMAKE_SYSTEM_NAME Windows)

# Debian installs the win32 thread-model compilers with a -win32 suffix; the
# plain names are alternatives that may point to either model.
find_program(CMAKE_C_COMPILER NAMES ${QEL_MINGW_TRIPLE}-gcc-win32 ${QEL_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QEL_MINGW_TRIPLE}-g++-win32 ${QEL_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${QEL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run under Wine when a test needs them.
find_program(QEL_WINE NAMES wine)
if(QEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEL_WINE})
endif()
