#include "exit_result.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pipe.h"

static int resultFd = -1;
static pid_t resultPid = 0;

static void HandResultAtExit(int status, void *unused) {
    (void)unused;
    HandExitResult((DWORD)status);
}

void FormatPidInChild(pid_t pid, char *out, size_t room) {
    char digits[24];
    size_t count = 0;
    unsigned long value = (unsigned long)pid;
    do digits[count++] = (char)('0' + value % 10);
    while ((value /= 10) != 0 && count < sizeof digits);
    size_t i = 0;
    for (; i < count && i + 1 < room; i++) out[i] = digits[count - 1 - i];
    if (room > 0) out[i] = '\0';
}

/* The descriptor "<fd>,<pid>" names when the pid is this process's own; -1 otherwise. */
static int ParseResultChannel(const char *text) {
    char *end = nullptr;
    long fd = strtol(text, &end, 10);
    if (*end != ',') return -1;
    long pid = strtol(end + 1, &end, 10);
    if (*end != '\0' || pid != (long)getpid()) return -1;
    struct stat status;
    if (fd < 3 || fd > 65535 || fstat((int)fd, &status) != 0 || !S_ISFIFO(status.st_mode)) return -1;
    return (int)fd;
}

/* At load time (roles.cpp), with the variable's value: only libc. */
void TakeResultChannel(const char *text) {
    int fd = ParseResultChannel(text);
    unsetenv(RESULT_FD_VARIABLE);
    if (fd < 0) return;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    resultFd = fd;
    resultPid = getpid();
    on_exit(HandResultAtExit, nullptr);
}

/* A forked copy that never exec'd shares the descriptor; only the process the
 * parent started answers. */
void HandExitResult(DWORD code) {
    if (resultFd < 0 || getpid() != resultPid) return;
    ExitResult result = {kExitResultMagic, (int32_t)resultPid, code};
    WriteWithoutSigpipe(resultFd, &result, sizeof result, nullptr);
    close(resultFd);
    resultFd = -1;
}

int ExitStatusOf(DWORD code) { return code <= 255 ? (int)code : kWideExitStatus; }

bool ReadExitResult(int fd, pid_t pid, DWORD *code) {
    bool found = false;
    ExitResult result;
    for (;;) {
        ssize_t got = read(fd, &result, sizeof result);
        if (got < 0 && errno == EINTR) continue;
        if (got != (ssize_t)sizeof result) return found;
        if (result.magic == kExitResultMagic && result.pid == (int32_t)pid) {
            *code = result.code;
            found = true;
        }
    }
}
