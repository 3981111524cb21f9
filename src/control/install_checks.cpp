#include "control/install_checks.h"

#include <string.h>

#include "common/guard.h"
#include "common/messages.h"
#include "common/settings.h"
#include "common/stringlist.h"
#include "host.h"
#include "log/events.h"
#include "log/log.h"
#include "runtime/runtime.h"

static int RefuseServiceName(const char *reason) {
    LogFormatted(LOG_ERROR, MSG_SERVICE_NAME_REFUSED, settings.serviceName, reason);
    return 8;
}

/* A full disk says nothing about the name: the install fails as a system
 * operation that failed (9). */
static int RefuseServiceNameFor(const char *call, DWORD error) {
    TextGuard failure(FormatSystemError(call, error));
    if (error == ERROR_DISK_FULL) {
        LogFormatted(LOG_ERROR, MSG_CANNOT_INSTALL, failure.Get());
        return 9;
    }
    TextGuard reason(FormatText(MSG_REASON_KERNEL_OBJECTS_UNNAMED, failure.Get()));
    return RefuseServiceName(reason.Get());
}

/* Makes and drops at once the objects with the longest names the service
 * uses, so that the system itself says whether it can name them. A pipe that
 * a running service of this name serves is busy (or, where its instance was
 * made otherwise, denied), which proves its name too. */
static int CheckObjectNames(void) {
    TextGuard mutexName(FormatObjectName("SHUTDOWN_MUTEX"));
    HandleGuard mutex(CreateMutexA(NULL, FALSE, mutexName.Get()));
    if (!mutex) return RefuseServiceNameFor("CreateMutex", GetLastError());
    TextGuard pipeName(FormatPipeName(0));
    HandleGuard pipe(CreateNamedPipeA(pipeName.Get(), PIPE_ACCESS_INBOUND, 0, 1, 0, 1000, 30000, NULL));
    DWORD error = GetLastError();
    if (!pipe && error != ERROR_PIPE_BUSY && error != ERROR_ACCESS_DENIED)
        return RefuseServiceNameFor("CreateNamedPipe", error);
    return 0;
}

/* The service process finds its name on its command line "<exe> <name>
 * /service": a quotation mark would end the quoted name early there, and a
 * name that begins with "-" would not be read as a name. */
static int CheckServiceName(const CommandLine *commandLine) {
    if (commandLine->serviceNameCut)
        return RefuseServiceName(MSG_REASON_NAME_TOO_LONG);
    if (strpbrk(settings.serviceName, "/\\\"") != NULL)
        return RefuseServiceName(MSG_REASON_NAME_HOLDS_SEPARATOR);
    if (settings.serviceName[0] == '-') return RefuseServiceName(MSG_REASON_NAME_BEGINS_WITH_DASH);
    return CheckObjectNames();
}

static int CheckWorkingDirectory(void) {
    DWORD error = 0;
    const char *directory = UnenteredWorkingDirectory(&error);
    if (directory == NULL) return 0;
    TextGuard failure(FormatSystemError("SetCurrentDirectory", error));
    LogFormatted(LOG_ERROR, MSG_WORKING_DIRECTORY_UNENTERABLE, directory, failure.Get());
    return 8;
}

/* The directory part of the log file path; the working directory for a bare
 * file name. The caller frees it. */
static char *LogFileDirectory(void) {
    const char *path = settings.logFilePath;
    const char *last = strrchr(path, hostPathSeparator);
    const char *slash = strrchr(path, '/');
    if (slash != NULL && (last == NULL || slash > last)) last = slash;
    if (last == NULL) return DuplicateOrExit(settings.workingDirectory);
    size_t length = last == path ? 1 : static_cast<size_t>(last - path);
    char *directory = DuplicateOrExit(path);
    directory[length] = '\0';
    return directory;
}

/* The service would fall back to the event log without a word: say so now.
 * The test opens the file as the service will (a FIFO or a device is refused,
 * and the open never waits); a file it created is removed. */
static void WarnUnwritableLogFile(void) {
    if (settings.logFilePath[0] == '\0') return;
    DWORD error = 0;
    HANDLE file = OpenLogFileForAppend(settings.logFilePath, &error);
    if (file != NULL) {
        CloseHandle(file);
        if (error != ERROR_ALREADY_EXISTS) DeleteFileA(settings.logFilePath);
        return;
    }
    /* Held by another program that shares no writing: the service may still write it once that is closed. */
    if (error == ERROR_SHARING_VIOLATION) return;
    TextGuard directory(LogFileDirectory());
    TextGuard failure(FormatSystemError("CreateFile", error));
    LogFormatted(LOG_ERROR, MSG_NO_LOG_FILE_IN_DIRECTORY, directory.Get(), failure.Get());
}

/* A value cut to fit would be stored as another than the one given. */
static int CheckValueLengths(const CommandLine *commandLine) {
    if (commandLine->cutSwitch == NULL) return 0;
    LogFormatted(LOG_ERROR, MSG_VALUE_TOO_LONG, commandLine->cutSwitch, commandLine->cutCapacity);
    return 8;
}

/* The longest shutdown command a stop can run through "CMD.EXE /C ": what
 * fits in a command line with the prefix, and what the shell itself takes. */
static size_t ShellCommandCapacity(void) {
    size_t line = COMMAND_LINE_CAPACITY - strlen(shutdownShellPrefix);
    return hostShellCommandCapacity < line ? hostShellCommandCapacity : line;
}

/* A stop runs the command through "CMD.EXE /C " unless its first word names an
 * executable image (looked at only when it matters, as the stop will look
 * again): a command too long for that line could never run, and every stop
 * would run out its time. */
static int CheckShutdownCommandLength(void) {
    size_t capacity = ShellCommandCapacity();
    if (strlen(settings.shutdownCommand) <= capacity) return 0;
    TextGuard first(FirstWord(settings.shutdownCommand));
    if (IsExecutableImage(first.Get())) return 0;
    LogFormatted(LOG_ERROR, MSG_SHUTDOWN_COMMAND_TOO_LONG, capacity, shutdownShellPrefix);
    return 8;
}

/* A word that reached the program with "?" in place of what the system's code
 * page cannot carry would be stored as another than the one given. A switch
 * is named by its name, any other word as it arrived. */
static int CheckArgumentsCameThrough(const CommandLine *commandLine) {
    unsigned codePage = 0;
    int lost = HostLostArgument(&codePage);
    if (lost <= 0 || lost >= commandLine->argc) return 0;
    const char *word = commandLine->argv[lost];
    const char *colon = word[0] == '/' ? strchr(word, ':') : NULL;
    if (colon != NULL)
        LogFormatted(LOG_ERROR, MSG_SWITCH_VALUE_LOST_CHARACTERS, static_cast<int>(colon - word + 1), word, codePage);
    else
        LogFormatted(LOG_ERROR, MSG_ARGUMENT_LOST_CHARACTERS, word, codePage);
    return 8;
}

int CheckInstallRequest(const CommandLine *commandLine) {
    int result = CheckArgumentsCameThrough(commandLine);
    if (result == 0) result = CheckValueLengths(commandLine);
    if (result == 0) result = CheckShutdownCommandLength();
    if (result == 0) result = CheckServiceName(commandLine);
    if (result == 0) result = CheckWorkingDirectory();
    if (result == 0) WarnUnwritableLogFile();
    return result;
}
