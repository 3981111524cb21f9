/* Carries what the application and the shutdown command write to their
 * standard output and error into the service log, line by line: standard
 * output at Info, standard error at Error. */
#include "runtime/runtime.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "common/guard.h"
#include "common/messages.h"
#include "common/settings.h"
#include "common/stringlist.h"
#include "log/events.h"
#include "log/log.h"

enum {
    /* Bytes asked of each read. */
    OUTPUT_READ_SIZE = 16 * 1024,
    /* What the pipe holds before a writer waits for the reader, as a pipe of
     * the system holds on Linux. */
    OUTPUT_PIPE_BUFFER = 64 * 1024,
    /* A line without its end is logged once the pipe has been quiet this long. */
    OUTPUT_QUIET_MS = 200,
    /* After QUIT, what is still in the pipe is read while it keeps coming
     * with pauses shorter than DRAIN_QUIET_MS, for at most DRAIN_LIMIT_MS:
     * the process that hosts the virtual machine holds the pipe to its end. */
    DRAIN_QUIET_MS = 100,
    DRAIN_LIMIT_MS = 2000,
};

enum PendingOperation { PENDING_NONE, PENDING_CONNECT, PENDING_READ };

void BeginOutputLines(OutputLines *lines, int level) {
    lines->level = level;
    lines->utf8 = GetACP() == CP_UTF8;
    lines->length = 0;
}

/* `length` less a UTF-8 sequence that the text's end cuts short. */
static size_t WholeCharacters(const char *text, size_t length) {
    size_t lead = length;
    while (lead > 0 && length - lead < 4 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) lead--;
    if (lead == 0) return length;
    unsigned char first = static_cast<unsigned char>(text[lead - 1]);
    size_t needed = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
    return length - (lead - 1) < needed ? lead - 1 : length;
}

/* Logs the first `count` bytes held and keeps the rest. */
static void LogHeldBytes(OutputLines *lines, size_t count) {
    if (count == 0) return;
    WriteServiceOutput(lines->text, count, lines->level);
    memmove(lines->text, lines->text + count, lines->length - count);
    lines->length -= count;
}

void TakeOutput(OutputLines *lines, const char *data, size_t count) {
    while (count > 0) {
        size_t piece = OUTPUT_LINE_CAPACITY - lines->length;
        if (piece > count) piece = count;
        size_t scanned = lines->length;
        memcpy(lines->text + lines->length, data, piece);
        lines->length += piece;
        data += piece;
        count -= piece;
        /* What was held before had no line end: only the new bytes are searched. */
        size_t whole = lines->length;
        while (whole > scanned && lines->text[whole - 1] != '\n') whole--;
        if (whole > scanned) {
            LogHeldBytes(lines, whole);
        } else if (lines->length == OUTPUT_LINE_CAPACITY) {
            LogHeldBytes(lines, lines->utf8 ? WholeCharacters(lines->text, lines->length) : lines->length);
        }
    }
}

void LogHeldLine(OutputLines *lines, bool whole) {
    size_t count = whole || !lines->utf8 ? lines->length : WholeCharacters(lines->text, lines->length);
    LogHeldBytes(lines, count);
}

/* One output pipe's reading: the line on its way and the buffer of a read. */
struct OutputReader {
    OutputLines lines;
    char chunk[OUTPUT_READ_SIZE];
};

static OutputReader *NewOutputReader(int level) {
    OutputReader *reader = static_cast<OutputReader *>(AllocateOrExit(sizeof(OutputReader)));
    BeginOutputLines(&reader->lines, level);
    return reader;
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

/* Until the client goes, QUIT comes and the pipe has been drained, or a wait
 * fails. Returns what is still under way. */
static PendingOperation ServeOutputPipe(HANDLE pipe, OVERLAPPED *overlapped, HANDLE quit, OutputReader *reader) {
    bool connectPending = false;
    ConnectOutputPipe(pipe, overlapped, &connectPending);
    PendingOperation pending = connectPending ? PENDING_CONNECT : PENDING_NONE;
    HANDLE waits[2] = {overlapped->hEvent, quit};
    bool draining = false;
    DWORD drainStart = 0;
    for (;;) {
        DWORD timeout = INFINITE;
        if (draining) timeout = DRAIN_QUIET_MS;
        else if (reader->lines.length > 0) timeout = OUTPUT_QUIET_MS;
        DWORD outcome = WaitForMultipleObjects(draining ? 1 : 2, waits, FALSE, timeout);
        if (outcome == WAIT_TIMEOUT && !draining) {
            LogHeldLine(&reader->lines, false);
            continue;
        }
        if (outcome == WAIT_OBJECT_0 + 1) {
            draining = true;
            drainStart = GetTickCount();
            continue;
        }
        if (outcome != WAIT_OBJECT_0 || (draining && GetTickCount() - drainStart >= DRAIN_LIMIT_MS)) return pending;
        DWORD count = 0;
        if (pending != PENDING_NONE) {
            BOOL done = GetOverlappedResult(pipe, overlapped, &count, FALSE);
            if (pending == PENDING_CONNECT && !done) {
                LogSystemError("ConnectNamedPipe", 0);
                return PENDING_NONE;
            }
            if (pending == PENDING_READ) {
                if (!done || count == 0) return PENDING_NONE;
                TakeOutput(&reader->lines, reader->chunk, count);
            }
            pending = PENDING_NONE;
        }
        count = 0;
        if (ReadFile(pipe, reader->chunk, OUTPUT_READ_SIZE, &count, overlapped)) {
            /* A read that completes at once with nothing means the client has gone. */
            if (count == 0) return PENDING_NONE;
            TakeOutput(&reader->lines, reader->chunk, count);
            SetEvent(overlapped->hEvent);
            continue;
        }
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            pending = PENDING_READ;
        } else if (error == ERROR_BROKEN_PIPE) {
            /* The client closed between two reads: as when it closes during one. */
            return PENDING_NONE;
        } else {
            /* Nothing is under way: idle until QUIT. */
            LogSystemError("ReadFile", error);
            ResetEvent(overlapped->hEvent);
            if (draining) return PENDING_NONE;
        }
    }
}

