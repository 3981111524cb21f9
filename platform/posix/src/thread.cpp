/*
 * Threads: detached pthreads whose handle is signalled when the routine
 * returns, with the routine's result as exit code.
 *
 * TerminateThread cannot stop the thread: POSIX has no safe way to end one
 * thread of a process (pthread_cancel would unwind through code that never
 * expects it, JVM frames included). It does the nearest thing the program can
 * observe: the handle becomes signalled at once with the given exit code and
 * every waiter goes on; the thread itself runs on until its routine returns
 * (its result is then dropped) or the process ends.
 */
#include <pthread.h>
#include <semaphore.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "detached_thread.h"
#include "errors.h"
#include "kernel_objects.h"

namespace {

/* Enough for a thread that hosts a Java virtual machine. */
const size_t kDefaultStackSize = 8u << 20;

struct ThreadObject : KernelObject {
    ThreadObject() : KernelObject(ObjectKind::Thread) {}

    bool Waitable() const override { return true; }
    bool Signalled() override { return ended; }
    DWORD Consume() override { return WAIT_OBJECT_0; }

    DWORD QueryExitCode(DWORD *code) override {
        LockLocalWaits();
        *code = ended ? exitCode : STILL_ACTIVE;
        UnlockLocalWaits();
        return 0;
    }

    DWORD Resume(DWORD *previous) override {
        *previous = 0;
        return 0;
    }
    DWORD Terminate(DWORD code) override {
        End(code);
        return 0;
    }

    /* The first end counts: the routine's return or TerminateThread. */
    void End(DWORD code) {
        LockLocalWaits();
        bool first = !ended;
        if (first) {
            ended = true;
            exitCode = code;
        }
        UnlockLocalWaits();
        if (first) WakeObject(this);
    }

    bool ended = false; /* guarded by LockLocalWaits */
    DWORD exitCode = STILL_ACTIVE;
};

struct ThreadStart {
    ThreadObject *thread; /* the new thread's own reference */
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
    pid_t threadId;
    sem_t started; /* posted once threadId is known */
};

void *RunThread(void *argument) {
    ThreadStart *start = (ThreadStart *)argument;
    ThreadObject *thread = start->thread;
    LPTHREAD_START_ROUTINE routine = start->routine;
    LPVOID parameter = start->parameter;
    start->threadId = CurrentThreadId();
    sem_post(&start->started); /* `start` belongs to the creator from here on */
    DWORD code = routine(parameter);
    thread->End(code);
    ReleaseObject(thread);
    return nullptr;
}

size_t StackSizeFor(SIZE_T requested) {
    size_t pageSize = (size_t)sysconf(_SC_PAGESIZE);
    size_t size = requested > kDefaultStackSize ? requested : kDefaultStackSize;
    return (size + pageSize - 1) / pageSize * pageSize;
}

/* Starts the pthread and waits until it knows its id: 0 or a Win32 code. */
DWORD StartThread(ThreadStart *start, SIZE_T stackSize) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    int error = pthread_attr_setstacksize(&attributes, StackSizeFor(stackSize));
    pthread_t thread;
    if (!error) error = pthread_create(&thread, &attributes, RunThread, start);
    pthread_attr_destroy(&attributes);
    if (error) return Win32ErrorFromErrno(error);
    while (sem_wait(&start->started) != 0) {
    }
    return 0;
}

} // namespace

pid_t CurrentThreadId(void) { return (pid_t)syscall(SYS_gettid); }

/* CREATE_SUSPENDED is not supported (the program never uses it). */
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (!lpStartAddress || (dwCreationFlags & CREATE_SUSPENDED))
        return FailWithHandle(ERROR_INVALID_PARAMETER);
    ThreadObject *thread = new ThreadObject();
    bool inheritable = lpThreadAttributes && lpThreadAttributes->bInheritHandle;
    thread->references.fetch_add(1); /* the running thread's reference */
    HANDLE handle = InsertHandle(thread, inheritable);
    if (!handle) {
        ReleaseObject(thread);
        ReleaseObject(thread);
        return FailWithHandle(ERROR_NO_SYSTEM_RESOURCES);
    }
    ThreadStart start;
    start.thread = thread;
    start.routine = lpStartAddress;
    start.parameter = lpParameter;
    start.threadId = 0;
    sem_init(&start.started, 0, 0);
    DWORD error = StartThread(&start, dwStackSize);
    sem_destroy(&start.started);
    if (error) {
        ReleaseObject(thread);
        CloseHandleEntry(handle);
        return FailWithHandle(error);
    }
    if (lpThreadId) *lpThreadId = (DWORD)start.threadId;
    return handle;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    ObjectReference thread(ReferenceHandle(hThread, ObjectKind::Thread));
    if (!thread) return FailWith(ERROR_INVALID_HANDLE);
    if (!lpExitCode) return FailWith(ERROR_INVALID_PARAMETER);
    DWORD error = thread.get()->QueryExitCode(lpExitCode);
    if (error) return FailWith(error);
    return TRUE;
}

BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode) {
    ObjectReference thread(ReferenceHandle(hThread, ObjectKind::Thread));
    if (!thread) return FailWith(ERROR_INVALID_HANDLE);
    DWORD error = thread.get()->Terminate(dwExitCode);
    if (error) return FailWith(error);
    return TRUE;
}

/* The layer never suspends a thread of its own (CreateThread refuses
 * CREATE_SUSPENDED); only a child's primary thread can be. */
DWORD WINAPI ResumeThread(HANDLE hThread) {
    ObjectReference thread(ReferenceHandle(hThread, ObjectKind::Thread));
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return (DWORD)-1;
    }
    DWORD previous = 0;
    DWORD error = thread.get()->Resume(&previous);
    if (error) {
        SetLastError(error);
        return (DWORD)-1;
    }
    return previous;
}

DWORD StartDetachedThread(void *(*routine)(void *), void *argument, size_t stackSize) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize) pthread_attr_setstacksize(&attributes, stackSize);
    pthread_t thread;
    int error = pthread_create(&thread, &attributes, routine, argument);
    pthread_attr_destroy(&attributes);
    return error ? Win32ErrorFromErrno(error) : 0;
}
