/*
 * A child for the process and pipe tests. Its arguments are a list of steps,
 * run left to right:
 *   args              print every remaining argument on a line of its own, then stop
 *   env NAME          print the variable's value, or "<unset>"
 *   cwd               print the working directory
 *   out TEXT          write TEXT and a newline to standard output
 *   err TEXT          write TEXT and a newline to standard error
 *   sleep MS          sleep MS milliseconds
 *   exit N            end with exit code N (_exit)
 *   exitprocess N     end with ExitProcess(N)
 *   libcexit N        end with exit(N), as the Java runtime's System.exit does
 *   tty               print "tty" when a controlling terminal can be opened, else "notty"
 *   session           print "leader" when this process leads its own session, else "member"
 *   nice              print the nice value
 *   title             print "title ok", or "title failed N" with SetConsoleTitleA's error
 *   stdin             read standard input to its end and print "stdin N" (bytes)
 *   devnull PATH      write "devnull" to file PATH when fds 0, 1 and 2 all are /dev/null,
 *                     else "other"
 *   pipeopen NAME     open the path of named pipe NAME for writing as Java's FileOutputStream
 *                     does (blocking open, O_CREAT, O_TRUNC), print "opened" (flushed), or
 *                     "failed <errno>" and end with 91
 *   pipewrite TEXT    write TEXT to the FIFO opened by pipeopen
 *   pipeclose         close it
 *   serve NAME        CreateNamedPipeA(NAME) as the output pipe server does; print "served"
 *                     or "busy N" (the error); the pipe stays open until the process ends
 *   spawn CMDLINE     CreateProcessA(CMDLINE) inheriting handles, without waiting
 *   job CMDLINE       CreateProcessA(CMDLINE) as a member of a kill-on-close job that this
 *                     process holds until it ends; print "member <pid>"
 */
#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host.h"

static int pipeFd = -1;

static void Say(const char *text) {
    printf("%s\n", text);
    fflush(stdout);
}

static bool IsDevNull(int fd) {
    struct stat of, null;
    if (fstat(fd, &of) != 0 || stat("/dev/null", &null) != 0) return false;
    return of.st_rdev == null.st_rdev && S_ISCHR(of.st_mode);
}

static void PipeOpen(const char *name) {
    char path[PATH_MAX];
    if (HostJavaPipePath(path, sizeof path, name) != 0) {
        Say("badname");
        exit(90);
    }
    pipeFd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (pipeFd < 0) {
        printf("failed %d\n", errno);
        fflush(stdout);
        exit(91);
    }
    Say("opened");
}

static void Serve(const char *name) {
    HANDLE pipe = CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, 0, 1, 0, 1000, 30000, NULL);
    if (pipe == INVALID_HANDLE_VALUE) printf("busy %u\n", (unsigned)GetLastError());
    else printf("served\n");
    fflush(stdout);
}

/* Starts `commandLine` without waiting; ends this process with 92 when it cannot. */
static PROCESS_INFORMATION Spawn(const char *commandLine, BOOL inheritHandles = TRUE) {
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION information;
    char line[4096];
    snprintf(line, sizeof line, "%s", commandLine);
    if (!CreateProcessA(NULL, line, NULL, NULL, inheritHandles, 0, NULL, NULL, &startup, &information)) {
        printf("spawn failed %u\n", (unsigned)GetLastError());
        exit(92);
    }
    CloseHandle(information.hThread);
    return information;
}

static void SpawnInJob(const char *commandLine) {
    HANDLE job = CreateJobObjectA(NULL, NULL);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job == NULL || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        printf("job failed %u\n", (unsigned)GetLastError());
        exit(95);
    }
    PROCESS_INFORMATION information = Spawn(commandLine, FALSE);
    if (!AssignProcessToJobObject(job, information.hProcess)) {
        printf("member failed %u\n", (unsigned)GetLastError());
        exit(96);
    }
    printf("member %u\n", (unsigned)information.dwProcessId);
    fflush(stdout);
}

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        const char *step = argv[i];
        const char *operand = i + 1 < argc ? argv[i + 1] : "";
        if (!strcmp(step, "args")) {
            for (i++; i < argc; i++) Say(argv[i]);
            break;
        } else if (!strcmp(step, "env")) {
            const char *value = getenv(operand);
            Say(value ? value : "<unset>");
            i++;
        } else if (!strcmp(step, "cwd")) {
            char here[PATH_MAX];
            Say(getcwd(here, sizeof here) ? here : "<none>");
        } else if (!strcmp(step, "out")) {
            Say(operand);
            i++;
        } else if (!strcmp(step, "err")) {
            fprintf(stderr, "%s\n", operand);
            i++;
        } else if (!strcmp(step, "sleep")) {
            usleep((useconds_t)atoi(operand) * 1000u);
            i++;
        } else if (!strcmp(step, "exit")) {
            fflush(stdout);
            _exit(atoi(operand));
        } else if (!strcmp(step, "exitprocess")) {
            ExitProcess((UINT)strtoul(operand, nullptr, 0));
        } else if (!strcmp(step, "libcexit")) {
            exit((int)strtoul(operand, nullptr, 0));
        } else if (!strcmp(step, "tty")) {
            int fd = open("/dev/tty", O_RDWR | O_NOCTTY);
            Say(fd >= 0 ? "tty" : "notty");
            if (fd >= 0) close(fd);
        } else if (!strcmp(step, "session")) {
            Say(getsid(0) == getpid() ? "leader" : "member");
        } else if (!strcmp(step, "nice")) {
            printf("%d\n", getpriority(PRIO_PROCESS, 0));
            fflush(stdout);
        } else if (!strcmp(step, "title")) {
            if (SetConsoleTitleA("childtool")) Say("title ok");
            else printf("title failed %u\n", (unsigned)GetLastError()), fflush(stdout);
        } else if (!strcmp(step, "stdin")) {
            char buffer[4096];
            long total = 0;
            ssize_t n;
            while ((n = read(0, buffer, sizeof buffer)) > 0) total += n;
            printf("stdin %ld\n", total);
            fflush(stdout);
        } else if (!strcmp(step, "devnull")) {
            bool all = IsDevNull(0) && IsDevNull(1) && IsDevNull(2);
            FILE *answer = fopen(operand, "w");
            if (!answer) exit(94);
            fprintf(answer, "%s\n", all ? "devnull" : "other");
            fclose(answer);
            i++;
        } else if (!strcmp(step, "pipeopen")) {
            PipeOpen(operand);
            i++;
        } else if (!strcmp(step, "pipewrite")) {
            if (write(pipeFd, operand, strlen(operand)) < 0) exit(93);
            i++;
        } else if (!strcmp(step, "pipeclose")) {
            close(pipeFd);
            pipeFd = -1;
        } else if (!strcmp(step, "serve")) {
            Serve(operand);
            i++;
        } else if (!strcmp(step, "spawn")) {
            CloseHandle(Spawn(operand).hProcess);
            i++;
        } else if (!strcmp(step, "job")) {
            SpawnInJob(operand);
            i++;
        } else {
            fprintf(stderr, "childtool: unknown step %s\n", step);
            return 99;
        }
    }
    fflush(stdout);
    return 0;
}