/* Ends what is under way; a read that completed meanwhile still counts. The
 * buffer and the structure stay until the system is done with them. */
static void CancelPendingOperation(HANDLE pipe, OVERLAPPED *overlapped, PendingOperation pending,
                                   OutputReader *reader) {
    if (pending == PENDING_NONE) return;
    CancelIo(pipe);
    DWORD count = 0;
    if (GetOverlappedResult(pipe, overlapped, &count, TRUE) && pending == PENDING_READ && count > 0)
        TakeOutput(&reader->lines, reader->chunk, count);
}

/* Both instances exist before the application starts, so that its first open
 * finds them; each server thread then owns and closes its own. */
static HANDLE outputPipes[2];

int CreateOutputPipes(void) {
    for (int kind = 0; kind < 2; kind++) {
        TextGuard name(FormatPipeName(kind));
        HANDLE pipe = CreateNamedPipeA(name.Get(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, 0, 1, 0,
                                       OUTPUT_PIPE_BUFFER, 30000, NULL);
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
    OutputReader *reader = NewOutputReader(kind == 0 ? LOG_INFO : LOG_ERROR);
    PendingOperation pending = ServeOutputPipe(pipe.Get(), &overlapped, quit.Get(), reader);
    CancelPendingOperation(pipe.Get(), &overlapped, pending, reader);
    LogHeldLine(&reader->lines, true);
    free(reader);
    DisconnectNamedPipe(pipe.Get());
    return 0;
}

int ReadPipeOutput(HANDLE pipe, OutputLines *lines, char *buffer, DWORD size) {
    DWORD count = 0;
    if (!ReadFile(pipe, buffer, size, &count, NULL)) return GetLastError() == ERROR_IO_PENDING ? 1 : 0;
    /* A blocking read that brings nothing is the end of the pipe. */
    if (count == 0) return 0;
    TakeOutput(lines, buffer, count);
    return 1;
}

static void DrainPipe(HANDLE pipe, int level, const char *finished) {
    OutputReader *reader = NewOutputReader(level);
    while (ReadPipeOutput(pipe, &reader->lines, reader->chunk, OUTPUT_READ_SIZE) != 0) {
    }
    LogHeldLine(&reader->lines, true);
    free(reader);
    CloseHandle(pipe);
    LogMessage(finished, LOG_INFO);
}

DWORD WINAPI StdOutPipeReader(LPVOID pipe) {
    DrainPipe((HANDLE)pipe, LOG_INFO, MSG_STDOUT_READER_FINISHED);
    return 0;
}

DWORD WINAPI StdErrPipeReader(LPVOID pipe) {
    DrainPipe((HANDLE)pipe, LOG_ERROR, MSG_STDERR_READER_FINISHED);
    return 0;
}

/* Kept so that the end of the service waits for the servers to log the
 * application's last output and to remove their pipes. */
static HANDLE outputServers[2];
static DWORD outputServerCount;

int StartOutputServers(void) {
    if (CreateOutputPipes() != 0) return 1;
    for (intptr_t kind = 0; kind < 2; kind++) {
        HANDLE thread = CreateThread(NULL, 0, OutputPipeServer, (LPVOID)kind, 0, NULL);
        if (thread == NULL) {
            LogSystemError("CreateThread", 0);
            CloseOutputPipes((int)kind);
            return 1;
        }
        outputServers[outputServerCount++] = thread;
    }
    return 0;
}

/* Bounded, so that a stuck server cannot hold up the stop. The servers drain
 * their pipes first (see OutputPipeServer). */
void AwaitOutputServers(void) {
    if (outputServerCount == 0) return;
    if (WaitForMultipleObjects(outputServerCount, outputServers, TRUE, 5000) == WAIT_FAILED) {
        LogSystemError("WaitForMultipleObjects", 0);
    }
    for (DWORD i = 0; i < outputServerCount; i++) CloseHandle(outputServers[i]);
    outputServerCount = 0;
}

void DrainApplicationOutput(void) {
    SignalNamedEvent("QUIT");
    if (outputServerCount > 0) WaitForMultipleObjects(outputServerCount, outputServers, TRUE, 5000);
}
