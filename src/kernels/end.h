// Closes the code region that begin.h opened.
#if defined(QEL_KERNEL_TARGET)
#  if defined(__clang__)
#    pragma clang attribute pop
#  else
#    pragma GCC pop_options
#  endif
#  undef QEL_KERNEL_TARGET
#  undef QEL_KERNEL_PRAGMA
#  undef QEL_KERNEL_PRAGMA_
#endif
