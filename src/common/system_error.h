/* The text of a failed system call, as every message of the program gives it. */
#ifndef PELORIM_SYSTEM_ERROR_H
#define PELORIM_SYSTEM_ERROR_H

#include <windows.h>

#include "common/system_message.h"

/* "<name>: <system message> (<code>)"; code 0 means GetLastError(), read
 * first. "Unknown Error" stands for a code without a message. The caller
 * frees the text. */
char *FormatSystemError(const char *name, DWORD code);

#endif
