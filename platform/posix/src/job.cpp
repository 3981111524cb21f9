/*
 * Job objects, as far as the program uses them: an unnamed job whose member
 * processes end when its last handle closes (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE).
 *
 * Windows ends the members also when the process that holds the job dies,
 * which no code of that process can do here. So a kill-on-close job with a
 * member has a keeper: a small process of its own (a fresh image of the
 * running program, started when the job first has both), which holds one end
 * of a socket pair whose other end is the job's. Each member's pidfd is passed
 * to the keeper as the member joins. When the job's end closes, because its
 * last handle was closed or because the kernel closed it with every other
 * descriptor of the dead holder, the keeper reads the end of the socket, kills
 * the members, and ends. The job's end is close-on-exec and belongs to no
 * handle that a child inherits, so only the holder keeps it open.
 *
 * The keeper can be killed on its own (it is a process like any other), and
 * the members would then outlive their holder. So a thread of the holder
 * sleeps on the job's end of the socket, which turns readable only when the
 * keeper's end closes (the keeper never writes), and starts a new keeper that
 * knows every member; one that cannot be started is tried again every second.
 *
 * A member that leads a process group of its own (a new session, or a shell
 * command) is killed with its group, which holds what it started unless that
 * moved to a group of its own: Windows puts every process a member creates in
 * the job, which POSIX has no means to follow.
 */
#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "child_process.h"
#include "descriptor.h"
#include "errors.h"
#include "handles.h"
#include "pipe.h"
#include "roles.h"

namespace {

/* The keeper holds its members in a fixed table: in the fallback below it
 * runs in a forked copy of a threaded process, where it may not allocate. */
const size_t kMostMembers = 1024;
const int kKeeperFd = kJobKeeperFd;

enum KeeperNote : int32_t { KEEP_MEMBER = 1, KEEP_ARMED = 2, KEEP_DISARMED = 3 };

struct KeeperMessage {
    int32_t note;
    int32_t pid;
    int32_t leadsGroup;
};

struct JobMember {
    pid_t pid;
    int pidfd; /* -1 without pidfds */
    bool leadsGroup;
};

/* Only async-signal-safe calls. The group is killed only while its leader is
 * not yet reaped: until then no other process can take the leader's pid, and
 * so the group's number. */
void KillMember(const JobMember &member) {
#ifdef SYS_pidfd_send_signal
    if (member.pidfd >= 0) {
        if (member.leadsGroup && syscall(SYS_pidfd_send_signal, member.pidfd, 0, nullptr, 0) == 0)
            kill(-member.pid, SIGKILL);
        syscall(SYS_pidfd_send_signal, member.pidfd, SIGKILL, nullptr, 0);
        return;
    }
#endif
    kill(member.pid, SIGKILL);
}

/* The message and the descriptor it carries (-1 when none); the byte count,
 * 0 at the end of the socket, -1 on failure. */
ssize_t ReceiveNote(int socket, KeeperMessage *message, int *passed) {
    struct iovec part = {message, sizeof *message};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    struct msghdr header;
    memset(&header, 0, sizeof header);
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    *passed = -1;
    ssize_t got = RetryOnInterrupt([&] { return recvmsg(socket, &header, MSG_CMSG_CLOEXEC); });
    struct cmsghdr *carried = CMSG_FIRSTHDR(&header);
    if (got > 0 && carried && carried->cmsg_level == SOL_SOCKET && carried->cmsg_type == SCM_RIGHTS)
        memcpy(passed, CMSG_DATA(carried), sizeof(int));
    return got;
}

/* The keeper: async-signal-safe only, since it also runs where the exec of
 * the fresh image failed. A broken socket counts as its end. */
[[noreturn]] void RunKeeper(int socket) {
    static JobMember kept[kMostMembers];
    size_t count = 0;
    bool armed = false;
    for (;;) {
        KeeperMessage message;
        int passed = -1;
        if (ReceiveNote(socket, &message, &passed) != (ssize_t)sizeof message) {
            if (passed >= 0) close(passed);
            break;
        }
        if (message.note == KEEP_ARMED) armed = true;
        if (message.note == KEEP_DISARMED) armed = false;
        if (message.note == KEEP_MEMBER && count < kMostMembers) {
            kept[count++] = JobMember{(pid_t)message.pid, passed, message.leadsGroup != 0};
        } else if (passed >= 0) {
            close(passed);
        }
    }
    if (armed)
        for (size_t i = 0; i < count; i++) KillMember(kept[i]);
    _exit(0);
}

/* In the intermediate child of StartKeeper: async-signal-safe only. The
 * keeper gets a session of its own, so that signals to the holder's group
 * spare it, /dev/null as its standard descriptors, its socket as descriptor
 * 3, and nothing else. */
[[noreturn]] void LaunchKeeper(int socket, char **argv, char **envp) {
    setsid();
    pid_t keeper = fork();
    if (keeper != 0) _exit(keeper > 0 ? 0 : 1);
    int moved = fcntl(socket, F_DUPFD, 10);
    int null = open("/dev/null", O_RDWR);
    if (moved < 0 || null < 0) _exit(1);
    dup2(null, 0), dup2(null, 1), dup2(null, 2);
    dup2(moved, kKeeperFd);
    CloseDescriptorsFrom(kKeeperFd + 1);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve("/proc/self/exe", argv, envp);
    RunKeeper(kKeeperFd);
}

/* The two ends of a keeper's socket: the job's and the keeper's. */
DWORD CreateKeeperSocket(int *jobEnd, int *keeperEnd) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return LastErrnoAsWin32();
    *jobEnd = pair[0];
    *keeperEnd = pair[1];
    return 0;
}

