/*
 * What the tests share: a fresh machine root per test, running the built
 * program (or a support program) as a user does, and reading the machine
 * state through the documented views of machine.db.
 */
#ifndef PELORIM_TEST_HARNESS_H
#define PELORIM_TEST_HARNESS_H

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "security_text.h"

namespace harness {

/* Makes a new empty directory under the system's temporary directory. */
std::string MakeTempDirectory(const std::string &prefix);

/* Makes a fresh root and points PELORIM_ROOT of this process (and so of every
 * program it runs) at it. Call before the first platform call of the test.
 * The platform layer keeps the first root it sees for the life of the process,
 * so one process runs one test: a second call aborts the process. */
std::string MakeFreshRoot();
std::string Root();

struct RunResult {
    int exitCode = -1;   /* the exit code, or 128 + signal */
    std::string out;
    std::string err;
};

struct RunOptions {
    std::string directory;                        /* working directory; empty: inherit */
    std::map<std::string, std::string> environment; /* added to (or replacing in) ours */
    std::vector<std::string> unset;               /* variables removed */
    int timeoutSeconds = 120;                     /* killed after this; exitCode then -1 */
};

/* Runs `program` with `arguments` (argv[1...]), stdin on /dev/null. */
RunResult Run(const std::string &program, const std::vector<std::string> &arguments,
              const RunOptions &options = RunOptions());
/* Runs the built pelorim. */
RunResult RunPelorim(const std::vector<std::string> &arguments,
                     const RunOptions &options = RunOptions());

std::string PelorimExe();
std::string SupportProgram(const std::string &name);
std::string JavaClasses();
std::string JavaJar(const std::string &name);
std::string JavaHome();

std::string ReadText(const std::string &path);
void WriteText(const std::string &path, const std::string &text);
bool FileExists(const std::string &path);

/* Whether process `pid` runs, and is not merely a zombie nobody has reaped yet. */
bool Alive(long long pid);

struct EventRecord {
    long long seq;
    std::string source;
    int type;
    unsigned long eventId;
    int category;
    std::string message;
};
/* The Application event log of the current root, oldest first. */
std::vector<EventRecord> EventLog();

/* A registry value of the current root (path relative to HKEY_LOCAL_MACHINE,
 * backslashes), or nothing. */
struct RegistryValue {
    unsigned type;
    std::string data; /* the stored bytes */
};
std::optional<RegistryValue> RegistryGet(const std::string &path, const std::string &name);
std::vector<std::string> RegistryValueNames(const std::string &path);

struct ServiceStatusRow {
    unsigned state = 0, win32ExitCode = 0, serviceExitCode = 0, checkpoint = 0, waitHint = 0;
    long long pid = 0;
};
std::optional<ServiceStatusRow> ServiceStatus(const std::string &service);

/* Runs a query on machine.db of the current root; rows of text columns. */
std::vector<std::vector<std::string>> Query(const std::string &sql);

/* A connection to 127.0.0.1:port (a descriptor the caller closes), or -1. */
int ConnectLoopback(int port);
/* Whether something accepts connections on 127.0.0.1:port. */
bool PortAnswers(int port);

/* Polls `condition` every 50 ms until it holds or `seconds` pass. */
bool WaitFor(const std::function<bool()> &condition, double seconds);

/* Creates, through the Win32 API, a demand-start service whose display name
 * differs from its key name (its program does nothing). */
bool CreateServiceWithDisplayName(const char *keyName, const char *displayName);


/* Splits a multi-string (REG_MULTI_SZ bytes) into its strings. */
std::vector<std::string> SplitMultiString(const std::string &bytes);

} // namespace harness

#endif
