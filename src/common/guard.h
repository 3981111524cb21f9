/*
 * Scope guards for the system's handle types: the guard closes what it holds
 * when it leaves scope, on every path. Typed by the close function and the
 * invalid value of the handle type.
 *
 *   HandleGuard file(CreateFileA(...));      // closes with CloseHandle
 *   KeyGuard key;  RegOpenKeyExA(..., key.Out());
 *   ServiceHandleGuard manager(OpenSCManagerA(...));
 */
#ifndef PELORIM_GUARD_H
#define PELORIM_GUARD_H

#include <windows.h>
#include <stdlib.h>

/* CreateFileA and CreateNamedPipeA fail with INVALID_HANDLE_VALUE, not NULL. */
template <class T> inline bool IsFailureSentinel(T) { return false; }
template <> inline bool IsFailureSentinel<HANDLE>(HANDLE value) { return value == INVALID_HANDLE_VALUE; }

/* Close is a system entry point: WINAPI (__stdcall) on 32-bit Windows. */
template <class T, class R, R(WINAPI *Close)(T), T (*Invalid)()> class Guard {
  public:
    Guard() : value_(Invalid()) {}
    explicit Guard(T value) : value_(value) {}
    ~Guard() { Reset(); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

    T Get() const { return value_; }
    bool Valid() const { return value_ != Invalid() && value_ != T() && !IsFailureSentinel(value_); }
    explicit operator bool() const { return Valid(); }
    /* Closes what the guard holds and leaves it empty. */
    void Reset(T value = Invalid()) {
        if (Valid()) Close(value_);
        value_ = value;
    }
    /* Hands the value over to the caller, who closes it from now on. */
    T Release() {
        T value = value_;
        value_ = Invalid();
        return value;
    }
    /* For APIs that return the value through a pointer; closes an earlier value first. */
    T *Out() {
        Reset();
        return &value_;
    }

  private:
    T value_;
};

inline HANDLE NullHandle() { return nullptr; }
inline HKEY NullKey() { return nullptr; }
inline SC_HANDLE NullServiceHandle() { return nullptr; }
inline HMODULE NullModule() { return nullptr; }

typedef Guard<HANDLE, BOOL, CloseHandle, NullHandle> HandleGuard;
typedef Guard<HKEY, LONG, RegCloseKey, NullKey> KeyGuard;
typedef Guard<SC_HANDLE, BOOL, CloseServiceHandle, NullServiceHandle> ServiceHandleGuard;
typedef Guard<HMODULE, BOOL, FreeLibrary, NullModule> ModuleGuard;
/* Memory the system allocated for the caller to LocalFree. */
typedef Guard<HLOCAL, HLOCAL, LocalFree, NullHandle> LocalMemoryGuard;

/* Frees a malloc'd block (texts handed over by the program's operations). */
class TextGuard {
  public:
    explicit TextGuard(char *text = nullptr) : text_(text) {}
    ~TextGuard() { free(text_); }
    TextGuard(const TextGuard &) = delete;
    TextGuard &operator=(const TextGuard &) = delete;
    char *Get() const { return text_; }
    explicit operator bool() const { return text_ != nullptr; }
    char *Release() {
        char *text = text_;
        text_ = nullptr;
        return text;
    }
    void Reset(char *text = nullptr) {
        free(text_);
        text_ = text;
    }

  private:
    char *text_;
};

#endif
