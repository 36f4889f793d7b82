// Opens the code region of one kernel. Before including it, a kernel file
// includes every header it needs (so that nothing shared is compiled for
// its instruction set) and defines
//   QEL_KERNEL_TARGET  the instruction sets, as for __attribute__((target)),
//                      or leaves it undefined for the portable kernel.
// Everything up to end.h is compiled for those instruction sets, and must
// live in the kernel's own namespace, so that no definition is shared with
// another kernel's.
#if defined(QEL_KERNEL_TARGET)
#  define QEL_KERNEL_PRAGMA_(x) _Pragma(#x)
#  if defined(__clang__)
#    define QEL_KERNEL_PRAGMA(t) QEL_KERNEL_PRAGMA_(clang attribute push(__attribute__((target(t))), apply_to = function))
#  else
#    define QEL_KERNEL_PRAGMA(t) QEL_KERNEL_PRAGMA_(GCC push_options) QEL_KERNEL_PRAGMA_(GCC target(t))
#  endif
QEL_KERNEL_PRAGMA(QEL_KERNEL_TARGET)
#endif
