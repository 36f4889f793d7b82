# Cross-building for 32-bit x86 Linux
# with Debian's g++-i686-linux-gnu; programs run under qemu-i386.
#   cmake -S . -B build-i686-linux-gnu --toolchain cmake/toolchains/i686-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QEL_CROSS_TRIPLE i686-linux-gnu)
set(QEL_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
