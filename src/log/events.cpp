#include "log/events.h"

#include <string.h>

#include "common/guard.h"
#include "common/settings.h"
#include "common/stringlist.h"
#include "log/log.h"

char *FormatObjectName(const char *suffix) { return FormatText("PELORIM_%s_%s", settings.serviceName, suffix); }

char *FormatPipeName(int kind) {
    const char *stream = kind == 0 ? "OUT" : "ERR";
    return FormatText("\\\\.\\PIPE\\PELORIM_%s_STD%s", settings.serviceName, stream);
}

static char *FormatEventName(const char *kind) {
    return FormatText("PELORIM_%s_%s_EVENT", settings.serviceName, kind);
}

HANDLE CreateNamedEvent(const char *kind) {
    TextGuard name(FormatEventName(kind));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.Get());
    DWORD error = GetLastError();
    if (event == nullptr) LogSystemError("CreateEvent", error);
    /* The caller may ask whether the event existed already. */
    SetLastError(error);
    return event;
}

/* Not inheritable: every process of the service opens the events by name, and a
 * handle that a started process (one a shutdown command leaves running) took
 * along would keep the event in being, and refuse every later start. */
HANDLE OpenNamedEvent(const char *kind) {
    TextGuard name(FormatEventName(kind));
    HANDLE event = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.Get());
    if (event == nullptr) LogSystemError("OpenEvent", GetLastError());
    return event;
}

int SignalNamedEvent(const char *kind) {
    HandleGuard event(OpenNamedEvent(kind));
    if (!event) return 1;
    if (!SetEvent(event.Get())) {
        LogSystemError("SetEvent", GetLastError());
        return 1;
    }
    return 0;
}
