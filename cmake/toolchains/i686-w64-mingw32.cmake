# Cross-building the 32-bit Windows DLL with MinGW-w64 (win32 thread model).
#   cmake -S . -B build-win32 --toolchain cmake/toolchains/i686-w64-mingw32.cmake
# Add -DQEL_WINDOWS_CRT=ucrt for the DLL of the Universal C Runtime.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QEL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
