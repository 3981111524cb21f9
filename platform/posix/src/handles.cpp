/*
 * The process-wide handle table. A handle is (slot + 1) * 4, so it is never
 * NULL nor INVALID_HANDLE_VALUE; freed slots are reused lowest first, as a
 * closed Win32 handle value may come back for a new object.
 */
#include "handles.h"

#include <pthread.h>
#include <stdint.h>

#include <vector>

#include "errors.h"

namespace {

struct HandleEntry {
    KernelObject *object;
    bool inheritable;
};

/* Far above what the program uses; keeps handle values within 32 bits. */
const size_t kMaxHandles = 1u << 24;

pthread_mutex_t tableLock = PTHREAD_MUTEX_INITIALIZER;
std::vector<HandleEntry> *table;
size_t lowestFree;

HANDLE HandleFromSlot(size_t slot) { return (HANDLE)(uintptr_t)((slot + 1) * 4); }

/* The slot of `handle`, or kMaxHandles when it cannot name one. */
size_t SlotFromHandle(HANDLE handle) {
    uintptr_t value = (uintptr_t)handle;
    if (value == 0 || value % 4 != 0 || value / 4 > kMaxHandles) return kMaxHandles;
    return value / 4 - 1;
}

/* The open entry behind `handle`; call with tableLock held. */
HandleEntry *FindEntry(HANDLE handle) {
    size_t slot = SlotFromHandle(handle);
    if (!table || slot >= table->size()) return nullptr;
    HandleEntry *entry = &(*table)[slot];
    return entry->object ? entry : nullptr;
}

} // namespace

HANDLE InsertHandle(KernelObject *object, bool inheritable) {
    pthread_mutex_lock(&tableLock);
    if (!table) table = new std::vector<HandleEntry>();
    size_t slot = lowestFree;
    while (slot < table->size() && (*table)[slot].object) slot++;
    if (slot >= kMaxHandles) {
        pthread_mutex_unlock(&tableLock);
        return nullptr;
    }
    if (slot == table->size()) table->push_back(HandleEntry{nullptr, false});
    (*table)[slot] = HandleEntry{object, inheritable};
    lowestFree = slot + 1;
    pthread_mutex_unlock(&tableLock);
    return HandleFromSlot(slot);
}

KernelObject *ReferenceHandle(HANDLE handle, ObjectKind kind) {
    KernelObject *object = nullptr;
    pthread_mutex_lock(&tableLock);
    HandleEntry *entry = FindEntry(handle);
    if (entry && (kind == ObjectKind::Any || entry->object->kind == kind)) {
        object = entry->object;
        object->references.fetch_add(1);
    }
    pthread_mutex_unlock(&tableLock);
    return object;
}

void ReleaseObject(KernelObject *object) {
    if (object && object->references.fetch_sub(1) == 1) delete object;
}

bool IsInheritableHandle(HANDLE handle) {
    pthread_mutex_lock(&tableLock);
    HandleEntry *entry = FindEntry(handle);
    bool inheritable = entry && entry->inheritable;
    pthread_mutex_unlock(&tableLock);
    return inheritable;
}

DWORD CloseHandleEntry(HANDLE handle) {
    pthread_mutex_lock(&tableLock);
    HandleEntry *entry = FindEntry(handle);
    if (!entry) {
        pthread_mutex_unlock(&tableLock);
        return ERROR_INVALID_HANDLE;
    }
    KernelObject *object = entry->object;
    *entry = HandleEntry{nullptr, false};
    size_t slot = SlotFromHandle(handle);
    if (slot < lowestFree) lowestFree = slot;
    pthread_mutex_unlock(&tableLock);
    /* Outside the lock: a destructor may close descriptors or take other locks. */
    ReleaseObject(object);
    return 0;
}

/* The pseudo handle of GetCurrentProcess needs no closing; Win32 accepts it. */
BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (hObject == INVALID_HANDLE_VALUE) return TRUE;
    DWORD error = CloseHandleEntry(hObject);
    if (error) return FailWith(error);
    return TRUE;
}
