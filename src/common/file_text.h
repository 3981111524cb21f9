/* A small file read whole, for the texts the program parses itself (jvm.cfg,
 * argument files). */
#ifndef PELORIM_FILE_TEXT_H
#define PELORIM_FILE_TEXT_H

#include <stddef.h>

/* The whole file in a new NUL-ended buffer that the caller frees, its length
 * in *size; NULL with the last error set, and *failedCall (when given) naming
 * the call that failed, "CreateFile" or "ReadFile". */
char *ReadWholeFile(const char *path, size_t *size, const char **failedCall = nullptr);

#endif
