/* GoogleTest's own place for a port's additions, found before its empty one
 * when GoogleTest is built with mingw-w64 for Windows. The toolchain's C++
 * library uses win32 threads and has no std::mutex, with which GoogleTest
 * would make the one class below; this one is made of a Win32 event. */
#ifndef PELORIM_GTEST_CUSTOM_PORT_H
#define PELORIM_GTEST_CUSTOM_PORT_H

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

/* Lets a controlling thread hold new threads back until it notifies them. */
class Notification {
public:
    Notification() : event_(CreateEventA(NULL, TRUE, FALSE, NULL)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification &) = delete;
    Notification &operator=(const Notification &) = delete;
    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

} // namespace internal
} // namespace testing

#endif
