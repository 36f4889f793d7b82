# Cross-building for 64-bit ARM Linux
# with Debian's g++-aarch64-linux-gnu; programs run under qemu-aarch64.
#   cmake -S . -B build-aarch64-linux-gnu --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QEL_CROSS_TRIPLE aarch64-linux-gnu)
set(QEL_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
