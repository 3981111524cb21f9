/*
 * Waiting. Every waitable object has a wait word, a futex word that is bumped
 * after each change of the object's state: in the object itself for a private
 * object (a thread, a process, an unnamed event or mutex), in the object's
 * shared record for a named one. A waiter reads the words of its objects,
 * checks the objects under their locks, and when none can be taken sleeps on
 * those words alone (FUTEX_WAIT for one object, futex_waitv for several) until
 * one of them changes or the time runs out. A change made between the read and
 * the sleep has moved a word, so the sleep returns at once and no wake-up is
 * lost; a change to any other object wakes nobody here.
 *
 * The word's top bit says that someone may sleep on it: a waiter sets it (only
 * while the word still holds the value it saw) before it sleeps, and a
 * signaller clears it as it bumps the count, and enters the kernel to wake a
 * private word's sleepers only when it was set. A busy reader that signals its
 * own event every read therefore makes no futex call at all. A named object's
 * word is always woken: it may have sleepers in processes of an older build
 * that do not mark it, and named objects are signalled rarely.
 *
 * Kernels before 5.16 lack futex_waitv (so does a process whose seccomp filter
 * refuses it). A wait on several objects there sleeps on one word that every
 * signaller of its objects bumps as well: this process's `localChanges` when
 * all its objects are private, the root-wide `namedChanges` in sync.shm when
 * one is named. Every signaller of a named object bumps namedChanges, whatever
 * its kernel, so that a waiter in any process of the root hears it; a private
 * object's signaller bumps localChanges on such a kernel, and namedChanges too
 * while a wait of this process on private and named objects together sleeps.
 * Both words carry the sleepers bit like the objects' own. Such a waiter also
 * wakes for signals of objects it does not wait on (of its process, or named
 * ones of its root), looks, and sleeps again; it never wakes without a signal.
 *
 * The state of private objects is guarded by a lock of this process and never
 * touches shared memory (but see the mixed waits above). Named objects are guarded by the root-wide wait lock
 * in <root>/sync.shm, a robust process-shared mutex (a holder that dies
 * releases it), which also holds the names lock. A wait on several objects
 * takes the root-wide lock first (only when one of them is named), then the
 * process's own; a signaller takes only the lock of its object.
 */
#include <fcntl.h>
#include <errno.h>
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

#include "descriptor.h"
#include "errors.h"
#include "kernel_objects.h"
#include "root.h"

/* Same number on every architecture; C libraries older than the call lack the name. */
#ifndef SYS_futex_waitv
#define SYS_futex_waitv 449
#endif

namespace {

const uint32_t kPageMagic = 0x50534e32; /* layout version 2 */
const size_t kPageSize = 4096;

struct SyncPage {
    uint32_t magic;
    uint32_t namedChanges; /* zero, and unused, in older builds */
    pthread_mutex_t waits;
    pthread_mutex_t names;
};
static_assert(sizeof(SyncPage) <= kPageSize, "sync page too large");

SyncPage *page;
/* Why the root's page could not be had (0 when it is mapped); named objects
 * then fail with it. */
DWORD pageError;
pthread_once_t pageOnce = PTHREAD_ONCE_INIT;

/* A multi-object wait looks again after this long when futex_waitv fails
 * although the kernel has it (it never should). */
const long kRetryLookMilliseconds = 10;

/* The wake word of private objects for waits on several of them without futex_waitv. */
uint32_t localChanges;
/* Waits of this process without futex_waitv that sleep on namedChanges for
 * private objects too. */
int mixedSleepers;

/* Guards the state of this process's private objects. */
pthread_mutex_t localWaits = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

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

/* The page's blocks, allocated before its first write through the mapping,
 * which on a full file system would raise SIGBUS. */
int AllocatePage(int fd) {
    return RetryOnInterrupt([&] {
        int result = posix_fallocate(fd, 0, kPageSize);
        errno = result;
        return result == 0 ? 0 : -1;
    });
}

/* Maps the page of `fd`, whose flock the caller holds, and sets it up when
 * nobody has yet; NULL with errno when it cannot be had. */
SyncPage *MapLockedPage(int fd) {
    /* Also a page that an older build made with a hole. */
    if (AllocatePage(fd) != 0) return nullptr;
    void *memory = mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) return nullptr;
    SyncPage *mapped = (SyncPage *)memory;
    if (__atomic_load_n(&mapped->magic, __ATOMIC_ACQUIRE) != kPageMagic) InitPage(mapped);
    return mapped;
}

/* The root's page; the first process to map it sets it up under an flock.
 * NULL with *error when it cannot be had. */
