#include "exit_result.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

static int resultFd = -1;
static pid_t resultPid = 0;

static void HandResultAtExit(int status, void *unused) {
    (void)unused;
    HandExitResult((DWORD)status);
}

/* Runs at load time, before any static object of the program: only libc. */
__attribute__((constructor)) static void TakeResultChannel(void) {
    const char *text = getenv(RESULT_FD_VARIABLE);
    if (!text) return;
    char *end = nullptr;
    long fd = strtol(text, &end, 10);
    unsetenv(RESULT_FD_VARIABLE);
    struct stat status;
    if (*end != '\0' || fd < 3 || fd > 65535 || fstat((int)fd, &status) != 0 || !S_ISFIFO(status.st_mode)) return;
    fcntl((int)fd, F_SETFD, FD_CLOEXEC);
    resultFd = (int)fd;
    resultPid = getpid();
    on_exit(HandResultAtExit, nullptr);
}

/* A forked copy that never exec'd shares the descriptor; only the process the
 * parent started answers. */
void HandExitResult(DWORD code) {
    if (resultFd < 0 || getpid() != resultPid) return;
    ExitResult result = {kExitResultMagic, (int32_t)resultPid, code};
    ssize_t ignored;
    do ignored = write(resultFd, &result, sizeof result);
    while (ignored < 0 && errno == EINTR);
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
