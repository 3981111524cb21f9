/*
 * Mutexes: owned by a thread, recursively. A mutex whose owner ended without
 * releasing it is abandoned: the next wait takes it with WAIT_ABANDONED. The
 * end of an owning thread of this process is seen at once (a thread-exit
 * destructor marks what it still owns); the death of an owning process is
 * found by waiters, who look at the owner every kOwnerPollMilliseconds.
 */
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

#include "errors.h"
#include "kernel_objects.h"

namespace {

struct MutexObject : KernelObject {
    MutexObject() : KernelObject(ObjectKind::Mutex) {}
    ~MutexObject() override {
        if (named) CloseNamedState(named);
    }

    bool Waitable() const override { return true; }
    bool Signalled() override;
    DWORD Consume() override;
    uint32_t *WaitWord() override { return &state->wake; }
    bool SharedState() const override { return named != nullptr; }

    ObjectState local = {};
    NamedState *named = nullptr;
    ObjectState *state = &local;
};

/* The mutexes the calling thread owns, each with a reference: a thread-exit
 * destructor abandons those still owned when the thread ends. */
typedef std::vector<MutexObject *> OwnedList;
pthread_key_t ownedKey;
pthread_once_t ownedKeyOnce = PTHREAD_ONCE_INIT;

uint64_t OwnStartTime() {
    static uint64_t start = ProcessStartTime(getpid());
    return start;
}

bool OwnedByCaller(const ObjectState *state) {
    return state->ownerTid == CurrentThreadId() && state->ownerPid == getpid();
}

void AbandonOwned(void *value) {
    OwnedList *owned = (OwnedList *)value;
    for (MutexObject *mutex : *owned) {
        LockObject(mutex);
        bool abandoned = OwnedByCaller(mutex->state);
        if (abandoned) {
            mutex->state->ownerPid = 0;
            mutex->state->ownerTid = 0;
            mutex->state->recursion = 0;
            mutex->state->abandoned = 1;
        }
        UnlockObject(mutex);
        if (abandoned) WakeObject(mutex);
        ReleaseObject(mutex);
    }
    delete owned;
}

void CreateOwnedKey() { pthread_key_create(&ownedKey, AbandonOwned); }

OwnedList *Owned() {
    pthread_once(&ownedKeyOnce, CreateOwnedKey);
    OwnedList *owned = (OwnedList *)pthread_getspecific(ownedKey);
    if (!owned) {
        owned = new OwnedList();
        pthread_setspecific(ownedKey, owned);
    }
    return owned;
}

void RememberOwned(MutexObject *mutex) {
    mutex->references.fetch_add(1);
    Owned()->push_back(mutex);
}

/* Handles of one process to one name share their record, so the record tells
 * which entry belongs to it whatever handle was used. */
void ForgetOwned(ObjectState *state) {
    OwnedList *owned = Owned();
    for (size_t i = 0; i < owned->size(); i++) {
        MutexObject *mutex = (*owned)[i];
        if (mutex->state != state) continue;
        owned->erase(owned->begin() + i);
        ReleaseObject(mutex);
        return;
    }
}

void TakeOwnership(ObjectState *state) {
    state->ownerPid = getpid();
    state->ownerTid = CurrentThreadId();
    state->ownerStart = OwnStartTime();
    state->recursion = 1;
    state->abandoned = 0;
}

bool MutexObject::Signalled() {
    if (state->ownerTid == 0 || OwnedByCaller(state)) return true;
    return MutexOwnerGone(state);
}

DWORD MutexObject::Consume() {
    if (OwnedByCaller(state)) {
        state->recursion++;
        return WAIT_OBJECT_0;
    }
    bool abandoned = state->abandoned || (state->ownerTid != 0 && MutexOwnerGone(state));
    TakeOwnership(state);
    RememberOwned(this);
    return abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
}

HANDLE PublishMutex(MutexObject *mutex, bool inheritable, bool existed) {
    HANDLE handle = InsertHandle(mutex, inheritable);
    if (!handle) {
        ReleaseObject(mutex);
        return FailWithHandle(ERROR_NO_SYSTEM_RESOURCES);
    }
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

} // namespace

uint64_t ProcessStartTime(pid_t pid) {
    char path[64], text[1024];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    FILE *file = fopen(path, "re");
    if (!file) return 0;
    size_t length = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[length] = '\0';
    /* The command name may hold anything; the fields follow its last ')'. */
    const char *fields = strrchr(text, ')');
    char state = 0;
    unsigned long long start = 0;
    if (!fields || sscanf(fields + 1,
                          " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d "
                          "%*d %*d %llu",
                          &state, &start) != 2)
        return 0;
    if (state == 'Z' || state == 'X') return 0;
    return start;
}

bool MutexOwnerGone(const ObjectState *state) {
    if (state->ownerPid == getpid())
        return syscall(SYS_tgkill, state->ownerPid, state->ownerTid, 0) != 0 && errno == ESRCH;
    return ProcessStartTime(state->ownerPid) != state->ownerStart;
}

bool NeedsOwnerPolling(KernelObject *object) {
    if (object->kind != ObjectKind::Mutex) return false;
    const ObjectState *state = static_cast<MutexObject *>(object)->state;
    return state->ownerTid != 0 && !OwnedByCaller(state);
}

/* With an existing name bInitialOwner is ignored, as Win32 does. */
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCSTR lpName) {
    MutexObject *mutex = new MutexObject();
    ObjectState initial = {};
    initial.type = kStateMutex;
    if (bInitialOwner) TakeOwnership(&initial);
    bool existed = false;
    if (lpName && *lpName) {
        DWORD error = CreateNamedState(lpName, initial, &mutex->named, &existed);
        if (error) {
            ReleaseObject(mutex);
            return FailWithHandle(error);
        }
        mutex->state = StateOf(mutex->named);
    } else {
        mutex->local = initial;
    }
    if (bInitialOwner && !existed) RememberOwned(mutex);
    return PublishMutex(mutex, lpMutexAttributes && lpMutexAttributes->bInheritHandle, existed);
}

HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
    (void)dwDesiredAccess;
    if (!lpName || !*lpName) return FailWithHandle(ERROR_INVALID_PARAMETER);
    MutexObject *mutex = new MutexObject();
    DWORD error = OpenNamedState(lpName, kStateMutex, &mutex->named);
    if (error) {
        ReleaseObject(mutex);
        return FailWithHandle(error);
    }
    mutex->state = StateOf(mutex->named);
    return PublishMutex(mutex, bInheritHandle != FALSE, false);
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    MutexObject *mutex = ReferenceAs<MutexObject>(hMutex, ObjectKind::Mutex);
    if (!mutex) return FailWith(ERROR_INVALID_HANDLE);
    LockObject(mutex);
    bool owned = OwnedByCaller(mutex->state);
    bool freed = owned && --mutex->state->recursion == 0;
    if (freed) {
        mutex->state->ownerPid = 0;
        mutex->state->ownerTid = 0;
    }
    UnlockObject(mutex);
    if (freed) {
        ForgetOwned(mutex->state);
        WakeObject(mutex);
    }
    ReleaseObject(mutex);
    if (!owned) return FailWith(ERROR_NOT_OWNER);
    return TRUE;
}
