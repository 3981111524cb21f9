/* The service runtime: service entry, status record, supervisor, the
 * application's thread, detached child, shutdown command and output pipes. */
#ifndef PELORIM_RUNTIME_H
#define PELORIM_RUNTIME_H

#include <windows.h>

/* Prepares the status record's lock; at start-up, before dispatch. */
void InitializeServiceStatus(void);
/* Registers the handler of this service's controls, which the status reports
 * go to from then on: 0, or 1 when the controller refused it. */
int RegisterServiceHandler(LPHANDLER_FUNCTION_EX handler);

int RunServiceDispatcher(void);
void WINAPI ServiceMain(DWORD argc, LPSTR *argv);
DWORD ReportServiceStatus(DWORD state, DWORD waitHint);
/* The last report: STOPPED, with the service's own exit code (0 for none). */
void ReportServiceStopped(DWORD serviceExitCode);
/* The state the record holds now. */
DWORD CurrentServiceState(void);

/* The handler of the Service Control Manager's controls: STOP, PRESHUTDOWN
 * and SHUTDOWN begin the stop; INTERROGATE reports the state again. */
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
/* The controls a service in `state` accepts. */
DWORD AcceptedControls(DWORD state);

/* What the supervisor saw of a start that never came to run, for ServiceMain's
 * report; written by the supervisor on ServiceMain's thread. */
struct SupervisedEnd {
    int startFailed;   /* ended before the application ran: a failure of its configuration */
    int startTimedOut; /* did not signal that it runs within its Timeout */
    long long timeout; /* that Timeout, in ms */
};
extern SupervisedEnd supervisedEnd;

/* The results of the application as the supervisor reads them: its thread's
 * exit code in process, the detached child's exit code otherwise. */
enum {
    RESULT_OK = 0,
    RESULT_EXIT1 = 5,
    RESULT_FAILED = 9,
    RESULT_TIMED_OUT = 10,
};

extern HANDLE applicationHandle;
int SuperviseApplication(void);
int BeginStop(void);
DWORD WINAPI ApplicationThread(LPVOID unused);
/* Starts a server thread for each output pipe: 0, or 1 after logging. */
int StartOutputServers(void);
/* After QUIT; waits (bounded) for the servers to log the application's last
 * output and remove their pipes, and forgets them. */
void AwaitOutputServers(void);
/* Signals QUIT and waits (bounded) until the output servers have logged what
 * is left in their pipes; for a process about to end abruptly. */
void DrainApplicationOutput(void);
DWORD WINAPI ShutdownWatcher(LPVOID unused);
DWORD WINAPI StopMonitor(LPVOID unused);
/* 1 once the stop monitor has ended the application by force at Timeout. */
int ApplicationEndedByForce(void);
BOOL WINAPI ConsoleControlHandler(DWORD event);

/* The detached child's start; NULL on failure. */
HANDLE LaunchSubprocess(void);
/* Ends the detached child with `exitCode` and waits for its end: 0 when it has
 * ended (also by itself), 1 when there is none or it could not be ended. */
int EndSubprocess(DWORD exitCode);
/* The child's steps after /subprocess: returns 1 with *exitCode set when the
 * child ran the application, 0 when the switch is to be ignored. */
int RunSubprocess(int *exitCode);

/* "<path> /subprocess" from serviceCommandPrefix, in full; the caller frees it. */
char *BuildSubprocessCommandLine(void);

int RunShutdownCommand(void);
bool IsExecutableImage(const char *path);
/* The text up to its first blank (quotes are not interpreted); the caller frees it. */
char *FirstWord(const char *command);
/* "CMD.EXE /C ", put before a command whose first word is no executable image. */
extern const char shutdownShellPrefix[];
/* The command unchanged when its first word is an executable image, else
 * "CMD.EXE /C " and the command; in full, the caller frees it. */
char *BuildShutdownCommandLine(const char *command);

/* Creates the instances of both output pipes (0, or 1 after logging); each
 * OutputPipeServer(kind) thread then serves and closes its own.
 * CloseOutputPipes closes those of `firstKind` and after that no server took. */
int CreateOutputPipes(void);
void CloseOutputPipes(int firstKind);
DWORD WINAPI OutputPipeServer(LPVOID kind);

/* The output of one stream on its way to the log (WriteServiceOutput): whole
 * lines go on as they arrive, never cut; the rest of a line waits here for
 * its end. A line longer than the capacity goes in parts of that size, which
 * in the UTF-8 code page never end inside a character. */
enum { OUTPUT_LINE_CAPACITY = 16 * 1024 };
struct OutputLines {
    int level;
    bool utf8;
    size_t length;
    char text[OUTPUT_LINE_CAPACITY];
};
void BeginOutputLines(OutputLines *lines, int level);
/* Takes `count` bytes of the stream and logs every line they complete. */
void TakeOutput(OutputLines *lines, const char *data, size_t count);
/* Logs the line held without its end: all of it when `whole` (the stream has
 * ended), else all but a character it cuts short (the stream has paused). */
void LogHeldLine(OutputLines *lines, bool whole);
/* One blocking read of up to `size` bytes into `buffer`, taken into `lines`:
 * 1 to read again, 0 at the pipe's end (every writer has closed it) or on a failure. */
int ReadPipeOutput(HANDLE pipe, OutputLines *lines, char *buffer, DWORD size);
DWORD WINAPI StdOutPipeReader(LPVOID pipe);
DWORD WINAPI StdErrPipeReader(LPVOID pipe);

#endif
