/* Carries what the application and the shutdown command write to their
 * standard output and error into the service log: one trimmed chunk of one
 * read is one message (standard output at Info, standard error at Error). */
#include "runtime/runtime.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "common/guard.h"
#include "common/settings.h"
#include "common/stringlist.h"
#include "log/events.h"
#include "log/log.h"

enum { CHUNK_SIZE = 1000 };

enum PendingOperation { PENDING_NONE, PENDING_CONNECT, PENDING_READ };

static bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char *TrimChunk(char *text) {
    size_t length = strlen(text);
    while (length > 0 && IsBlank(text[length - 1])) text[--length] = '\0';
    while (IsBlank(*text)) text++;
    return text;
}

/* A NUL byte in the output stands in the log as "^@", the form terminals
 * show it in, so that no byte after it is lost. `out` has room for
 * 2 * count + 1 bytes. */
static void ShowNulBytes(const char *chunk, DWORD count, char *out) {
    for (DWORD i = 0; i < count; i++) {
        if (chunk[i] != '\0') {
            *out++ = chunk[i];
        } else {
            *out++ = '^';
            *out++ = '@';
        }
    }
    *out = '\0';
}

/* `buffer` has room for count + 1 bytes; count is at most CHUNK_SIZE. */
void LogOutputChunk(char *buffer, DWORD count, int level) {
    char shown[2 * CHUNK_SIZE + 1];
    char *chunk = buffer;
    if (memchr(buffer, '\0', count) != nullptr && count <= CHUNK_SIZE) {
        ShowNulBytes(buffer, count, shown);
        chunk = shown;
    } else {
        buffer[count] = '\0';
    }
    const char *text = TrimChunk(chunk);
    if (*text != '\0' && settings.eventLogging == 1) WriteServiceLog(text, level);
}

/* Begins the server's wait for its one client. Returns false when the connect
 * failed (logged; the server then reads as if connected); *pending tells
 * whether the connect is still under way. */
static bool ConnectOutputPipe(HANDLE pipe, OVERLAPPED *overlapped, bool *pending) {
    *pending = false;
    if (!ConnectNamedPipe(pipe, overlapped)) {
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            *pending = true;
            return true;
        }
        if (error == ERROR_PIPE_CONNECTED) {
            SetEvent(overlapped->hEvent);
            return true;
        }
        LogSystemError("ConnectNamedPipe", error);
    } else {
        LogSystemError("ConnectNamedPipe", 0);
    }
    SetEvent(overlapped->hEvent);
    return false;
}

/* Serves one client until it goes or QUIT comes. */
static void ServeOutputPipe(HANDLE pipe, OVERLAPPED *overlapped, HANDLE quit, int level) {
    char buffer[CHUNK_SIZE + 1];
    bool connectPending = false;
    ConnectOutputPipe(pipe, overlapped, &connectPending);
    PendingOperation pending = connectPending ? PENDING_CONNECT : PENDING_NONE;
    HANDLE waits[2] = {overlapped->hEvent, quit};
    for (;;) {
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIo(pipe);
            return;
        }
        DWORD count = 0;
        if (pending != PENDING_NONE) {
            BOOL done = GetOverlappedResult(pipe, overlapped, &count, FALSE);
            if (pending == PENDING_CONNECT && !done) {
                LogSystemError("ConnectNamedPipe", 0);
                return;
            }
            if (pending == PENDING_READ) {
                if (!done || count == 0) return;
                LogOutputChunk(buffer, count, level);
            }
            pending = PENDING_NONE;
        }
        count = 0;
        if (ReadFile(pipe, buffer, CHUNK_SIZE, &count, overlapped)) {
            /* A read that completes at once with nothing means the client has gone. */
            if (count == 0) return;
            LogOutputChunk(buffer, count, level);
            SetEvent(overlapped->hEvent);
            continue;
        }
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            pending = PENDING_READ;
        } else if (error == ERROR_BROKEN_PIPE) {
            /* The client closed between two reads: as when it closes during one. */
            return;
        } else {
            /* Nothing is under way: idle until QUIT. */
            LogSystemError("ReadFile", error);
            ResetEvent(overlapped->hEvent);
        }
    }
}

/* Both instances exist before the application starts, so that its first open
 * finds them; each server thread then owns and closes its own. */
static HANDLE outputPipes[2];

int CreateOutputPipes(void) {
    for (int kind = 0; kind < 2; kind++) {
        TextGuard name(FormatPipeName(kind));
        HANDLE pipe = CreateNamedPipeA(name.Get(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, 0, 1, 0,
                                       CHUNK_SIZE, 30000, NULL);
        if (pipe == INVALID_HANDLE_VALUE) {
            LogSystemError("CreateNamedPipe", 0);
            CloseOutputPipes(0);
            return 1;
        }
        outputPipes[kind] = pipe;
    }
    return 0;
}

void CloseOutputPipes(int firstKind) {
    for (int kind = firstKind; kind < 2; kind++) {
        if (outputPipes[kind] != NULL) CloseHandle(outputPipes[kind]);
        outputPipes[kind] = NULL;
    }
}

DWORD WINAPI OutputPipeServer(LPVOID kindParameter) {
    int kind = (int)(intptr_t)kindParameter;
    int level = kind == 0 ? LOG_INFO : LOG_ERROR;
    HandleGuard pipe(outputPipes[kind]);
    outputPipes[kind] = NULL;
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    HandleGuard event(CreateEventA(NULL, TRUE, TRUE, NULL));
    if (!event) {
        LogSystemError("CreateEvent", 0);
        return 1;
    }
    overlapped.hEvent = event.Get();
    HandleGuard quit(OpenNamedEvent("QUIT"));
    if (!quit) return 1;
    ServeOutputPipe(pipe.Get(), &overlapped, quit.Get(), level);
    DisconnectNamedPipe(pipe.Get());
    return 0;
}

int ReadPipeChunk(HANDLE pipe, int level) {
    char buffer[CHUNK_SIZE + 1];
    DWORD count = 0;
    if (!ReadFile(pipe, buffer, CHUNK_SIZE, &count, NULL)) return GetLastError() == ERROR_IO_PENDING ? 1 : 0;
    /* A blocking read that brings nothing is the end of the pipe. */
    if (count == 0) return 0;
    LogOutputChunk(buffer, count, level);
    return 1;
}

static void DrainPipe(HANDLE pipe, int level, const char *finished) {
    while (ReadPipeChunk(pipe, level) != 0) {
    }
    CloseHandle(pipe);
    LogMessage(finished, LOG_INFO);
}

DWORD WINAPI StdOutPipeReader(LPVOID pipe) {
    DrainPipe((HANDLE)pipe, LOG_INFO, "StdOutPipeReader finished");
    return 0;
}

DWORD WINAPI StdErrPipeReader(LPVOID pipe) {
    DrainPipe((HANDLE)pipe, LOG_ERROR, "StdErrPipeReader finished");
    return 0;
}
