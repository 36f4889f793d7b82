# Cross-building for big-endian s390x Linux
# with Debian's g++-s390x-linux-gnu; programs run under qemu-s390x.
#   cmake -S . -B build-s390x-linux-gnu --toolchain cmake/toolchains/s390x-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(QEL_CROSS_TRIPLE s390x-linux-gnu)
set(QEL_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
