/*
 * Shared by the tests of the running service: a fresh root, a control
 * directory for the LongRunning test application, the service's log file, and
 * the program driven as a user drives it.
 */
#ifndef PELORIM_RUNTIME_FIXTURE_H
#define PELORIM_RUNTIME_FIXTURE_H

#include <windows.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

class RunningService : public ::testing::Test {
  protected:
    void SetUp() override {
        root = harness::MakeFreshRoot();
        control = harness::MakeTempDirectory("pelorim-app");
        logFile = control + "/service.log";
    }

    /* No service outlives its test: whatever still runs is killed, detached
     * children included, and the service is removed. */
    void TearDown() override {
        for (const auto &name : installed) {
            auto status = harness::ServiceStatus(name);
            if (status && status->state != SERVICE_STOPPED && status->pid > 0) kill((pid_t)status->pid, SIGKILL);
        }
        for (pid_t child : ChildProcesses()) kill(child, SIGKILL);
        for (const auto &name : installed) Run({name, "/uninstall"});
    }

    harness::RunResult Run(const std::vector<std::string> &arguments, int timeoutSeconds = 120) {
        harness::RunOptions options;
        options.directory = control;
        options.timeoutSeconds = timeoutSeconds;
        return harness::RunPelorim(arguments, options);
    }

    /* /install with the log file, `switches`, and LongRunning on the control directory. */
    void Install(const std::string &name, const std::vector<std::string> &switches,
                 const std::vector<std::string> &javaOptions = {}, const std::string &classes = "",
                 const std::string &mainClass = "LongRunning") {
        std::vector<std::string> arguments = {name, "/install", "/logfile:" + logFile};
        arguments.insert(arguments.end(), switches.begin(), switches.end());
        arguments.insert(arguments.end(), javaOptions.begin(), javaOptions.end());
        arguments.push_back("-cp");
        arguments.push_back(classes.empty() ? harness::JavaClasses() : classes);
        arguments.push_back(mainClass);
        arguments.push_back(control);
        harness::RunResult result = Run(arguments);
        ASSERT_EQ(0, result.exitCode) << result.out << result.err;
        installed.push_back(name);
    }

    harness::RunResult Timed(const std::vector<std::string> &arguments, double *seconds) {
        auto begin = std::chrono::steady_clock::now();
        harness::RunResult result = Run(arguments);
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        return result;
    }

    std::string Log() const { return harness::FileExists(logFile) ? harness::ReadText(logFile) : ""; }
    bool LogHas(const std::string &text) const { return Log().find(text) != std::string::npos; }
    bool AwaitLog(const std::string &text, double seconds = 20) {
        return harness::WaitFor([&] { return LogHas(text); }, seconds);
    }

    /* Drops a control file for LongRunning (out, err, exit, stop). */
    void Tell(const std::string &file, const std::string &text = "") {
        harness::WriteText(control + "/" + file + ".tmp", text);
        ASSERT_EQ(0, rename((control + "/" + file + ".tmp").c_str(), (control + "/" + file).c_str()));
    }

    /* The port PortServer listens on, once it has written it; 0 before that. */
    int AwaitServerPort(double seconds = 30) {
        std::string file = control + "/port";
        if (!harness::WaitFor([&] { return harness::FileExists(file); }, seconds)) return 0;
        return atoi(harness::ReadText(file).c_str());
    }

    /* The status as the controller reports it: a process that vanished
     * without STOPPED reads as STOPPED with 1067. */
    static bool QueryStatus(const std::string &name, SERVICE_STATUS *status) {
        SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
        if (manager == NULL) return false;
        SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS);
        bool queried = service != NULL && QueryServiceStatus(service, status);
        if (service != NULL) CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return queried;
    }
    static unsigned ExitCodeOf(const std::string &name) {
        SERVICE_STATUS status = {};
        return QueryStatus(name, &status) ? status.dwWin32ExitCode : ~0u;
    }
    bool IsState(const std::string &name, unsigned state) {
        SERVICE_STATUS status = {};
        return QueryStatus(name, &status) && status.dwCurrentState == state;
    }
    bool AwaitState(const std::string &name, unsigned state, double seconds = 30) {
        return harness::WaitFor([&] { return IsState(name, state); }, seconds);
    }
    long long ServicePid(const std::string &name) {
        auto status = harness::ServiceStatus(name);
        return status ? status->pid : 0;
    }

    static bool Alive(long long pid) { return harness::Alive(pid); }

    /* Live /subprocess children of this test's root. */
    static std::vector<pid_t> ChildProcesses() {
        std::vector<pid_t> found;
        DIR *proc = opendir("/proc");
        if (proc == nullptr) return found;
        while (struct dirent *entry = readdir(proc)) {
            pid_t pid = (pid_t)atoi(entry->d_name);
            if (pid <= 0) continue;
            std::string path = "/proc/" + std::string(entry->d_name) + "/cmdline";
            std::string line = harness::FileExists(path) ? harness::ReadText(path) : "";
            if (line.find("/subprocess") == std::string::npos || !Alive(pid)) continue;
            std::string environment = std::string(1, '\0') + harness::ReadText("/proc/" + std::string(entry->d_name) + "/environ");
            std::string ours = std::string(1, '\0') + "PELORIM_ROOT=" + harness::Root() + std::string(1, '\0');
            if (environment.find(ours) != std::string::npos) found.push_back(pid);
        }
        closedir(proc);
        return found;
    }

    /* Whether the process has the Java runtime library mapped. */
    static bool HostsJvm(long long pid) {
        std::string maps = harness::ReadText("/proc/" + std::to_string(pid) + "/maps");
        return maps.find("libjvm.so") != std::string::npos;
    }

    /* The FIFOs left under the root. */
    std::vector<std::string> Fifos() const {
        std::vector<std::string> names;
        DIR *pipes = opendir((root + "/pipes").c_str());
        if (pipes == nullptr) return names;
        while (struct dirent *entry = readdir(pipes))
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        closedir(pipes);
        return names;
    }

    std::vector<std::string> EventMessages() {
        std::vector<std::string> messages;
        for (const auto &record : harness::EventLog()) messages.push_back(record.message);
        return messages;
    }
    bool EventLogged(const std::string &message) {
        for (const auto &text : EventMessages())
            if (text == message) return true;
        return false;
    }

    std::string root, control, logFile;
    std::vector<std::string> installed;
};

#endif
