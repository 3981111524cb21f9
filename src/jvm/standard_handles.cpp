/* The one way the hosting process's output reaches the log. Its standard
 * output and error are the service's two pipes from before the Java runtime
 * library loads, so that what the virtual machine writes itself (its warnings
 * and errors, -Xlog and -verbose output to the console, thread dumps, a crash
 * banner), what System.out and System.err print, and in a detached child the
 * child's own records all arrive there, each stream in the order written, and
 * leave the virtual machine's own files (-Xlog:...:file=) alone. */
#include "jvm/jvm.h"

#include "common/guard.h"
#include "common/messages.h"
#include "host.h"
#include "log/events.h"
#include "log/log.h"

/* The client end of pipe `kind` (0 output, 1 error), or NULL after logging. */
static HANDLE OpenPipeForWriting(int kind) {
    TextGuard name(FormatPipeName(kind));
    HANDLE pipe = CreateFileA(name.Get(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    TextGuard failure(FormatSystemError("CreateFile", 0));
    LogFormatted(LOG_ERROR, "%s %s", failure.Get(), name.Get());
    return nullptr;
}

/* The pipes stay open for the life of the process: they are its standard
 * handles, and on Windows closing one would close the standard handle. Once
 * one is set, a failure leaves it so; the process then ends. */
int PointStandardHandlesAtPipes(void) {
    HandleGuard out(OpenPipeForWriting(0));
    if (!out) return 1;
    HandleGuard err(OpenPipeForWriting(1));
    if (!err) return 1;
    if (!SetStdHandle(STD_OUTPUT_HANDLE, out.Get()) || !SetStdHandle(STD_ERROR_HANDLE, err.Get())) {
        LogSystemError("SetStdHandle", 0);
        out.Release();
        err.Release();
        return 1;
    }
    if (HostPointRuntimeStreams(out.Get(), err.Get()) != 0)
        LogMessage(MSG_C_STREAMS_NOT_MOVED, LOG_WARNING);
    if (!settings.serviceMode) LogThroughStandardStreams(out.Get(), err.Get());
    out.Release();
    err.Release();
    return 0;
}
