/* The service controller, through the Win32 API, with the svctool support
 * program as the service process. */
#include <windows.h>

#include <gtest/gtest.h>
#include <limits.h>
#include <dirent.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

const char kServicesKey[] = "System\\CurrentControlSet\\Services\\";

std::string ResolvedRoot() {
    char resolved[PATH_MAX];
    return realpath(harness::Root().c_str(), resolved) ? resolved : harness::Root();
}

std::string Quoted(const std::string &text) { return "\"" + text + "\""; }

std::string SvcToolCommand(const std::string &name, const std::string &mode, int delayMs = 300) {
    std::string nameWord = name.find(' ') == std::string::npos ? name : Quoted(name);
    return Quoted(harness::SupportProgram("svctool")) + " " + nameWord + " /service " + mode + " " +
           std::to_string(delayMs);
}

/* The pids of this process's children (of every thread), blank-separated. */
std::string ChildrenOfThisProcess() {
    std::string children;
    DIR *tasks = opendir("/proc/self/task");
    if (!tasks) return "?";
    while (struct dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        children += harness::ReadText(std::string("/proc/self/task/") + entry->d_name + "/children");
    }
    closedir(tasks);
    return children;
}

/* Runs `sql` on machine.db of the current root, behind the layer's back. */
bool Execute(const char *sql) {
    sqlite3 *db = nullptr;
    bool done = sqlite3_open_v2((harness::Root() + "/machine.db").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) ==
                    SQLITE_OK &&
                sqlite3_busy_timeout(db, 5000) == SQLITE_OK &&
                sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return done;
}

/* The parent of process `pid` (field 4 of its stat line), or 0. */
pid_t ParentOf(pid_t pid) {
    std::string stat = harness::ReadText("/proc/" + std::to_string(pid) + "/stat");
    size_t end = stat.rfind(')');
    int parent = 0;
    char state = 0;
    if (end == std::string::npos || sscanf(stat.c_str() + end + 1, " %c %d", &state, &parent) != 2) return 0;
    return (pid_t)parent;
}

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        harness::MakeFreshRoot();
        manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager, nullptr) << GetLastError();
    }

    void TearDown() override {
        /* Services left behind by a failing test must not outlive it. */
        for (const auto &row : harness::Query("SELECT pid FROM service_status WHERE state <> 1")) {
            long long pid = atoll(row[0].c_str());
            if (pid > 0 && pid != getpid()) kill((pid_t)pid, SIGKILL);
        }
        if (manager) CloseServiceHandle(manager);
    }

    SC_HANDLE Create(const std::string &name, const std::string &command, const char *dependencies = nullptr,
                     DWORD startType = SERVICE_DEMAND_START, const char *displayName = nullptr) {
        return CreateServiceA(manager, name.c_str(), displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              startType, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, dependencies,
                              nullptr, nullptr);
    }

    SC_HANDLE CreateTool(const std::string &name, const std::string &mode, const char *dependencies = nullptr) {
        SC_HANDLE service = Create(name, SvcToolCommand(name, mode), dependencies);
        EXPECT_NE(service, nullptr) << GetLastError();
        return service;
    }

    static SERVICE_STATUS Status(SC_HANDLE service) {
        SERVICE_STATUS status = {};
        EXPECT_TRUE(QueryServiceStatus(service, &status)) << GetLastError();
        return status;
    }

    static bool WaitForState(SC_HANDLE service, DWORD state, double seconds = 10) {
        return harness::WaitFor([&] { return Status(service).dwCurrentState == state; }, seconds);
    }

    static void Stop(SC_HANDLE service) {
        SERVICE_STATUS status;
        EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
        EXPECT_TRUE(WaitForState(service, SERVICE_STOPPED));
    }

    static std::string ToolLog(const std::string &name) {
        return harness::ReadText(harness::Root() + "/svctool-" + name + ".log");
    }

    static bool KeyExists(const std::string &name) {
        HKEY key;
        LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kServicesKey + name).c_str(), 0, KEY_READ, &key);
        if (status == ERROR_SUCCESS) RegCloseKey(key);
        return status == ERROR_SUCCESS;
    }

    SC_HANDLE manager = nullptr;
};