/* Starts a keeper on `keeperEnd`, which stays the caller's to close. The
 * keeper is the grandchild of a child that ends at once, so it is nobody's
 * zombie. */
DWORD StartKeeper(int keeperEnd) {
    static char program[] = "pelorim-job-keeper";
    static char variable[] = JOB_KEEPER_VARIABLE "=3";
    char *argv[] = {program, nullptr};
    char *envp[] = {variable, nullptr};
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pid_t child = fork();
    if (child == 0) LaunchKeeper(keeperEnd, argv, envp);
    int forkError = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    int status = 0;
    if (child > 0 && RetryOnInterrupt([&] { return waitpid(child, &status, 0); }) != child) status = 0;
    if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return child < 0 ? Win32ErrorFromErrno(forkError) : ERROR_NO_SYSTEM_RESOURCES;
    return 0;
}

/* `flags` adds to MSG_NOSIGNAL: MSG_DONTWAIT where nobody reads the socket yet. */
DWORD SendNote(int socket, KeeperNote note, const JobMember *member, int flags = 0) {
    KeeperMessage message = {note, member ? member->pid : 0, member && member->leadsGroup};
    struct iovec part = {&message, sizeof message};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    struct msghdr header;
    memset(&header, 0, sizeof header);
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    if (member && member->pidfd >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        struct cmsghdr *carried = CMSG_FIRSTHDR(&header);
        carried->cmsg_level = SOL_SOCKET;
        carried->cmsg_type = SCM_RIGHTS;
        carried->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(carried), &member->pidfd, sizeof(int));
    }
    ssize_t sent = RetryOnInterrupt([&] { return sendmsg(socket, &header, MSG_NOSIGNAL | flags); });
    return sent == (ssize_t)sizeof message ? 0 : LastErrnoAsWin32();
}

