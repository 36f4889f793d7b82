# What a Windows build adds around qelcode.dll: its version resource, its
# debug information in a file of its own, an import library for Microsoft's
# linker (qelcode.lib) beside MinGW's libqelcode.dll.a, the .def file, and
# the zip a Windows developer downloads:
#   cpack -G ZIP   ->  qelcode-<version>-win32|win64-msvcrt|ucrt.zip
# holding
#   bin/qelcode.dll                  stripped of its debug information
#   debug/qelcode.dll.debug          which is here (the DLL links to it)
#   lib/qelcode.lib, lib/libqelcode.dll.a, lib/qelcode.def
#   lib/cmake/qelcode/               a CMake package for either linker
#   include/qelcode.h, include/qelcode.hpp
#   examples/                        a small C program, how to build it
#   LICENSE.txt, README-Windows.txt
# Included from the top CMakeLists.txt after src/, on Windows only, in place
# of the Debian packages (debian/).

if(NOT QEL_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  message(FATAL_ERROR "The Windows build makes qelcode.dll; leave BUILD_SHARED_LIBS on")
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QEL_WINDOWS_ARCH win64)
  set(qel_dlltool_machine i386:x86-64)
else()
  set(QEL_WINDOWS_ARCH win32)
  set(qel_dlltool_machine i386)
endif()
set(qel_def "${PROJECT_SOURCE_DIR}/src/qelcode.def")

# --- Version resource ---------------------------------------------------------
configure_file("${PROJECT_SOURCE_DIR}/cmake/packaging/qelcode.rc.in" "${PROJECT_BINARY_DIR}/qelcode.rc" @ONLY)
target_sources(qelcode PRIVATE "${PROJECT_BINARY_DIR}/qelcode.rc")

# --- Debug information ------------------------------------------------------------
# src/CMakeLists.txt moves it out of the DLL after each link, into
# qelcode.dll.debug beside it; the stripped DLL is the one the tests run and
# the zip ships.

# --- qelcode.lib ----------------------------------------------------------------
# A short import library, the kind Microsoft's tools make, from the same
# .def that gives the DLL its exports. On 32-bit x86 a C function's symbol
# carries a leading underscore (_QEL_Encode) while the DLL exports the plain
# name; llvm-dlltool gets that right, binutils' dlltool makes an import of
# "_QEL_Encode", which the DLL does not have.
find_program(QEL_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-16 llvm-dlltool-15 llvm-dlltool-14)
if(NOT QEL_LLVM_DLLTOOL)
  message(FATAL_ERROR "qelcode.lib is made with llvm-dlltool (Debian: apt-get install llvm)")
endif()
set(QEL_MSVC_IMPLIB "${PROJECT_BINARY_DIR}/lib/qelcode.lib")
add_custom_command(OUTPUT "${QEL_MSVC_IMPLIB}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${PROJECT_BINARY_DIR}/lib"
  COMMAND "${QEL_LLVM_DLLTOOL}" -m ${qel_dlltool_machine} -D qelcode.dll -d "${qel_def}" -l "${QEL_MSVC_IMPLIB}"
  DEPENDS "${qel_def}"
  COMMENT "Making the import library qelcode.lib"
  VERBATIM)
add_custom_target(qelcode_msvc_implib ALL DEPENDS "${QEL_MSVC_IMPLIB}")

install(FILES "${QEL_MSVC_IMPLIB}" "${qel_def}" DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT libqelcode-dev)
install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION "${CMAKE_INSTALL_DOCDIR}" COMPONENT libqelcode1)

# --- The zip --------------------------------------------------------------------
# Its own install component, so that the zip holds exactly these files and
# cmake --install keeps its usual layout.
configure_file("${PROJECT_SOURCE_DIR}/cmake/packaging/readme-windows.txt.in"
               "${PROJECT_BINARY_DIR}/README-Windows.txt" @ONLY NEWLINE_STYLE CRLF)
install(FILES $<TARGET_FILE:qelcode> DESTINATION bin COMPONENT windows_zip EXCLUDE_FROM_ALL)
install(FILES "${QEL_MSVC_IMPLIB}" $<TARGET_LINKER_FILE:qelcode> "${qel_def}"
        DESTINATION lib COMPONENT windows_zip EXCLUDE_FROM_ALL)
install(FILES "${PROJECT_SOURCE_DIR}/include/qelcode.h" "${PROJECT_SOURCE_DIR}/include/qelcode.hpp" DESTINATION include COMPONENT windows_zip EXCLUDE_FROM_ALL)
install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION . RENAME LICENSE.txt COMPONENT windows_zip EXCLUDE_FROM_ALL)
install(FILES "${PROJECT_BINARY_DIR}/README-Windows.txt" DESTINATION . COMPONENT windows_zip EXCLUDE_FROM_ALL)
install(FILES $<TARGET_FILE:qelcode>.debug DESTINATION debug COMPONENT windows_zip EXCLUDE_FROM_ALL)
# The package: the install tree's names, but one imported target for either
# linker, found relative to the unpacked folder; the version file also
# turns away a consumer of the other bits.
configure_file("${PROJECT_SOURCE_DIR}/cmake/packaging/qelcode-zip-config.cmake.in"
               "${PROJECT_BINARY_DIR}/zip/qelcodeConfig.cmake" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/zip/qelcodeConfig.cmake" "${PROJECT_BINARY_DIR}/qelcodeConfigVersion.cmake"
        DESTINATION lib/cmake/qelcode COMPONENT windows_zip EXCLUDE_FROM_ALL)
install(FILES "${PROJECT_SOURCE_DIR}/examples/encode_file.c" "${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt"
              "${PROJECT_SOURCE_DIR}/examples/README.txt"
        DESTINATION examples COMPONENT windows_zip EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME qelcode)
set(CPACK_PACKAGE_VENDOR "The qelcode developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_FILE_NAME "qelcode-${PROJECT_VERSION}-${QEL_WINDOWS_ARCH}-${QEL_WINDOWS_CRT}")
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};qelcode;windows_zip;/")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
include(CPack)
