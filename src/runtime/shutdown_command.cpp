/* Runs the configured shutdown command (or the Java-side shutdown) in the
 * process that hosts the virtual machine, logs its output, and ends it when
 * the application has ended first. */
#include "runtime/runtime.h"

#include <string.h>

#include <atomic>

#include "common/guard.h"
#include "common/messages.h"
#include "common/settings.h"
#include "common/stringlist.h"
#include "config/params.h"
#include "host.h"
#include "jvm/jvm.h"
#include "log/events.h"
#include "log/log.h"

const char shutdownShellPrefix[] = "CMD.EXE /C ";

char *FirstWord(const char *command) {
    size_t length = strcspn(command, " ");
    char *word = (char *)AllocateOrExit(length + 1);
    memcpy(word, command, length);
    word[length] = '\0';
    return word;
}

char *BuildShutdownCommandLine(const char *command) {
    TextGuard first(FirstWord(command));
    if (IsExecutableImage(first.Get())) return DuplicateOrExit(command);
    return FormatText("%s%s", shutdownShellPrefix, command);
}

/* A bare name that names no file here (none is there, or the name is too
 * long to be one) is for the system to look up on the PATH, which the shell
 * does: a detail, not an error. The message keeps the name "stat" that it has
 * always had. */
static void LogLookupFailure(const char *path, DWORD error) {
    bool bareName = strchr(path, hostPathSeparator) == nullptr && strchr(path, '/') == nullptr;
    bool notFound = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                    error == ERROR_FILENAME_EXCED_RANGE;
    TextGuard failure(FormatSystemError("stat", error));
    LogMessage(failure.Get(), bareName && notFound ? LOG_INFO : LOG_ERROR);
}

/* A directory is no image, and is not opened: CreateFileA refuses one. A file
 * shorter than an image's header is none, even when it begins like one. */
bool IsExecutableImage(const char *path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        LogLookupFailure(path, GetLastError());
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    HandleGuard file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, NULL));
    if (!file) {
        LogSystemError("CreateFile", 0);
        return false;
    }
    char header[64];
    DWORD count = 0;
    if (!ReadFile(file.Get(), header, sizeof header, &count, NULL)) {
        LogSystemError("ReadFile", 0);
        return false;
    }
    return count == sizeof header && memcmp(header, hostImageMagic, hostImageMagicLength) == 0;
}

/* The output and error pipes of a non-interactive command. The read ends
 * stay in this process: only the write ends are handed to the command. */
struct CommandPipes {
    HandleGuard outRead, outWrite, errRead, errWrite;
};

static int CreateCommandPipe(HandleGuard *readEnd, HandleGuard *writeEnd) {
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), NULL, TRUE};
    if (!CreatePipe(readEnd->Out(), writeEnd->Out(), &attributes, 0)) {
        LogSystemError("CreatePipe", 0);
        return 1;
    }
    if (!SetHandleInformation(readEnd->Get(), HANDLE_FLAG_INHERIT, 0)) {
        LogSystemError("SetHandleInformation", 0);
        return 1;
    }
    return 0;
}

/* Hands the read end to its reader thread, which closes it; without a reader
 * the read end is closed here. */
static void StartPipeReader(LPTHREAD_START_ROUTINE reader, HandleGuard *readEnd) {
    HANDLE thread = CreateThread(NULL, 0, reader, readEnd->Get(), 0, NULL);
    if (thread == NULL) {
        LogSystemError("CreateThread", 0);
        return;
    }
    readEnd->Release();
    CloseHandle(thread);
}

static int PrepareCommandPipes(CommandPipes *pipes) {
    if (CreateCommandPipe(&pipes->outRead, &pipes->outWrite) != 0) return 1;
    if (CreateCommandPipe(&pipes->errRead, &pipes->errWrite) != 0) return 1;
    StartPipeReader(StdOutPipeReader, &pipes->outRead);
    StartPipeReader(StdErrPipeReader, &pipes->errRead);
    return 0;
}

static DWORD CommandCreationFlags(void) {
    DWORD priority = settings.priorityClass == IDLE_PRIORITY_CLASS ? NORMAL_PRIORITY_CLASS : settings.priorityClass;
    return priority | (settings.interactive ? CREATE_NEW_CONSOLE : DETACHED_PROCESS);
}

/* The owned mutex that marks a running command, or NULL when it could not be
 * made or a command of this service runs already. */