struct JobObject : KernelObject {
    JobObject() : KernelObject(ObjectKind::Job) {}
    /* The last handle has closed: the members are killed here at once, and by
     * the keeper as it sees the socket end. Shutting the socket down also
     * wakes the keeper's watcher, which ends. */
    ~JobObject() override {
        {
            std::lock_guard<std::mutex> held(lock);
            closing = true;
            if (keeper >= 0) shutdown(keeper, SHUT_RDWR);
            keeperChanged.notify_all();
        }
        if (watching) pthread_join(watcher, nullptr);
        if (keeper >= 0) close(keeper);
        for (const JobMember &member : members) {
            if (killOnClose) KillMember(member);
            if (member.pidfd >= 0) close(member.pidfd);
        }
    }
    std::mutex lock;
    bool killOnClose = false;
    std::vector<JobMember> members;
    int keeper = -1; /* the job's end of the keeper's socket */
    /* WatchKeeper's thread, started with the first keeper; it ends with the job. */
    pthread_t watcher;
    bool watching = false;
    std::condition_variable keeperChanged;
    bool closing = false;
};

void *WatchKeeper(void *job);

/* Brings the keeper in line with the job (caller holds its lock): one exists
 * while the job kills on close and has a member, and knows every member. */
DWORD UpdateKeeper(JobObject *job) {
    if (job->keeper >= 0) return SendNote(job->keeper, job->killOnClose ? KEEP_ARMED : KEEP_DISARMED, nullptr);
    if (!job->killOnClose || job->members.empty()) return 0;
    DescriptorGuard jobEnd, keeperEnd;
    DWORD code = CreateKeeperSocket(jobEnd.Out(), keeperEnd.Out());
    if (code != 0) return code;
    /* What the keeper is to know waits in its socket before it exists, as far
     * as the socket holds it: a holder that dies at any moment after the start
     * leaves a keeper that is armed and knows the members, as Windows ends a
     * job's members with the process that holds it. */
    size_t told = 0;
    code = SendNote(jobEnd.Get(), KEEP_ARMED, nullptr, MSG_DONTWAIT);
    while (code == 0 && told < job->members.size() &&
           SendNote(jobEnd.Get(), KEEP_MEMBER, &job->members[told], MSG_DONTWAIT) == 0)
        told++;
    if (code == 0) code = StartKeeper(keeperEnd.Get());
    for (; code == 0 && told < job->members.size(); told++)
        code = SendNote(jobEnd.Get(), KEEP_MEMBER, &job->members[told]);
    if (code != 0) {
        /* The job lives on: a keeper that was started ends without killing. */
        SendNote(jobEnd.Get(), KEEP_DISARMED, nullptr, MSG_DONTWAIT);
        return code;
    }
    job->keeper = jobEnd.Release();
    /* Without the thread the job still kills on close; only a killed keeper
     * would go unnoticed. */
    if (!job->watching) job->watching = pthread_create(&job->watcher, nullptr, WatchKeeper, job) == 0;
    job->keeperChanged.notify_all();
    return 0;
}

/* Returns once the keeper's end of `socket` has closed (or the job's end was
 * shut down): the job's end turns readable only then, as the keeper writes
 * nothing. */
void AwaitKeeperEnd(int socket) {
    struct pollfd end = {socket, POLLIN | POLLRDHUP, 0};
    RetryOnInterrupt([&] { return poll(&end, 1, -1); });
}

/* The keeper's watcher (see the top): from the first keeper to the job's end.
 * A job that needs no keeper (not killing on close, or without members) has
 * none until it does. */
void *WatchKeeper(void *parameter) {
    JobObject *job = static_cast<JobObject *>(parameter);
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::unique_lock<std::mutex> held(job->lock);
    while (!job->closing) {
        if (job->keeper < 0) {
            bool needed = job->killOnClose && !job->members.empty();
            if (needed && UpdateKeeper(job) == 0) continue;
            if (needed) job->keeperChanged.wait_for(held, std::chrono::seconds(1));
            else job->keeperChanged.wait(held);
            continue;
        }
        int socket = job->keeper;
        held.unlock();
        AwaitKeeperEnd(socket);
        held.lock();
        if (job->closing || job->keeper != socket) continue;
        close(job->keeper);
        job->keeper = -1;
    }
    return nullptr;
}

