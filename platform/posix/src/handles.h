/*
 * The process-wide handle table. Every HANDLE the layer gives out (files,
 * pipes, threads, processes, events, mutexes, event sources) is an entry here;
 * CloseHandle closes any of them. Objects are reference counted: the table
 * holds one reference per handle, and a call that uses an object holds its own
 * reference for the duration of the call, so closing a handle while another
 * thread waits on it is safe.
 */
#ifndef PELORIM_POSIX_HANDLES_H
#define PELORIM_POSIX_HANDLES_H

#include <windows.h>
#include <atomic>
#include <stdint.h>

enum class ObjectKind { Any, File, Pipe, NamedPipe, Thread, Process, Event, Mutex, EventSource, Job };

struct KernelObject {
    explicit KernelObject(ObjectKind k) : kind(k) {}
    virtual ~KernelObject() = default;
    KernelObject(const KernelObject &) = delete;
    KernelObject &operator=(const KernelObject &) = delete;

    /* The descriptor behind an I/O object (file, pipe end, named pipe), else -1.
     * CreateProcessA uses it to hand standard handles to a child. */
    virtual int Descriptor() const { return -1; }

    /* ReadFile / WriteFile on this object: a Win32 code (0 for success,
     * ERROR_IO_PENDING for a started overlapped operation). */
    virtual DWORD Read(void *buffer, DWORD size, DWORD *done, OVERLAPPED *overlapped) {
        (void)buffer, (void)size, (void)done, (void)overlapped;
        return ERROR_INVALID_HANDLE;
    }
    virtual DWORD Write(const void *buffer, DWORD size, DWORD *done, OVERLAPPED *overlapped) {
        (void)buffer, (void)size, (void)done, (void)overlapped;
        return ERROR_INVALID_HANDLE;
    }

    /* Waitable objects (threads, processes, events, mutexes). Signalled() tells
     * whether a wait would be satisfied now; Consume() takes the wait's effect
     * (a mutex becomes owned by the calling thread) and returns WAIT_OBJECT_0
     * or WAIT_ABANDONED_0. Both are called under the object's lock (LockObject).
     * WaitWord() is the futex word that waiters of this object sleep on; it lies
     * in shared memory (and SharedState() is true) only for a named object. */
    virtual bool Waitable() const { return false; }
    virtual bool Signalled() { return false; }
    virtual DWORD Consume() { return WAIT_OBJECT_0; }
    virtual uint32_t *WaitWord() { return &wake; }
    virtual bool SharedState() const { return false; }

    /* Threads and processes: STILL_ACTIVE while running. */
    virtual DWORD QueryExitCode(DWORD *code) {
        (void)code;
        return ERROR_INVALID_HANDLE;
    }
    virtual DWORD Terminate(DWORD exitCode) {
        (void)exitCode;
        return ERROR_INVALID_HANDLE;
    }
    /* ResumeThread: the suspend count before the call, in *previous. */
    virtual DWORD Resume(DWORD *previous) {
        (void)previous;
        return ERROR_INVALID_HANDLE;
    }

    const ObjectKind kind;
    std::atomic<int> references{1};
    uint32_t wake = 0; /* the wait word of a private object; atomics only */
};

/* Takes over the caller's reference. Returns NULL (and sets nothing) when the
 * table is full; the caller then releases the object and reports
 * ERROR_NO_SYSTEM_RESOURCES. */
HANDLE InsertHandle(KernelObject *object, bool inheritable);

/* A new reference to the object behind `handle` when it is open and of `kind`
 * (ObjectKind::Any accepts every kind); NULL otherwise. The caller releases it. */
KernelObject *ReferenceHandle(HANDLE handle, ObjectKind kind);
void ReleaseObject(KernelObject *object);

/* Whether `handle` was created inheritable. */
bool IsInheritableHandle(HANDLE handle);

/* Removes the entry and drops its reference: 0, or ERROR_INVALID_HANDLE. */
DWORD CloseHandleEntry(HANDLE handle);

/* Waiting. Every state change of a waitable object must be followed by
 * WakeObject (or WakeWord on the word it waits on), which wakes only the
 * threads waiting on that object; a change that comes from outside (a child
 * process ending) is turned into one by whoever watches it (a thread polling
 * the pidfd). The state of a private object is guarded by a lock of this
 * process, that of a named object by the root-wide wait lock; LockObject takes
 * the right one. A wait on several objects takes the root-wide lock (when one
 * of them is named) before the process's own. */
void LockObject(KernelObject *object);
void UnlockObject(KernelObject *object);
void WakeObject(KernelObject *object);
void WakeWord(uint32_t *word, bool shared);
void LockLocalWaits(void);
void UnlockLocalWaits(void);

/* Typed access: ReferenceAs<EventObject>(h, ObjectKind::Event). */
template <class T> T *ReferenceAs(HANDLE handle, ObjectKind kind) {
    return static_cast<T *>(ReferenceHandle(handle, kind));
}

/* Releases a reference when it leaves scope. */
class ObjectReference {
  public:
    explicit ObjectReference(KernelObject *object) : object_(object) {}
    ~ObjectReference() {
        if (object_) ReleaseObject(object_);
    }
    ObjectReference(const ObjectReference &) = delete;
    ObjectReference &operator=(const ObjectReference &) = delete;
    KernelObject *get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    KernelObject *object_;
};

#endif
