/*
 * Waiting. All processes of a root share one small page (<root>/sync.shm):
 * a wake counter that is a futex word, the wait lock and the names lock, both
 * robust process-shared mutexes (a holder that dies releases them).
 *
 * A waiter reads the counter, checks its objects under the wait lock, and when
 * none is signalled sleeps on the counter until it changes (or the time runs
 * out). WakeWaiters bumps the counter and wakes every sleeper of the root, who
 * then look again. A change made between the read and the sleep has changed
 * the counter, so the sleep returns at once and no wake-up is lost.
 */
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "errors.h"
#include "kernel_objects.h"
#include "root.h"

namespace {

const uint32_t kPageMagic = 0x50534e31; /* layout version 1 */
const size_t kPageSize = 4096;

struct SyncPage {
    uint32_t magic;
    uint32_t wake; /* futex word; only changed with atomics */
    pthread_mutex_t waits;
    pthread_mutex_t names;
};
static_assert(sizeof(SyncPage) <= kPageSize, "sync page too large");

SyncPage *page;
pthread_once_t pageOnce = PTHREAD_ONCE_INIT;

void InitSharedMutex(pthread_mutex_t *mutex, bool recursive) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    if (recursive) pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void InitPage(SyncPage *fresh) {
    memset(fresh, 0, sizeof *fresh);
    InitSharedMutex(&fresh->waits, true);
    InitSharedMutex(&fresh->names, false);
    __atomic_store_n(&fresh->magic, kPageMagic, __ATOMIC_RELEASE);
}

/* The root's page; the first process to map it sets it up under an flock. */
SyncPage *MapRootPage() {
    char path[PATH_MAX];
    if (MachinePath(path, sizeof path, "sync.shm")) return nullptr;
    int fd = RetryOnInterrupt([&] { return open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600); });
    if (fd < 0) return nullptr;
    SyncPage *mapped = nullptr;
    struct stat status;
    if (RetryOnInterrupt([&] { return flock(fd, LOCK_EX); }) != 0) goto done;
    if (fstat(fd, &status) != 0) goto done;
    if ((size_t)status.st_size < kPageSize && ftruncate(fd, kPageSize) != 0) goto done;
    {
        void *memory = mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (memory == MAP_FAILED) goto done;
        mapped = (SyncPage *)memory;
    }
    if (__atomic_load_n(&mapped->magic, __ATOMIC_ACQUIRE) != kPageMagic) InitPage(mapped);
done:
    /* Explicitly: the mapping keeps the open file, and with it an flock, alive. */
    flock(fd, LOCK_UN);
    close(fd);
    return mapped;
}

/* Without a usable root, waits still work inside the process. */
void MapPage() {
    page = MapRootPage();
    if (page) return;
    void *memory = mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) abort();
    page = (SyncPage *)memory;
    InitPage(page);
}

SyncPage *Page() {
    pthread_once(&pageOnce, MapPage);
    return page;
}

void LockRobust(pthread_mutex_t *mutex) {
    /* The previous holder died inside its short critical section; the records
     * it guarded are plain words, so carry on with them. */
    if (pthread_mutex_lock(mutex) == EOWNERDEAD) pthread_mutex_consistent(mutex);
}

struct timespec MonotonicNow() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

struct timespec AddMilliseconds(struct timespec at, DWORD milliseconds) {
    at.tv_sec += milliseconds / 1000;
    at.tv_nsec += (long)(milliseconds % 1000) * 1000000L;
    if (at.tv_nsec >= 1000000000L) {
        at.tv_sec++;
        at.tv_nsec -= 1000000000L;
    }
    return at;
}