DWORD SetKillOnClose(JobObject *job, bool killOnClose) {
    std::lock_guard<std::mutex> held(job->lock);
    bool before = job->killOnClose;
    job->killOnClose = killOnClose;
    DWORD code = UpdateKeeper(job);
    if (code != 0) job->killOnClose = before;
    return code;
}

bool IsMember(const JobObject &job, pid_t pid) {
    for (const JobMember &member : job.members)
        if (member.pid == pid) return true;
    return false;
}

DWORD AddMember(JobObject *job, const ChildIdentity &identity) {
    std::lock_guard<std::mutex> held(job->lock);
    DescriptorGuard pidfd(identity.pidfd);
    JobMember member = {identity.pid, identity.pidfd, identity.leadsGroup};
    if (IsMember(*job, member.pid)) return 0;
    if (job->members.size() >= kMostMembers) return ERROR_NO_SYSTEM_RESOURCES;
    job->members.push_back(member);
    DWORD code = job->keeper >= 0 ? SendNote(job->keeper, KEEP_MEMBER, &member) : UpdateKeeper(job);
    if (code != 0) {
        job->members.pop_back();
        return code;
    }
    pidfd.Release(); /* the job's now, closed with it */
    return 0;
}

} // namespace

/* The keeper's image (roles.cpp): its socket is descriptor 3. */
void RunJobKeeper(void) { RunKeeper(kKeeperFd); }

HANDLE WINAPI CreateJobObjectA(LPSECURITY_ATTRIBUTES lpJobAttributes, LPCSTR lpName) {
    if (lpName) return FailWithHandle(ERROR_NOT_SUPPORTED);
    KernelObject *job = new (std::nothrow) JobObject();
    if (!job) return FailWithHandle(ERROR_NOT_ENOUGH_MEMORY);
    HANDLE handle = InsertHandle(job, lpJobAttributes && lpJobAttributes->bInheritHandle);
    if (!handle) {
        ReleaseObject(job);
        return FailWithHandle(ERROR_NO_SYSTEM_RESOURCES);
    }
    SetLastError(0);
    return handle;
}

BOOL WINAPI SetInformationJobObject(HANDLE hJob, JOBOBJECTINFOCLASS JobObjectInformationClass,
                                    LPVOID lpJobObjectInformation, DWORD cbJobObjectInformationLength) {
    ObjectReference object(ReferenceHandle(hJob, ObjectKind::Job));
    if (!object) return FailWith(ERROR_INVALID_HANDLE);
    if (JobObjectInformationClass != JobObjectExtendedLimitInformation) return FailWith(ERROR_NOT_SUPPORTED);
    if (cbJobObjectInformationLength != sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION))
        return FailWith(ERROR_BAD_LENGTH);
    if (!lpJobObjectInformation) return FailWith(ERROR_NOACCESS);
    DWORD flags =
        static_cast<JOBOBJECT_EXTENDED_LIMIT_INFORMATION *>(lpJobObjectInformation)->BasicLimitInformation.LimitFlags;
    if (flags & ~(DWORD)JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) return FailWith(ERROR_NOT_SUPPORTED);
    DWORD code = SetKillOnClose(static_cast<JobObject *>(object.get()), flags != 0);
    return code == 0 ? TRUE : FailWith(code);
}

BOOL WINAPI AssignProcessToJobObject(HANDLE hJob, HANDLE hProcess) {
    ObjectReference object(ReferenceHandle(hJob, ObjectKind::Job));
    if (!object) return FailWith(ERROR_INVALID_HANDLE);
    if (hProcess == GetCurrentProcess()) return FailWith(ERROR_NOT_SUPPORTED);
    ChildIdentity identity;
    DWORD code = IdentifyChildProcess(hProcess, &identity);
    if (code == 0) code = AddMember(static_cast<JobObject *>(object.get()), identity);
    return code == 0 ? TRUE : FailWith(code);
}
