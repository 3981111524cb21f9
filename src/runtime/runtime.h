/* The service runtime: service entry and status, supervisor, detached child,
 * shutdown command and output pipes. */
#ifndef PELORIM_RUNTIME_H
#define PELORIM_RUNTIME_H

#include <windows.h>

/* Serialises status reports; initialised at start-up before dispatch. */
extern CRITICAL_SECTION statusLock;
void InitializeServiceStatus(void);

int RunServiceDispatcher(void);
void WINAPI ServiceMain(DWORD argc, LPSTR *argv);
void WINAPI ServiceControlHandler(DWORD control);
DWORD ReportServiceStatus(DWORD state, DWORD waitHint);

extern HANDLE applicationHandle;
int SuperviseApplication(void);
int BeginStop(void);
DWORD WINAPI ApplicationThread(LPVOID unused);
DWORD WINAPI ShutdownWatcher(LPVOID unused);
DWORD WINAPI StopMonitor(LPVOID unused);
BOOL WINAPI ConsoleControlHandler(DWORD event);

/* The detached child's start; NULL on failure. */
HANDLE LaunchSubprocess(void);
/* The child's steps after /subprocess: returns 1 with *exitCode set when the
 * child ran the application, 0 when the switch is to be ignored. */
int RunSubprocess(int *exitCode);

int RunShutdownCommand(void);
bool IsExecutableImage(const char *path);

DWORD WINAPI OutputPipeServer(LPVOID kind);
void LogOutputChunk(char *buffer, DWORD count, int level);
DWORD WINAPI StdOutPipeReader(LPVOID pipe);
DWORD WINAPI StdErrPipeReader(LPVOID pipe);
int ReadPipeChunk(HANDLE pipe, int level);

/* "\\.\PIPE\PELORIM_<service>_STDOUT" (kind 0) or "_STDERR" (kind 1); the caller frees it. */
char *FormatPipeName(int kind);

#endif
