/*
 * Scope guard for a POSIX file descriptor: closes what it holds when it
 * leaves scope, on every path, as the program's handle guards do for handles.
 *
 *   DescriptorGuard fd(open(path, O_RDONLY | O_CLOEXEC));
 *   if (!fd) return LastErrnoAsWin32();
 *
 * Closing keeps errno as it was, so a failure's errno read after an earlier
 * descriptor's guard has closed it is still the failure's. Header only and
 * plain libc: usable in the service watcher before the program's statics
 * exist (not between fork and exec, where no destructor runs anyway).
 */
#ifndef PELORIM_POSIX_DESCRIPTOR_H
#define PELORIM_POSIX_DESCRIPTOR_H

#include <errno.h>
#include <unistd.h>

class DescriptorGuard {
  public:
    DescriptorGuard() = default;
    explicit DescriptorGuard(int fd) : fd_(fd) {}
    ~DescriptorGuard() { Reset(); }
    DescriptorGuard(const DescriptorGuard &) = delete;
    DescriptorGuard &operator=(const DescriptorGuard &) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    explicit operator bool() const { return Valid(); }
    /* Closes what the guard holds and takes `fd` (-1: nothing). */
    void Reset(int fd = -1) {
        if (fd_ >= 0) {
            int saved = errno;
            close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }
    /* Hands the descriptor over to the caller, who closes it from now on. */
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    /* For calls that return the descriptor through a pointer; closes an earlier one first. */
    int *Out() {
        Reset();
        return &fd_;
    }

  private:
    int fd_ = -1;
};

#endif