SyncPage *MapRootPage(DWORD *error) {
    DescriptorGuard fd;
    *error = OpenRootFile("sync.shm", O_RDWR | O_CREAT, 0600, fd.Out());
    if (*error) return nullptr;
    SyncPage *mapped = nullptr;
    if (RetryOnInterrupt([&] { return flock(fd.Get(), LOCK_EX); }) == 0) mapped = MapLockedPage(fd.Get());
    if (!mapped) *error = LastErrnoAsWin32();
    /* Explicitly: the mapping keeps the open file, and with it an flock, alive. */
    flock(fd.Get(), LOCK_UN);
    return mapped;
}

/* Without the root's page, waits still work inside the process; named
 * objects fail (RootPageError), rather than live on a page no other process
 * sees. */
void MapPage() {
    page = MapRootPage(&pageError);
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

int FutexFlags(bool shared) { return shared ? 0 : FUTEX_PRIVATE_FLAG; }

const uint32_t kSleepersBit = 0x80000000u;

/* Marks each word as slept on while it still holds its `seen` value, and turns
 * `seen` into the marked value to sleep on. False when a word has moved: the
 * caller looks at its objects again instead of sleeping. */
bool MarkSleepers(DWORD count, KernelObject **objects, uint32_t *seen) {
    for (DWORD i = 0; i < count; i++) {
        uint32_t expected = seen[i];
        uint32_t marked = seen[i] | kSleepersBit;
        if (!__atomic_compare_exchange_n(objects[i]->WaitWord(), &expected, marked, false, __ATOMIC_SEQ_CST,
                                         __ATOMIC_SEQ_CST))
            return false;
        seen[i] = marked;
    }
    return true;
}

/* Whether this process waits without futex_waitv; asked of the kernel once. */
bool WaitvMissing() {
    static int known; /* 0 not yet asked, 1 there, 2 missing */
    int state = __atomic_load_n(&known, __ATOMIC_RELAXED);
    if (state != 0) return state == 2;
    int saved = errno;
    /* No futexes at all: EINVAL from a kernel that has the call. */
    bool there = syscall(SYS_futex_waitv, nullptr, 0, 0, nullptr, CLOCK_MONOTONIC) < 0 && errno == EINVAL;
    errno = saved;
    __atomic_store_n(&known, there ? 1 : 2, __ATOMIC_RELAXED);
    return !there;
}

/* The one word a wait on several objects sleeps on without futex_waitv. */
struct WakeWordRef {
    uint32_t *word;
    bool shared;
};

WakeWordRef ChangesWord(bool shared) {
    return shared ? WakeWordRef{&Page()->namedChanges, true} : WakeWordRef{&localChanges, false};
}

void SleepOnWord(uint32_t *word, bool shared, uint32_t seen, const struct timespec &until) {
    syscall(SYS_futex, word, FUTEX_WAIT_BITSET | FutexFlags(shared), seen, &until, nullptr, FUTEX_BITSET_MATCH_ANY);
}

/* Marks the changes word as slept on, then sleeps on it until it moves away
 * from `seen` (read before the objects were looked at) or `until` passes. */
void SleepOnChanges(const WakeWordRef &changes, uint32_t seen, const struct timespec &until) {
    uint32_t marked = seen | kSleepersBit;
    if (!__atomic_compare_exchange_n(changes.word, &seen, marked, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
        return;
    SleepOnWord(changes.word, changes.shared, marked, until);
}

/* Sleeps until a word of the objects moves away from its `seen` value or
 * `until` passes. Every return (wake-up, time-out, signal, changed word) sends
 * the caller back to look at its objects, so EINTR needs no handling of its own. */
void SleepOnWords(DWORD count, KernelObject **objects, uint32_t *seen, const struct timespec &until) {
    if (!MarkSleepers(count, objects, seen)) return;
    if (count == 1) {
        SleepOnWord(objects[0]->WaitWord(), objects[0]->SharedState(), seen[0], until);
        return;
    }
    struct futex_waitv waiters[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; i++) {
        waiters[i].val = seen[i];
        waiters[i].uaddr = (uint64_t)(uintptr_t)objects[i]->WaitWord();
        waiters[i].flags = FUTEX_32 | FutexFlags(objects[i]->SharedState());
        waiters[i].__reserved = 0;
    }
    struct timespec timeout = until;
    if (syscall(SYS_futex_waitv, waiters, count, 0, &timeout, CLOCK_MONOTONIC) >= 0 || errno == EAGAIN ||
        errno == ETIMEDOUT || errno == EINTR)
        return;
    struct timespec soon = AddMilliseconds(MonotonicNow(), kRetryLookMilliseconds);
    if (Before(soon, until)) timeout = soon;
    SleepOnWord(objects[0]->WaitWord(), objects[0]->SharedState(), seen[0], timeout);
}

bool AnyShared(DWORD count, KernelObject **objects) {
    for (DWORD i = 0; i < count; i++)
        if (objects[i]->SharedState()) return true;
    return false;
}

bool AllShared(DWORD count, KernelObject **objects) {
    for (DWORD i = 0; i < count; i++)
        if (!objects[i]->SharedState()) return false;
    return true;
}

/* Counts a wait on private and named objects together among mixedSleepers for
 * its whole length, so that the private ones' signallers bump namedChanges. */
struct MixedSleeper {
    bool counted;
    MixedSleeper(bool mixed) : counted(mixed) {
        if (counted) __atomic_add_fetch(&mixedSleepers, 1, __ATOMIC_SEQ_CST);
    }
    ~MixedSleeper() {
        if (counted) __atomic_sub_fetch(&mixedSleepers, 1, __ATOMIC_SEQ_CST);
    }
};

void LockAll(bool shared) {
    if (shared) LockWaits();
    pthread_mutex_lock(&localWaits);
}

void UnlockAll(bool shared) {
    pthread_mutex_unlock(&localWaits);
    if (shared) UnlockWaits();
}

/* Call under LockAll. WAIT_TIMEOUT when nothing can be taken yet. */
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
    bool shared = AnyShared(count, objects);
    bool onChanges = count > 1 && WaitvMissing();
    WakeWordRef changes = onChanges ? ChangesWord(shared) : WakeWordRef{nullptr, false};
    MixedSleeper mixed(onChanges && shared && !AllShared(count, objects));
    struct timespec deadline = AddMilliseconds(MonotonicNow(), forever ? 0 : milliseconds);
    uint32_t seen[MAXIMUM_WAIT_OBJECTS];
    uint32_t seenChanges = 0;
    for (;;) {
        if (onChanges) seenChanges = __atomic_load_n(changes.word, __ATOMIC_SEQ_CST);
        for (DWORD i = 0; i < count; i++) seen[i] = __atomic_load_n(objects[i]->WaitWord(), __ATOMIC_SEQ_CST);
        LockAll(shared);
        DWORD result = all ? TryAll(count, objects) : TryAny(count, objects);
        bool poll = result == WAIT_TIMEOUT && AnyNeedsPolling(count, objects);
        UnlockAll(shared);
        if (result != WAIT_TIMEOUT) return result;
        struct timespec now = MonotonicNow();
        if (!forever && !Before(now, deadline)) return WAIT_TIMEOUT;
        struct timespec until = forever ? AddMilliseconds(now, 3600 * 1000) : deadline;
        struct timespec pollAt = AddMilliseconds(now, kOwnerPollMilliseconds);
        if (poll && Before(pollAt, until)) until = pollAt;
        if (onChanges) SleepOnChanges(changes, seenChanges, until);
        else SleepOnWords(count, objects, seen, until);
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

DWORD RootPageError(void) {
    Page();
    return pageError;
}

void LockWaits(void) { LockRobust(&Page()->waits); }

void UnlockWaits(void) { pthread_mutex_unlock(&Page()->waits); }

void LockNames(void) { LockRobust(&Page()->names); }

void UnlockNames(void) { pthread_mutex_unlock(&Page()->names); }

void LockLocalWaits(void) { pthread_mutex_lock(&localWaits); }

void UnlockLocalWaits(void) { pthread_mutex_unlock(&localWaits); }

void LockObject(KernelObject *object) {
    if (object->SharedState()) LockWaits();
    else LockLocalWaits();
}

void UnlockObject(KernelObject *object) {
    if (object->SharedState()) UnlockWaits();
    else UnlockLocalWaits();
}

namespace {

/* Moves the word on and clears its sleepers bit: whether the bit was set. */
bool BumpWord(uint32_t *word) {
    uint32_t old = __atomic_load_n(word, __ATOMIC_RELAXED);
    while (!__atomic_compare_exchange_n(word, &old, (old + 1) & ~kSleepersBit, true, __ATOMIC_SEQ_CST,
                                        __ATOMIC_RELAXED)) {
    }
    return (old & kSleepersBit) != 0;
}

void WakeSleepers(uint32_t *word, bool shared) {
    syscall(SYS_futex, word, FUTEX_WAKE | FutexFlags(shared), INT_MAX, nullptr, nullptr, 0);
}

/* The changes words that waits without futex_waitv sleep on (see the top). */
void BumpChanges(bool shared) {
    if (!shared && !WaitvMissing()) return;
    if (!shared && BumpWord(&localChanges)) WakeSleepers(&localChanges, false);
    if (shared || __atomic_load_n(&mixedSleepers, __ATOMIC_SEQ_CST) > 0) {
        uint32_t *named = &Page()->namedChanges;
        if (BumpWord(named)) WakeSleepers(named, true);
    }
}

} // namespace

void WakeWord(uint32_t *word, bool shared) {
    if (BumpWord(word) || shared) WakeSleepers(word, shared);
    BumpChanges(shared);
}

void WakeObject(KernelObject *object) { WakeWord(object->WaitWord(), object->SharedState()); }

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
