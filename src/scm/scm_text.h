/* Message helpers shared by the Service Control Manager operations and the
 * configuration store. */
#ifndef PELORIM_SCM_TEXT_H
#define PELORIM_SCM_TEXT_H

#include <windows.h>

#include "common/stringlist.h" /* FormatText */

/* LogMessage of FormatSystemError(name, code) at the level. */
void LogSystemErrorAt(int level, const char *name, DWORD code);

/* "Cannot <verb> the service named <serviceName>.\nService with this name does
 * not exist." as an error, then the OpenService warning with `code`. */
void ReportMissingService(const char *verb, DWORD code);

#endif