TEST_F(ServiceTest, CreateStoresTheEntryAndQueryConfigPacksIt) {
    SC_HANDLE service = Create("Alpha", "/opt/alpha/bin/alpha Alpha /service", "Beta\0Gamma\0", SERVICE_AUTO_START,
                               "Alpha Display");
    ASSERT_NE(service, nullptr) << GetLastError();

    std::string key = std::string(kServicesKey) + "Alpha";
    auto imagePath = harness::RegistryGet(key, "ImagePath");
    ASSERT_TRUE(imagePath);
    EXPECT_EQ(imagePath->type, (unsigned)REG_EXPAND_SZ);
    EXPECT_EQ(imagePath->data, std::string("/opt/alpha/bin/alpha Alpha /service\0", 36));
    auto start = harness::RegistryGet(key, "Start");
    ASSERT_TRUE(start);
    EXPECT_EQ(start->type, (unsigned)REG_DWORD);
    EXPECT_EQ(start->data, std::string("\2\0\0\0", 4));
    auto dependencies = harness::RegistryGet(key, "DependOnService");
    ASSERT_TRUE(dependencies);
    EXPECT_EQ(dependencies->type, (unsigned)REG_MULTI_SZ);
    EXPECT_EQ(harness::SplitMultiString(dependencies->data), (std::vector<std::string>{"Beta", "Gamma"}));
    EXPECT_EQ(harness::RegistryGet(key, "ObjectName")->data, std::string("LocalSystem\0", 12));

    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceConfigA(service, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    ASSERT_GT(needed, sizeof(QUERY_SERVICE_CONFIGA));
    std::vector<char> buffer(needed);
    auto *config = (QUERY_SERVICE_CONFIGA *)buffer.data();
    EXPECT_FALSE(QueryServiceConfigA(service, config, needed - 1, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(QueryServiceConfigA(service, config, needed, &needed)) << GetLastError();
    EXPECT_EQ(config->dwServiceType, (DWORD)SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(config->dwStartType, (DWORD)SERVICE_AUTO_START);
    EXPECT_EQ(config->dwErrorControl, (DWORD)SERVICE_ERROR_NORMAL);
    EXPECT_STREQ(config->lpBinaryPathName, "/opt/alpha/bin/alpha Alpha /service");
    EXPECT_STREQ(config->lpDisplayName, "Alpha Display");
    EXPECT_STREQ(config->lpServiceStartName, "LocalSystem");
    EXPECT_EQ(std::string(config->lpDependencies, 12), std::string("Beta\0Gamma\0\0", 12));
    for (char *text : {config->lpBinaryPathName, config->lpDisplayName, config->lpDependencies}) {
        EXPECT_GE(text, buffer.data() + sizeof(QUERY_SERVICE_CONFIGA));
        EXPECT_LT(text, buffer.data() + needed);
    }

    /* The service SID type is kept where Windows keeps it. */
    SERVICE_SID_INFO sidInfo = {SERVICE_SID_TYPE_UNRESTRICTED};
    ASSERT_TRUE(ChangeServiceConfig2A(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sidInfo)) << GetLastError();
    EXPECT_EQ(harness::RegistryGet(key, "ServiceSidType")->data, std::string("\1\0\0\0", 4));
    sidInfo.dwServiceSidType = 2;
    EXPECT_FALSE(ChangeServiceConfig2A(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sidInfo));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ChangeServiceConfig2A(service, 1, &sidInfo));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_LEVEL);

    /* A service never started reads as stopped. */
    SERVICE_STATUS status = Status(service);
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    auto row = harness::ServiceStatus("Alpha");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->state, 1u);
    CloseServiceHandle(service);

    /* An empty dependency list (a single NUL) stores no dependencies. */
    SC_HANDLE plain = Create("Plain", "/bin/true", "\0");
    ASSERT_NE(plain, nullptr);
    auto none = harness::RegistryGet(std::string(kServicesKey) + "Plain", "DependOnService");
    EXPECT_TRUE(!none || harness::SplitMultiString(none->data).empty());
    ASSERT_TRUE(QueryServiceConfigA(plain, config, needed, &needed)) << GetLastError();
    EXPECT_EQ(config->lpDependencies[0], '\0');
    EXPECT_STREQ(config->lpDisplayName, "Plain");
    CloseServiceHandle(plain);
}

TEST_F(ServiceTest, NamesAndHandlesAreCheckedAsWindowsDoes) {
    SC_HANDLE first = Create("First", "/bin/true", nullptr, SERVICE_DEMAND_START, "First Shown");
    ASSERT_NE(first, nullptr);
    CloseServiceHandle(first);

    EXPECT_EQ(Create("FIRST", "/bin/true"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_EXISTS);
    /* A display name taken as a display name or as a key name, or a name taken as a display name. */
    EXPECT_EQ(Create("Second", "/bin/true", nullptr, SERVICE_DEMAND_START, "first shown"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DUPLICATE_SERVICE_NAME);
    EXPECT_EQ(Create("Second", "/bin/true", nullptr, SERVICE_DEMAND_START, "first"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DUPLICATE_SERVICE_NAME);
    EXPECT_EQ(Create("First Shown", "/bin/true"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DUPLICATE_SERVICE_NAME);
    for (const char *bad : {"", "a/b", "a\\b"}) {
        EXPECT_EQ(Create(bad, "/bin/true"), nullptr) << bad;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME) << bad;
        EXPECT_EQ(OpenServiceA(manager, bad, SERVICE_ALL_ACCESS), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME) << bad;
    }
    EXPECT_FALSE(KeyExists("a"));

    EXPECT_EQ(OpenServiceA(manager, "Missing", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
    SC_HANDLE opened = OpenServiceA(manager, "first", SERVICE_QUERY_STATUS);
    ASSERT_NE(opened, nullptr) << GetLastError();

    EXPECT_EQ(OpenSCManagerA("elsewhere", nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(OpenSCManagerA(nullptr, "NoSuchDatabase", SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DATABASE_DOES_NOT_EXIST);

    SERVICE_STATUS status;
    EXPECT_FALSE(QueryServiceStatus(manager, &status)); /* a manager is no service */
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(OpenServiceA(opened, "First", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseServiceHandle(opened));
    EXPECT_FALSE(CloseServiceHandle(opened));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ControlService(nullptr, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(ServiceTest, DeletingAStoppedServiceRemovesItsWholeKey) {
    SC_HANDLE service = Create("Doomed", "/bin/true");
    ASSERT_NE(service, nullptr);
    HKEY parameters;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kServicesKey) + "Doomed\\Parameters\\Deep").c_str(),
                              0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &parameters, nullptr),
              ERROR_SUCCESS);
    DWORD value = 7;
    RegSetValueExA(parameters, "Value", 0, REG_DWORD, (const BYTE *)&value, sizeof value);
    RegCloseKey(parameters);

    ASSERT_TRUE(DeleteService(service)) << GetLastError();
    EXPECT_FALSE(KeyExists("Doomed"));
    EXPECT_FALSE(KeyExists("Doomed\\Parameters\\Deep"));
    EXPECT_FALSE(harness::ServiceStatus("Doomed"));
    EXPECT_EQ(OpenServiceA(manager, "Doomed", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
    /* The handle outlives the entry: as on Windows it reads as marked for deletion. */
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
    CloseServiceHandle(service);

    /* The name is free again. */
    service = Create("Doomed", "/bin/true");
    EXPECT_NE(service, nullptr) << GetLastError();
    CloseServiceHandle(service);
}

TEST_F(ServiceTest, StartInterrogateAndStopRoundTrip) {
    /* ControlService answers the latest status: STOPPED too, when the service
     * stops before the reply is read. A slow stop pins down the handler's own. */
    SC_HANDLE service = CreateTool("Runner", "slowstop");
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_ALREADY_RUNNING);
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));

    SERVICE_STATUS status = {};
    EXPECT_FALSE(ControlService(service, 77, &status));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SERVICE_CONTROL);
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_RUNNING);
    EXPECT_EQ(status.dwControlsAccepted, (DWORD)SERVICE_ACCEPT_STOP);

    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOP_PENDING); /* what the handler reported */
    ASSERT_TRUE(WaitForState(service, SERVICE_STOPPED));
    EXPECT_EQ(Status(service).dwWin32ExitCode, 0u);

    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
    /* The handler ran in the service process, the dispatcher returned, and
     * ServiceMain got the service name as its only argument. */
    EXPECT_TRUE(harness::WaitFor([] { return ToolLog("Runner").find("dispatcher returned") != std::string::npos; }, 10));
    EXPECT_EQ(ToolLog("Runner"), "main 1 Runner\ncontrol 4\ncontrol 1\ndispatcher returned\n");
    auto row = harness::ServiceStatus("Runner");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->state, 1u);

    /* A stopped service starts again. */
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    Stop(service);
    CloseServiceHandle(service);
}

TEST_F(ServiceTest, OfConcurrentStartsExactlyOneLaunches) {
    SC_HANDLE service = CreateTool("Contested", "run");
    std::vector<DWORD> results(4, 0);
    std::vector<std::thread> starters;
    for (size_t i = 0; i < results.size(); i++)
        starters.emplace_back([&, i] { results[i] = StartServiceA(service, 0, nullptr) ? 0 : GetLastError(); });
    for (auto &starter : starters) starter.join();
    EXPECT_EQ(std::count(results.begin(), results.end(), 0u), 1);
    EXPECT_EQ(std::count(results.begin(), results.end(), (DWORD)ERROR_SERVICE_ALREADY_RUNNING), 3);
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    Stop(service);
    EXPECT_EQ(ToolLog("Contested").find("main"), ToolLog("Contested").rfind("main")); /* one process ran */
    CloseServiceHandle(service);
}

TEST_F(ServiceTest, TheServiceGetsAFixedEnvironmentAndNoTerminal) {
    setenv("PELORIM_CONSOLE_ONLY", "leak", 1);
    SC_HANDLE service = CreateTool("Envy", "run");
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    std::string seen = harness::ReadText(harness::Root() + "/svctool-Envy.env");
    EXPECT_EQ(ChildrenOfThisProcess(), "") << "the service process is no child of ours, nor is its launcher";
    Stop(service);

    std::vector<std::string> environment;
    size_t start = 0;
    while (start < seen.size()) {
        size_t end = seen.find('\n', start);
        std::string line = seen.substr(start, end - start);
        if (line.compare(0, 4, "env ") == 0) environment.push_back(line.substr(4));
        start = end + 1;
    }
    std::sort(environment.begin(), environment.end());
    const char *home = geteuid() == 0 ? "/root" : getenv("HOME");
    std::vector<std::string> expected = {"HOME=" + std::string(home ? home : ""), "LANG=C.UTF-8",
                                         "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                                         "PELORIM_ROOT=" + ResolvedRoot(),
                                         "PELORIM_SERVICE_NAME=Envy"};
    std::sort(expected.begin(), expected.end());
    if (geteuid() != 0) environment.erase(environment.begin()); /* HOME of a non-root user: not compared */
    if (geteuid() != 0) expected.erase(expected.begin());
    EXPECT_EQ(environment, expected);
    EXPECT_NE(seen.find("cwd /\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("fd0 /dev/null\nfd1 /dev/null\nfd2 /dev/null\n"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("sid " + std::to_string(getsid(0)) + "\n"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("ppid " + std::to_string(getpid()) + "\n"), std::string::npos) << seen;
    CloseServiceHandle(service);
}

TEST_F(ServiceTest, ANameWithABlankIsQuotedAndStarts) {
    SC_HANDLE service = CreateTool("My Service", "run");
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    Stop(service);
    EXPECT_EQ(ToolLog("My Service").substr(0, 18), "main 1 My Service\n");
    CloseServiceHandle(service);
}

TEST_F(ServiceTest, DependenciesStartFirstAndTheirFailuresAreReported) {
    SC_HANDLE base = CreateTool("Base", "run");
    SC_HANDLE top = CreateTool("Top", "run", "base\0");
    ASSERT_TRUE(StartServiceA(top, 0, nullptr)) << GetLastError();
    EXPECT_EQ(Status(base).dwCurrentState, (DWORD)SERVICE_RUNNING);
    ASSERT_TRUE(WaitForState(top, SERVICE_RUNNING));
    Stop(top);
    Stop(base);

    SC_HANDLE orphan = CreateTool("Orphan", "run", "Nowhere\0");
    EXPECT_FALSE(StartServiceA(orphan, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DEPENDENCY_DELETED);

    SC_HANDLE failing = CreateTool("Failing", "fail5");
    SC_HANDLE needy = CreateTool("Needy", "run", "Failing\0");
    EXPECT_FALSE(StartServiceA(needy, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DEPENDENCY_FAIL);
    EXPECT_EQ(Status(needy).dwCurrentState, (DWORD)SERVICE_STOPPED);

    SC_HANDLE off = Create("Off", SvcToolCommand("Off", "run"), nullptr, SERVICE_DISABLED);
    EXPECT_FALSE(StartServiceA(off, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DISABLED);
    SC_HANDLE onOff = CreateTool("OnOff", "run", "Off\0");
    EXPECT_FALSE(StartServiceA(onOff, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DEPENDENCY_FAIL);

    SC_HANDLE chicken = CreateTool("Chicken", "run", "Egg\0");
    SC_HANDLE egg = CreateTool("Egg", "run", "Chicken\0");
    EXPECT_FALSE(StartServiceA(chicken, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CIRCULAR_DEPENDENCY);
    EXPECT_EQ(Status(egg).dwCurrentState, (DWORD)SERVICE_STOPPED);
    for (SC_HANDLE handle : {base, top, orphan, failing, needy, off, onOff, chicken, egg}) CloseServiceHandle(handle);
}

TEST_F(ServiceTest, DeletingARunningServiceRemovesItWhenItStops) {
    SC_HANDLE service = CreateTool("Leaving", "run");
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    HKEY parameters;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kServicesKey) + "Leaving\\Parameters").c_str(), 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &parameters, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(parameters);

    ASSERT_TRUE(DeleteService(service)) << GetLastError();
    EXPECT_TRUE(KeyExists("Leaving"));
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
    SC_HANDLE other = OpenServiceA(manager, "Leaving", DELETE);
    ASSERT_NE(other, nullptr);
    EXPECT_FALSE(DeleteService(other));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_EQ(Create("Leaving", "/bin/true"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);

    Stop(service);
    EXPECT_TRUE(harness::WaitFor([this] { return !KeyExists("Leaving"); }, 10));
    EXPECT_FALSE(KeyExists("Leaving\\Parameters"));
    EXPECT_FALSE(harness::ServiceStatus("Leaving"));
    EXPECT_EQ(OpenServiceA(manager, "Leaving", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
    CloseServiceHandle(other);
    CloseServiceHandle(service);
}

TEST_F(ServiceTest, AProcessThatVanishesReadsAsStoppedWith1067) {
    for (const char *mode : {"crash", "vanish"}) {
        SC_HANDLE service = CreateTool(mode, mode);
        ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
        ASSERT_TRUE(WaitForState(service, SERVICE_STOPPED)) << mode;
        SERVICE_STATUS status = Status(service);
        EXPECT_EQ(status.dwWin32ExitCode, (DWORD)ERROR_PROCESS_ABORTED) << mode;
        EXPECT_EQ(status.dwCheckPoint, 0u);
        auto row = harness::ServiceStatus(mode);
        ASSERT_TRUE(row);
        EXPECT_EQ(row->state, 1u);
        EXPECT_EQ(row->win32ExitCode, (unsigned)ERROR_PROCESS_ABORTED);
        SERVICE_STATUS ignored;
        EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &ignored));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_NOT_ACTIVE);
        CloseServiceHandle(service);
    }

    /* A kill of the service's whole process group spares its watcher, which
     * records the end in machine.db without any status call. */
    SC_HANDLE grouped = CreateTool("Grouped", "run");
    ASSERT_TRUE(StartServiceA(grouped, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(grouped, SERVICE_RUNNING));
    pid_t pid = (pid_t)harness::ServiceStatus("Grouped")->pid;
    pid_t group = getpgid(pid);
    ASSERT_GT(group, 1);
    ASSERT_NE(group, getpgid(0));
    ASSERT_EQ(0, kill(-group, SIGKILL));
    EXPECT_TRUE(harness::WaitFor([] { return harness::ServiceStatus("Grouped")->state == SERVICE_STOPPED; }, 10));
    EXPECT_EQ(harness::ServiceStatus("Grouped")->win32ExitCode, (unsigned)ERROR_PROCESS_ABORTED);
    EXPECT_FALSE(harness::Query("SELECT seq FROM eventlog WHERE event_id = 7034 AND message LIKE '%Grouped%'").empty());
    CloseServiceHandle(grouped);

    /* A pending deletion is carried out when the vanished process is noticed. */
    SC_HANDLE service = Create("Ghost", SvcToolCommand("Ghost", "vanish", 1500));
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(DeleteService(service)) << GetLastError();
    EXPECT_TRUE(harness::WaitFor([&] { return Status(service).dwCurrentState == SERVICE_STOPPED; }, 10));
    EXPECT_FALSE(KeyExists("Ghost"));
    CloseServiceHandle(service);

    /* machine.db cannot take the record for a reason that does not pass (here
     * a schema the watcher does not know): the watcher gives up and ends
     * instead of trying every second for ever. */
    SC_HANDLE stranded = CreateTool("Stranded", "run");
    ASSERT_TRUE(StartServiceA(stranded, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(stranded, SERVICE_RUNNING));
    pid_t servicePid = (pid_t)harness::ServiceStatus("Stranded")->pid;
    pid_t watcher = ParentOf(servicePid);
    ASSERT_GT(watcher, 1);
    ASSERT_TRUE(Execute("ALTER TABLE service_runtime RENAME TO service_runtime_elsewhere"));
    ASSERT_EQ(0, kill(servicePid, SIGKILL));
    EXPECT_TRUE(harness::WaitFor([&] { return !harness::Alive(watcher); }, 20)) << "the watcher never gave up";
    ASSERT_TRUE(Execute("ALTER TABLE service_runtime_elsewhere RENAME TO service_runtime"));
    EXPECT_EQ(Status(stranded).dwWin32ExitCode, (DWORD)ERROR_PROCESS_ABORTED);
    CloseServiceHandle(stranded);
}

TEST_F(ServiceTest, AServiceStoppingItselfKeepsItsExitCodes) {
    SC_HANDLE service = CreateTool("Quitter", "fail5");
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(service, SERVICE_STOPPED));
    SERVICE_STATUS status = Status(service);
    EXPECT_EQ(status.dwWin32ExitCode, (DWORD)ERROR_SERVICE_SPECIFIC_ERROR);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 5u);
    auto row = harness::ServiceStatus("Quitter");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->serviceExitCode, 5u);
    EXPECT_TRUE(harness::WaitFor([] { return ToolLog("Quitter").find("dispatcher returned") != std::string::npos; }, 10));
    CloseServiceHandle(service);
}

TEST_F(ServiceTest, ControlsAreRefusedWhileTheServiceCannotTakeThem) {
    SC_HANDLE service = CreateTool("Slow", "pending");
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(harness::WaitFor([&] { return Status(service).dwCheckPoint == 1; }, 10));
    SERVICE_STATUS status = {};
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_START_PENDING);
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_ALREADY_RUNNING);
    auto row = harness::ServiceStatus("Slow");
    ASSERT_TRUE(row);
    kill((pid_t)row->pid, SIGKILL);
    EXPECT_TRUE(WaitForState(service, SERVICE_STOPPED));
    EXPECT_EQ(Status(service).dwWin32ExitCode, (DWORD)ERROR_PROCESS_ABORTED);

    SC_HANDLE stubborn = CreateTool("Stubborn", "ignorestop");
    ASSERT_TRUE(StartServiceA(stubborn, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(stubborn, SERVICE_RUNNING));
    ASSERT_TRUE(ControlService(stubborn, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_RUNNING);
    CloseServiceHandle(stubborn);
    CloseServiceHandle(service);
}

TEST_F(ServiceTest, AStartThatNeverConnectsFailsWith1053) {
    SC_HANDLE quick = Create("Quick", SvcToolCommand("Quick", "noconnect", 0));
    EXPECT_FALSE(StartServiceA(quick, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_EQ(Status(quick).dwCurrentState, (DWORD)SERVICE_STOPPED);

    /* Too late: the start has failed, and the late dispatcher is refused. */
    setenv("PELORIM_SERVICE_START_TIMEOUT_MS", "500", 1);
    SC_HANDLE late = Create("Late", SvcToolCommand("Late", "late", 1500));
    EXPECT_FALSE(StartServiceA(late, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_EQ(Status(late).dwCurrentState, (DWORD)SERVICE_STOPPED);
    EXPECT_TRUE(harness::WaitFor([] { return ToolLog("Late") == "dispatcher error 1063\n"; }, 10)) << ToolLog("Late");
    EXPECT_EQ(Status(late).dwCurrentState, (DWORD)SERVICE_STOPPED);

    SC_HANDLE missing = Create("Missing", "/nonexistent/program Missing /service");
    EXPECT_FALSE(StartServiceA(missing, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Status(missing).dwCurrentState, (DWORD)SERVICE_STOPPED);
    for (SC_HANDLE handle : {quick, late, missing}) CloseServiceHandle(handle);
}

TEST_F(ServiceTest, AProcessStartedByHandCannotConnect) {
    SC_HANDLE service = CreateTool("Manual", "run");
    CloseServiceHandle(service);
    harness::RunOptions unnamed;
    unnamed.unset.push_back("PELORIM_SERVICE_NAME");
    auto plain = harness::Run(harness::SupportProgram("svctool"), {"Manual", "/service", "run"}, unnamed);
    EXPECT_EQ(plain.out, "dispatcher error 1063\n");
    EXPECT_EQ(plain.exitCode, 9);
    harness::RunOptions named;
    named.environment["PELORIM_SERVICE_NAME"] = "Manual";
    auto pretending = harness::Run(harness::SupportProgram("svctool"), {"Manual", "/service", "run"}, named);
    EXPECT_EQ(pretending.out, "dispatcher error 1063\n");
    SC_HANDLE again = OpenServiceA(manager, "Manual", SERVICE_QUERY_STATUS);
    EXPECT_EQ(Status(again).dwCurrentState, (DWORD)SERVICE_STOPPED);
    CloseServiceHandle(again);
}

} // namespace
