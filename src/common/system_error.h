/* The text of a failed system call, as every message of the program gives it. */
#ifndef PELORIM_SYSTEM_ERROR_H
#define PELORIM_SYSTEM_ERROR_H

#include <stddef.h>
#include <windows.h>

/* "<name>: <system message> (<code>)"; code 0 means GetLastError(), read
 * first. "Unknown Error" stands for a code without a message. The caller
 * frees the text. */
char *FormatSystemError(const char *name, DWORD code);
/* The same text in the caller's buffer, cut to fit, without any allocation
 * (for the out-of-memory path). */
void FormatSystemErrorInto(char *buffer, size_t capacity, const char *name, DWORD code);

#endif
