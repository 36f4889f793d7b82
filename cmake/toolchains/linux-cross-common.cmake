# Shared part of the Linux cross toolchains (cmake/toolchains/<triple>.cmake):
# Debian's cross compilers for QEL_CROSS_TRIPLE, libraries and headers from
# its /usr/<triple> tree, and programs run under qemu user-mode emulation.
#   cmake -S . -B build-aarch64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
# The tests need GoogleTest built for the target: pass its package folder
# as -DGTest_DIR=... (scripts/check-cross.sh builds it from Debian's
# googletest source).
set(CMAKE_SYSTEM_NAME Linux)

find_program(CMAKE_C_COMPILER NAMES ${QEL_CROSS_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QEL_CROSS_TRIPLE}-g++ REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${QEL_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L gives the emulator the target's dynamic loader. The loader still reads
# this machine's /etc/ld.so.cache, which can name the libraries of a foreign
# architecture installed here (i386 ones come with Wine) from another build
# of the C library than the loader's; LD_LIBRARY_PATH makes it take the
# cross tree's libraries first.
find_program(QEL_QEMU_PROGRAM NAMES ${QEL_QEMU})
if(QEL_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEL_QEMU_PROGRAM} -L /usr/${QEL_CROSS_TRIPLE}
      -E LD_LIBRARY_PATH=/usr/${QEL_CROSS_TRIPLE}/lib)
endif()
