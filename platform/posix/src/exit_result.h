/*
 * A child's full 32-bit exit code, handed to the parent that started it with
 * CreateProcessA. A POSIX exit status keeps 8 bits, so a child of the layer
 * also writes its exit code into a pipe the parent gave it. PELORIM_RESULT_FD
 * in the child's environment reads "<descriptor>,<pid>": the pid is that of the
 * forked child, written in between fork and exec. Only that process, the one
 * the parent started, takes the descriptor, at load time; whatever runs further
 * down (a program that a shell started) leaves it alone, though the pipe may
 * stay open there. Every program of the layer removes the variable at load
 * time. The child writes from ExitProcess and, for an exit() it does not see
 * coming (the Java runtime's System.exit), from an on_exit handler; a write
 * whose reader is gone fails quietly instead of raising SIGPIPE.
 */
#ifndef PELORIM_POSIX_EXIT_RESULT_H
#define PELORIM_POSIX_EXIT_RESULT_H

#include <windows.h>
#include <stdint.h>
#include <sys/types.h>

#include "roles.h" /* RESULT_FD_VARIABLE */

struct ExitResult {
    uint32_t magic;
    int32_t pid;
    uint32_t code;
};

enum : uint32_t { kExitResultMagic = 0x50455852 };

/* Room for the pid in the variable's value, and the child's filling of it:
 * async-signal-safe, `room` bytes with the terminating NUL. */
enum { kResultPidRoom = 24 };
void FormatPidInChild(pid_t pid, char *out, size_t room);

/* Writes this process's exit code to the parent, once. */
void HandExitResult(DWORD code);

/* The status a code becomes on exit: the code itself when it fits in 8 bits,
 * otherwise a fixed non-zero status, so that no failure reads as success. */
enum { kWideExitStatus = 255 };
int ExitStatusOf(DWORD code);

/* The parent's side: the code `pid` wrote into `fd` (read without blocking),
 * or false when it wrote none. */
bool ReadExitResult(int fd, pid_t pid, DWORD *code);

#endif
