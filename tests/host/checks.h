/* The loading host's checks of the loaded library (checks.c). */
#ifndef QEL_TEST_CHECKS_H
#define QEL_TEST_CHECKS_H

#include <stddef.h>

/* Where the checks write their scratch files (default: the current folder). */
void set_scratch_dir(const char *dir);

/* Runs every check; a check that can't run for want of the export list or
 * the vectors (NULL) says so. Answers whether all passed. */
int run_checks(const char *def_path, const char *vectors_path);

/* Writes n bytes to a new file at path; 0 when it can't. */
int write_file(const char *path, const void *data, size_t n);

#endif
