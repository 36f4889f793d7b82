# The C runtime of the Windows build. A FILE belongs to the C runtime that
# opened it, so the stream functions of qelcode.dll work only on streams of
# the runtime the DLL itself calls; each runtime gets its own DLL:
#   msvcrt  msvcrt.dll, the runtime of MinGW-w64 programs and of old
#           Visual C++ (the default);
#   ucrt    the Universal C Runtime (ucrtbase.dll, reached through the
#           api-ms-win-crt-* DLLs), that of Visual Studio 2015 and later.
# Everything this build makes, win_host included, calls the runtime chosen.
set(QEL_WINDOWS_CRT msvcrt CACHE STRING "C runtime of the Windows DLL: msvcrt or ucrt")
set_property(CACHE QEL_WINDOWS_CRT PROPERTY STRINGS msvcrt ucrt)
if(NOT QEL_WINDOWS_CRT MATCHES "^(msvcrt|ucrt)$")
  message(FATAL_ERROR "QEL_WINDOWS_CRT must be msvcrt or ucrt, not '${QEL_WINDOWS_CRT}'")
endif()
if(NOT MINGW)
  message(FATAL_ERROR "The Windows DLL is built with MinGW-w64 (see cmake/toolchains/*-w64-mingw32.cmake)")
endif()

if(QEL_WINDOWS_CRT STREQUAL "ucrt")
  # MinGW-w64's compiler links msvcrt.dll. The same driver with its link
  # specs changed links the Universal C Runtime instead; libmoldname, the
  # old POSIX names bound to msvcrt.dll, is left out so that nothing can
  # bring msvcrt.dll back. _UCRT makes the headers declare the ucrt's stdio
  # (an opaque FILE, its own _nolock functions), and has the direct buffer
  # access go through _get_stream_buffer_pointers rather than the msvcrt
  # FILE's fields (src/stdio/stream_buffer.h).
  execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpspecs
                  OUTPUT_VARIABLE qel_specs RESULT_VARIABLE qel_specs_rc)
  if(NOT qel_specs_rc EQUAL 0 OR NOT qel_specs MATCHES "-lmsvcrt")
    message(FATAL_ERROR "${CMAKE_C_COMPILER} -dumpspecs names no -lmsvcrt to replace")
  endif()
  string(REPLACE "-lmsvcrt" "-lucrt" qel_specs "${qel_specs}")
  string(REPLACE "-lmoldname" "" qel_specs "${qel_specs}")
  file(WRITE "${PROJECT_BINARY_DIR}/ucrt.specs" "${qel_specs}")
  add_compile_definitions(_UCRT)
  add_link_options("-specs=${PROJECT_BINARY_DIR}/ucrt.specs")
endif()

# The version resource of the DLL goes through the toolchain's windres.
enable_language(RC)
