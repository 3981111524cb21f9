/*
 * Runs test cases on a kernel without futex_waitv, as before Linux 5.16:
 *
 *   without_futex_waitv BINARY FILTER
 *
 * installs a seccomp filter that refuses the call with ENOSYS (inherited by
 * everything started from here), then runs each case of the GoogleTest binary
 * BINARY that FILTER selects in a process of its own, as ctest does (the
 * platform tests make one root per process). Exits 0 when every case passed,
 * 1 when one failed or none was selected, 77 when this kernel cannot filter.
 */
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#ifndef SYS_futex_waitv
#define SYS_futex_waitv 449
#endif

#if defined(__x86_64__)
#define FILTERED_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define FILTERED_ARCH AUDIT_ARCH_AARCH64
#elif defined(__i386__)
#define FILTERED_ARCH AUDIT_ARCH_I386
#endif

static bool RefuseFutexWaitv(void) {
#ifdef FILTERED_ARCH
    struct sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, FILTERED_ARCH, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_futex_waitv, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog filter = {(unsigned short)(sizeof program / sizeof program[0]), program};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) != 0) return false;
    return syscall(SYS_futex_waitv, nullptr, 0, 0, nullptr, 0) < 0 && errno == ENOSYS;
#else
    return false;
#endif
}

/* The full names of the cases that `filter` selects, from --gtest_list_tests. */
static std::vector<std::string> ListCases(const char *binary, const char *filter) {
    std::vector<std::string> cases;
    std::string command = std::string("'") + binary + "' --gtest_list_tests '--gtest_filter=" + filter + "'";
    FILE *listing = popen(command.c_str(), "r");
    if (!listing) return cases;
    char line[1024];
    std::string suite;
    while (fgets(line, sizeof line, listing)) {
        /* "Suite." lines, each followed by "  Case" lines; either may end in a comment. */
        std::string text(line, strcspn(line, "\n"));
        bool isCase = text.compare(0, 2, "  ") == 0;
        size_t start = isCase ? 2 : 0;
        std::string name = text.substr(start, text.find(' ', start) - start);
        if (isCase) cases.push_back(suite + name);
        else suite = name;
    }
    pclose(listing);
    return cases;
}

/* Whether the case passed in a process of its own. */
static bool RunCase(const char *binary, const std::string &name) {
    std::string filter = "--gtest_filter=" + name;
    pid_t child = fork();
    if (child == 0) {
        execl(binary, binary, filter.c_str(), (char *)nullptr);
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: without_futex_waitv BINARY FILTER\n");
        return 1;
    }
    if (!RefuseFutexWaitv()) {
        printf("skipped: this kernel cannot refuse futex_waitv to a process (%s)\n", strerror(errno));
        return 77;
    }
    std::vector<std::string> cases = ListCases(argv[1], argv[2]);
    int failed = 0;
    for (const std::string &name : cases) {
        bool passed = RunCase(argv[1], name);
        printf("%s %s\n", passed ? "passed" : "FAILED", name.c_str());
        fflush(stdout);
        if (!passed) failed++;
    }
    printf("%zu cases without futex_waitv, %d failed\n", cases.size(), failed);
    return cases.empty() || failed > 0 ? 1 : 0;
}