static HANDLE ClaimShutdownMutex(void) {
    TextGuard name(FormatObjectName("SHUTDOWN_MUTEX"));
    HANDLE mutex = CreateMutexA(NULL, TRUE, name.Get());
    if (mutex == NULL) {
        LogSystemError("CreateMutex", 0);
        return NULL;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        LogSystemError("CreateMutex", ERROR_ALREADY_EXISTS);
        return NULL;
    }
    return mutex;
}

/* Waits for the command or for QUIT, whichever comes first; ends the
 * command on QUIT. */
static int AwaitCommand(HANDLE process, const char *commandLine) {
    HandleGuard quit(OpenNamedEvent("QUIT"));
    if (!quit) return 1;
    HANDLE waits[2] = {process, quit.Get()};
    DWORD outcome = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (outcome == WAIT_OBJECT_0 + 1) {
        LogLabelled(MSG_TERMINATING_SHUTDOWN_COMMAND, commandLine, LOG_WARNING);
        TerminateProcess(process, 1);
    } else if (outcome != WAIT_OBJECT_0) {
        LogSystemError("WaitForMultipleObjects", 0);
    }
    return 0;
}

static int LaunchShutdownCommand(char *commandLine, CommandPipes *pipes) {
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (!settings.interactive) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = pipes->outWrite.Get();
        startup.hStdOutput = pipes->outWrite.Get();
        startup.hStdError = pipes->errWrite.Get();
    }
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    /* The pipes' write ends are the only inheritable handles this program makes;
     * an interactive command gets none. */
    BOOL inherit = settings.interactive ? FALSE : TRUE;
    HideRuntimeDirectory();
    BOOL started = CreateProcessA(NULL, commandLine, NULL, NULL, inherit, CommandCreationFlags(), NULL, NULL,
                                  &startup, &process);
    DWORD error = GetLastError();
    ShowRuntimeDirectory();
    /* The readers see the end of their pipes once the command and everything
     * that inherited the write ends have gone. */
    pipes->outWrite.Reset();
    pipes->errWrite.Reset();
    if (!started) {
        LogSystemError("CreateProcess", error);
        return 1;
    }
    CloseHandle(process.hThread);
    HandleGuard processHandle(process.hProcess);
    return AwaitCommand(processHandle.Get(), commandLine);
}

/* A system shutdown can reach the process that hosts the virtual machine
 * twice: as the console's shutdown event and as the service's stop. The
 * shutdown runs once; a second caller waits until it has run (or the process
 * ends) and returns. 0: not run, 1: running, 2: run. */
static std::atomic<int> shutdownState{0};
enum { SHUTDOWN_WAIT_STEP_MS = 100 };

static int RunShutdownOnce(void);

int RunShutdownCommand(void) {
    int expected = 0;
    if (!shutdownState.compare_exchange_strong(expected, 1)) {
        LogMessage(MSG_SHUTDOWN_UNDER_WAY, LOG_INFO);
        while (shutdownState.load() != 2) Sleep(SHUTDOWN_WAIT_STEP_MS);
        return 0;
    }
    int result = RunShutdownOnce();
    shutdownState.store(2);
    return result;
}

static int RunShutdownOnce(void) {
    TextGuard command(ReadStringParameter(PARAMETER_SHUTDOWN_COMMAND));
    if (!command || command.Get()[0] == '\0') {
        LogMessage(MSG_SHUTDOWN_COMMAND_NOT_SPECIFIED, LOG_INFO);
        return JavaShutdown();
    }
    TextGuard commandLine(BuildShutdownCommandLine(command.Get()));
    size_t length = strlen(commandLine.Get());
    if (length > COMMAND_LINE_CAPACITY) {
        LogFormatted(LOG_ERROR, MSG_SHUTDOWN_COMMAND_LINE_TOO_LONG, length, (int)COMMAND_LINE_CAPACITY);
        return 1;
    }
    CommandPipes pipes;
    if (!settings.interactive && PrepareCommandPipes(&pipes) != 0) return 1;
    LogLabelled(MSG_LAUNCHING_SHUTDOWN_COMMAND, commandLine.Get(), LOG_INFO);
    HANDLE mutex = ClaimShutdownMutex();
    if (mutex == NULL) return 1;
    int result = LaunchShutdownCommand(commandLine.Get(), &pipes);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return result;
}
