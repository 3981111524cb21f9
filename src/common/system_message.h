/* The system's text for an error code, without any allocation: what the
 * out-of-memory path and the allocating form in system_error.h build on. */
#ifndef PELORIM_SYSTEM_MESSAGE_H
#define PELORIM_SYSTEM_MESSAGE_H

#include <stddef.h>
#include <windows.h>

/* The flags and language with which every system message is asked for. */
enum : DWORD {
    SYSTEM_MESSAGE_FLAGS = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY,
    SYSTEM_MESSAGE_LANGUAGE = 0x400,
};

/* Drops the one "\r\n" that ends a system message. */
void TrimSystemMessage(char *message);

/* "<name>: <system message> (<code>)" in the caller's buffer, cut to fit;
 * code 0 means GetLastError(), read first; "Unknown Error" stands for a code
 * without a message. */
void FormatSystemErrorInto(char *buffer, size_t capacity, const char *name, DWORD code);

#endif
