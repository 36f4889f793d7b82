/*
 * The program entry of win_host when it is built with clang-cl and
 * lld-link against the Universal C Runtime alone (scripts/check-windows.sh).
 * A Visual Studio installation links its own startup library, which does
 * this before main; a machine without Visual Studio has none, so the host
 * carries the C-program part of it: the runtime's command-line arguments
 * and environment, then main, then exit, which flushes and closes every
 * stream. Build with /GS-: the stack checks would need more of that library.
 */
#include <stdlib.h>

/* Declared by the runtime's own headers, which mingw-w64's lack. */
enum { kArgvUnexpanded = 1 }; /* _crt_argv_unexpanded_arguments */
enum { kConsoleApp = 1 };     /* _crt_console_app */
int __cdecl _configure_narrow_argv(int mode);
int __cdecl _initialize_narrow_environment(void);
void __cdecl _set_app_type(int type);
int *__cdecl __p___argc(void);
char ***__cdecl __p___argv(void);

int main(int argc, char **argv);

/* Tells the linker that the program uses floating point. */
int _fltused = 0x9875;

int __cdecl mainCRTStartup(void);
int __cdecl mainCRTStartup(void) {
    _set_app_type(kConsoleApp);
    if (_configure_narrow_argv(kArgvUnexpanded) != 0 || _initialize_narrow_environment() != 0)
        exit(255);
    exit(main(*__p___argc(), *__p___argv()));
}
