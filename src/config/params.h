/* The service's parameter values under System\CurrentControlSet\Services\<name>,
 * and the event-log source registration. */
#ifndef PELORIM_PARAMS_H
#define PELORIM_PARAMS_H

#include <windows.h>

/* "System\CurrentControlSet\Services\<serviceName>"; the caller frees it. */
char *FormatParameterKeyPath(void);
/* 0 or 1; the key is opened, never created. */
int WriteParameter(const char *name, DWORD type, const void *data, DWORD size);
/* 0 or 1; fixed-size read into the caller's buffer. */
int ReadParameter(const char *name, DWORD expectedType, void *buffer, DWORD capacity);
LONG ReadDwordParameter(const char *name, LONG defaultValue);
/* The limit of a start and of a stop, in ms, without a stored Timeout. */
enum { DEFAULT_TIMEOUT_MS = 30000 };
/* 1 when the value is stored, whatever its type; else 0. */
int ParameterExists(const char *name);
/* Owned text (the caller frees it) or NULL. */
char *ReadStringParameter(const char *name);
/* Owned buffer of the value's bytes, always NUL-terminated twice past the
 * stored data so that a value stored without its terminators reads safely;
 * or NULL. Works on a key the caller opened and closes. */
char *ReadStringValue(HKEY key, const char *name);

/* "S-1-5-80-..." of "NT SERVICE\<name>"; the caller frees it. */
char *FormatServiceSid(const char *serviceName);
/* Closes the service's key to all but SYSTEM, Administrators and the service
 * itself; 0, or 1 after an Error message. */
int ProtectServiceKey(void);

/* Registers the event-log source of serviceName; 0 or 1. */
int RegisterEventLogSource(void);

#endif
