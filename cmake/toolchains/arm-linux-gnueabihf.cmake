# Cross-building for 32-bit ARM (hard float) Linux
# with Debian's g++-arm-linux-gnueabihf; programs run under qemu-arm.
#   cmake -S . -B build-arm-linux-gnueabihf --toolchain cmake/toolchains/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(QEL_CROSS_TRIPLE arm-linux-gnueabihf)
set(QEL_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
