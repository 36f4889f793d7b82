/*
 * Loading the library by file name and finding its functions by their
 * plain names.
 */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#  define _POSIX_C_SOURCE 200809L /* dlopen */
#endif

#include <stdio.h>
#include <string.h>

#include "host.h"

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>
#endif

#if defined(__GNUC__)
/* Fails to compile when a typedef drifts from the header's declaration. */
#  define SAME_TYPE(fn, type, slot) \
    typedef char same_type_##fn[__builtin_types_compatible_p(__typeof__(&fn), type) ? 1 : -1];
QEL_HOST_FUNCTIONS(SAME_TYPE)
#endif

QelFunctions qel;
int failures;

void fail(const char *what, const char *detail) {
    printf("FAIL %s: %s\n", what, detail);
    ++failures;
}

#if defined(_WIN32)
typedef HMODULE Library;
static Library open_library(const char *path) { return LoadLibraryA(path); }
static void (*find_symbol(Library lib, const char *name))(void) {
    return (void (*)(void))GetProcAddress(lib, name);
}
static void report_load_error(const char *path) {
    printf("FAIL LoadLibraryA(\"%s\"): error %lu\n", path, (unsigned long)GetLastError());
}
#  define DEFAULT_LIBRARY "qelcode.dll"
#else
typedef void *Library;
static Library open_library(const char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void (*find_symbol(Library lib, const char *name))(void) {
    void (*fn)(void);
    void *p = dlsym(lib, name);
    memcpy(&fn, &p, sizeof fn); /* object to function pointer, as POSIX allows */
    return fn;
}
static void report_load_error(const char *path) {
    printf("FAIL dlopen(\"%s\"): %s\n", path, dlerror());
}
#  define DEFAULT_LIBRARY "libqelcode.so.1"
#endif

static Library library_handle;

#define NAME(fn, type, slot) #fn,
const char *const host_function_names[] = {QEL_HOST_FUNCTIONS(NAME)};
/* kHostFunctions in host.h counts the table. */
typedef char host_function_count[sizeof host_function_names / sizeof host_function_names[0] == kHostFunctions ? 1 : -1];

const char *default_library(void) { return DEFAULT_LIBRARY; }

int library_exports(const char *name) { return find_symbol(library_handle, name) != NULL; }

int load_library(const char *path) {
    void (*fns[kHostFunctions])(void);
    Library lib = open_library(path);
    size_t i;
    int missing = 0;
    if (lib == NULL) {
        report_load_error(path);
        return 0;
    }
    library_handle = lib;
    for (i = 0; i < kHostFunctions; ++i) {
        fns[i] = find_symbol(lib, host_function_names[i]);
        if (fns[i] == NULL) {
            fail("plain name not exported", host_function_names[i]);
            missing = 1;
        }
    }
    if (missing) return 0;
#if defined(QEL_HOST_LINKED)
    {
        /* The functions as the import library binds them: every check below
         * calls through it. (Their addresses need not equal GetProcAddress's:
         * a compiler may take the import library's jump stub for them.) */
#  define LINKED(fn, type, slot) (void (*)(void)) fn,
        void (*const linked[kHostFunctions])(void) = {QEL_HOST_FUNCTIONS(LINKED)};
        for (i = 0; i < kHostFunctions; ++i) fns[i] = linked[i];
    }
#endif
    i = 0;
#define ASSIGN(fn, type, slot) qel.slot = (type)fns[i++];
    QEL_HOST_FUNCTIONS(ASSIGN)
    /* Nothing but the plain names: no decorated or internal symbols. */
    {
        static const char *const absent[] = {"_QEL_Encode", "QEL_Encode@12", "_QEL_Encode@12",
                                             "QEL_RtnCodeStr@4"};
        for (i = 0; i < sizeof absent / sizeof absent[0]; ++i)
            if (find_symbol(lib, absent[i]) != NULL) fail("decorated name exported", absent[i]);
    }
    return 1;
}

