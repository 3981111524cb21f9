/* Events: manual or automatic reset, unnamed or shared by name across the root. */
#include "errors.h"
#include "kernel_objects.h"

namespace {

struct EventObject : KernelObject {
    EventObject() : KernelObject(ObjectKind::Event) {}
    ~EventObject() override {
        if (named) CloseNamedState(named);
    }

    bool Waitable() const override { return true; }
    bool Signalled() override { return state->signalled != 0; }
    DWORD Consume() override {
        if (!state->manualReset) state->signalled = 0;
        return WAIT_OBJECT_0;
    }
    uint32_t *WaitWord() override { return &state->wake; }
    bool SharedState() const override { return named != nullptr; }

    ObjectState local = {};
    NamedState *named = nullptr;
    ObjectState *state = &local;
};

void SetSignalled(EventObject *event, bool signalled) {
    LockObject(event);
    event->state->signalled = signalled ? 1 : 0;
    UnlockObject(event);
    if (signalled) WakeObject(event);
}

/* Gives `event` a handle; the last error tells whether the name existed. */
HANDLE PublishEvent(EventObject *event, bool inheritable, bool existed) {
    HANDLE handle = InsertHandle(event, inheritable);
    if (!handle) {
        ReleaseObject(event);
        return FailWithHandle(ERROR_NO_SYSTEM_RESOURCES);
    }
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

} // namespace

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName) {
    EventObject *event = new EventObject();
    ObjectState initial = {};
    initial.type = kStateEvent;
    initial.manualReset = bManualReset ? 1 : 0;
    initial.signalled = bInitialState ? 1 : 0;
    bool existed = false;
    if (lpName && *lpName) {
        DWORD error = CreateNamedState(lpName, initial, &event->named, &existed);
        if (error) {
            ReleaseObject(event);
            return FailWithHandle(error);
        }
        event->state = StateOf(event->named);
    } else {
        event->local = initial;
    }
    return PublishEvent(event, lpEventAttributes && lpEventAttributes->bInheritHandle, existed);
}

HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
    (void)dwDesiredAccess;
    if (!lpName || !*lpName) return FailWithHandle(ERROR_INVALID_PARAMETER);
    EventObject *event = new EventObject();
    DWORD error = OpenNamedState(lpName, kStateEvent, &event->named);
    if (error) {
        ReleaseObject(event);
        return FailWithHandle(error);
    }
    event->state = StateOf(event->named);
    return PublishEvent(event, bInheritHandle != FALSE, false);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    EventObject *event = ReferenceAs<EventObject>(hEvent, ObjectKind::Event);
    if (!event) return FailWith(ERROR_INVALID_HANDLE);
    SetSignalled(event, true);
    ReleaseObject(event);
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    EventObject *event = ReferenceAs<EventObject>(hEvent, ObjectKind::Event);
    if (!event) return FailWith(ERROR_INVALID_HANDLE);
    SetSignalled(event, false);
    ReleaseObject(event);
    return TRUE;
}