bool Before(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

/* Sleeps until the wake counter moves away from `seen` or `until` passes.
 * Every return (wake-up, time-out, signal, changed counter) sends the caller
 * back to look at its objects, so EINTR needs no handling of its own. */
void SleepOnCounter(uint32_t seen, const struct timespec &until) {
    syscall(SYS_futex, &Page()->wake, FUTEX_WAIT_BITSET, seen, &until, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}

/* Call under the wait lock. WAIT_TIMEOUT when nothing can be taken yet. */
DWORD TryAny(DWORD count, KernelObject **objects) {
    for (DWORD i = 0; i < count; i++)
        if (objects[i]->Signalled()) return objects[i]->Consume() + i;
    return WAIT_TIMEOUT;
}

DWORD TryAll(DWORD count, KernelObject **objects) {
    for (DWORD i = 0; i < count; i++)
        if (!objects[i]->Signalled()) return WAIT_TIMEOUT;
    DWORD result = WAIT_OBJECT_0;
    for (DWORD i = 0; i < count; i++) {
        DWORD taken = objects[i]->Consume();
        if (taken == WAIT_ABANDONED_0 && result == WAIT_OBJECT_0) result = WAIT_ABANDONED_0 + i;
    }
    return result;
}

bool AnyNeedsPolling(DWORD count, KernelObject **objects) {
    for (DWORD i = 0; i < count; i++)
        if (NeedsOwnerPolling(objects[i])) return true;
    return false;
}

/* The wait itself: WAIT_OBJECT_0 + i, WAIT_ABANDONED_0 + i or WAIT_TIMEOUT. */
DWORD WaitForObjects(DWORD count, KernelObject **objects, bool all, DWORD milliseconds) {
    bool forever = milliseconds == INFINITE;
    struct timespec deadline = AddMilliseconds(MonotonicNow(), forever ? 0 : milliseconds);
    for (;;) {
        uint32_t seen = __atomic_load_n(&Page()->wake, __ATOMIC_SEQ_CST);
        LockWaits();
        DWORD result = all ? TryAll(count, objects) : TryAny(count, objects);
        bool poll = result == WAIT_TIMEOUT && AnyNeedsPolling(count, objects);
        UnlockWaits();
        if (result != WAIT_TIMEOUT) return result;
        struct timespec now = MonotonicNow();
        if (!forever && !Before(now, deadline)) return WAIT_TIMEOUT;
        struct timespec until = forever ? AddMilliseconds(now, 3600 * 1000) : deadline;
        struct timespec pollAt = AddMilliseconds(now, kOwnerPollMilliseconds);
        if (poll && Before(pollAt, until)) until = pollAt;
        SleepOnCounter(seen, until);
    }
}

void ReleaseAll(DWORD count, KernelObject **objects) {
    for (DWORD i = 0; i < count; i++) ReleaseObject(objects[i]);
}

/* References every handle's object: 0, or ERROR_INVALID_HANDLE with nothing held. */
DWORD ReferenceWaitables(DWORD count, const HANDLE *handles, KernelObject **objects) {
    for (DWORD i = 0; i < count; i++) {
        objects[i] = ReferenceHandle(handles[i], ObjectKind::Any);
        if (objects[i] && objects[i]->Waitable()) continue;
        if (objects[i]) ReleaseObject(objects[i]);
        ReleaseAll(i, objects);
        return ERROR_INVALID_HANDLE;
    }
    return 0;
}

} // namespace

void LockWaits(void) { LockRobust(&Page()->waits); }

void UnlockWaits(void) { pthread_mutex_unlock(&Page()->waits); }

void LockNames(void) { LockRobust(&Page()->names); }

void UnlockNames(void) { pthread_mutex_unlock(&Page()->names); }

void WakeWaiters(void) {
    SyncPage *shared = Page();
    __atomic_add_fetch(&shared->wake, 1, __ATOMIC_SEQ_CST);
    syscall(SYS_futex, &shared->wake, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    KernelObject *objects[MAXIMUM_WAIT_OBJECTS];
    DWORD error = ReferenceWaitables(nCount, lpHandles, objects);
    if (error) {
        SetLastError(error);
        return WAIT_FAILED;
    }
    DWORD result = WaitForObjects(nCount, objects, bWaitAll != FALSE, dwMilliseconds);
    ReleaseAll(nCount, objects);
    return result;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}
