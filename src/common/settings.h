/*
 * ServiceSettings: the one process-wide settings record. Written only on the
 * main thread before dispatch (except the fields named below), read by every
 * thread after it.
 */
#ifndef PELORIM_SETTINGS_H
#define PELORIM_SETTINGS_H

#include <windows.h>
#include "common/stringlist.h"

/* Fixed capacities in characters, without the terminating NUL. */
enum {
    NAME_CAPACITY = 255,
    PATH_CAPACITY = 259,
    /* A path kept whole: Win32 paths end at 32767 characters. */
    LONG_PATH_CAPACITY = 32767,
    EXE_PATH_CAPACITY = LONG_PATH_CAPACITY,
    /* The path and the name, each possibly quoted, and the blank between them. */
    COMMAND_PREFIX_CAPACITY = EXE_PATH_CAPACITY + 2 + 1 + NAME_CAPACITY + 2,
    /* The longest command line CreateProcessA takes. */
    COMMAND_LINE_CAPACITY = 32766,
    TIMEOUT_TEXT_CAPACITY = 7,
    DEBUG_TEXT_CAPACITY = 31,
};

enum StartType { START_AUTOMATIC = 2, START_MANUAL = 3, START_DISABLED = 4 };

/* The long texts come last: a reset clears only their first character, so
 * that it does not touch their pages (see ResetServiceSettings). */
struct ServiceSettings {
    char serviceName[NAME_CAPACITY + 1];
    int serviceMode;
    char description[NAME_CAPACITY + 1];
    StringList dependencies;
    DWORD startType;
    int interactive;
    DWORD priorityClass;          /* written by SuperviseApplication when 0 */
    char timeoutText[TIMEOUT_TEXT_CAPACITY + 1];
    char debugLevelText[DEBUG_TEXT_CAPACITY + 1];
    int detach;
    char startupMethod[PATH_CAPACITY + 1];
    char shutdownMethod[PATH_CAPACITY + 1];
    char runtimeLibrary[PATH_CAPACITY + 1]; /* written by RunJavaApplication before discovery */
    char javaHome[PATH_CAPACITY + 1];       /* written by RunJavaApplication before discovery */
    int debugLevel;
    int eventLogging;
    DWORD logMaxSize; /* bytes; 0: the log file grows without bound */
    DWORD logKeep;    /* old log files kept by a rotation (default 5) */
    char exePath[EXE_PATH_CAPACITY + 1]; /* empty when the platform cannot give it */
    char serviceCommandPrefix[COMMAND_PREFIX_CAPACITY + 1];
    char logFilePath[LONG_PATH_CAPACITY + 1];
    char workingDirectory[LONG_PATH_CAPACITY + 1];
    char shutdownCommand[COMMAND_LINE_CAPACITY + 1];
};

extern ServiceSettings settings;

/* Frees the dependency list, zeroes the record (the long texts by their first
 * character) and sets its non-zero initial values (startType 2,
 * eventLogging 1, logKeep 5). */
void ResetServiceSettings(void);

/* Copies at most `capacity` characters of `text` into `field` (capacity + 1 bytes). */
void CopyField(char *field, const char *text, size_t capacity);

/* The stored or /cwd: directory that the start-up could not enter, or NULL;
 * *error (when given) the code of the failed SetCurrentDirectoryA. The start-up
 * notes it; whoever would run something there decides what to do. */
void NoteUnenteredDirectory(const char *directory, DWORD error);
const char *UnenteredWorkingDirectory(DWORD *error);

/* A malloc'd copy of the environment variable `name` as the process has it now,
 * or NULL when it is not set; the caller frees it. Read with
 * GetEnvironmentVariableA, which sees what SetEnvironmentVariableA set (the
 * stored Environment, applied at start-up): the C runtime's getenv keeps the
 * copy it took when the process began, on Windows. */
char *ReadEnvironmentVariable(const char *name);

#endif
