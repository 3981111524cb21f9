#include "harness.h"

#include <windows.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace harness {

/* The directories that this process made for its test. They are removed when
 * the process ends after a test that passed (a root holds megabytes of disk
 * kept in reserve for its controller), and kept after a failure for a look,
 * or always with PELORIM_KEEP_TEST_FILES set. Only the process that made
 * them removes them: a forked child that exits leaves them alone. */
static std::vector<std::string> madeDirectories;
static pid_t directoryMaker;

static int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

static void RemoveMadeDirectories(void) {
    if (getpid() != directoryMaker || getenv("PELORIM_KEEP_TEST_FILES") != nullptr) return;
    if (testing::UnitTest::GetInstance()->Failed()) return;
    for (const std::string &directory : madeDirectories) nftw(directory.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

static void NoteMadeDirectory(const std::string &directory) {
    if (madeDirectories.empty()) {
        directoryMaker = getpid();
        atexit(RemoveMadeDirectories);
    }
    if (getpid() == directoryMaker) madeDirectories.push_back(directory);
}

std::string MakeTempDirectory(const std::string &prefix) {
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        perror("mkdtemp");
        abort();
    }
    NoteMadeDirectory(buffer.data());
    return buffer.data();
}

std::string MakeFreshRoot() {
    static bool made = false;
    if (made) {
        fputs("harness: a second fresh root in one process; the platform layer keeps the first PELORIM_ROOT it "
              "sees, so each test runs in a process of its own (ctest does this; by hand, one --gtest_filter "
              "test at a time)\n",
              stderr);
        abort();
    }
    made = true;
    std::string root = MakeTempDirectory("pelorim-root");
    setenv("PELORIM_ROOT", root.c_str(), 1);
    return root;
}

std::string Root() {
    const char *root = getenv("PELORIM_ROOT");
    return root ? root : "";
}

std::string PelorimExe() { return PELORIM_EXE; }
std::string SupportProgram(const std::string &name) { return std::string(PELORIM_SUPPORT_DIR) + "/" + name; }
std::string JavaClasses() { return PELORIM_JAVA_CLASSES; }
std::string JavaJar(const std::string &name) { return std::string(PELORIM_JAVA_JARS) + "/" + name + ".jar"; }
std::string JavaHome() { return PELORIM_JAVA_HOME; }

static void DrainInto(int fd, std::string &out) {
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) out.append(buffer, (size_t)n);
}

RunResult Run(const std::string &program, const std::vector<std::string> &arguments,
              const RunOptions &options) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) abort();
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) _exit(126);
        for (const auto &name : options.unset) unsetenv(name.c_str());
        for (const auto &entry : options.environment) setenv(entry.first.c_str(), entry.second.c_str(), 1);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const auto &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    RunResult result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
    bool outOpen = true, errOpen = true, killed = false;
    while (outOpen || errOpen) {
        struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        int ready = poll(fds, 2, 200);
        if (ready > 0) {
            for (int i = 0; i < 2; i++) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                std::string &sink = i == 0 ? result.out : result.err;
                size_t before = sink.size();
                DrainInto(fds[i].fd, sink);
                if (sink.size() == before) (i == 0 ? outOpen : errOpen) = false;
            }
        }
        if (!killed && std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            killed = true;
        }
        if (killed) {
            /* Grandchildren may still hold the pipes; stop reading. */
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) break;
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (killed) result.exitCode = -1;
    else if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) result.exitCode = 128 + WTERMSIG(status);
    return result;
}

RunResult RunPelorim(const std::vector<std::string> &arguments, const RunOptions &options) {
    return Run(PelorimExe(), arguments, options);
}

std::string ReadText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void WriteText(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

bool FileExists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool Alive(long long pid) {
    if (pid <= 0 || kill((pid_t)pid, 0) != 0) return false;
    std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close + 2, 1, "Z") != 0;
}

static sqlite3 *OpenDb() {
    sqlite3 *db = nullptr;
    std::string path = Root() + "/machine.db";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

/* Rows of raw column bytes for `sql` with text parameters. */
static std::vector<std::vector<std::string>> QueryWith(const std::string &sql,
                                                       const std::vector<std::string> &parameters) {
    std::vector<std::vector<std::string>> rows;
    sqlite3 *db = OpenDb();
    if (!db) return rows;
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
        for (size_t i = 0; i < parameters.size(); i++)
            sqlite3_bind_text(statement, (int)i + 1, parameters[i].c_str(), -1, SQLITE_TRANSIENT);
        while (sqlite3_step(statement) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int c = 0; c < sqlite3_column_count(statement); c++) {
                const void *bytes = sqlite3_column_blob(statement, c);
                int size = sqlite3_column_bytes(statement, c);
                row.emplace_back(bytes ? std::string((const char *)bytes, (size_t)size) : std::string());
            }
            rows.push_back(row);
        }
    } else {
        fprintf(stderr, "query failed: %s: %s\n", sql.c_str(), sqlite3_errmsg(db));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

std::vector<std::vector<std::string>> Query(const std::string &sql) { return QueryWith(sql, {}); }

std::vector<EventRecord> EventLog() {
    std::vector<EventRecord> records;
    for (const auto &row : Query("SELECT seq, source, type, event_id, category, message FROM eventlog ORDER BY seq")) {
        EventRecord record;
        record.seq = atoll(row[0].c_str());
        record.source = row[1];
        record.type = atoi(row[2].c_str());
        record.eventId = strtoul(row[3].c_str(), nullptr, 10);
        record.category = atoi(row[4].c_str());
        record.message = row[5];
        records.push_back(record);
    }
    return records;
}

std::optional<RegistryValue> RegistryGet(const std::string &path, const std::string &name) {
    auto rows = QueryWith("SELECT type, data FROM registry WHERE path = ?1 COLLATE NOCASE AND name = ?2 COLLATE NOCASE",
                          {path, name});
    if (rows.empty()) return std::nullopt;
    return RegistryValue{(unsigned)strtoul(rows[0][0].c_str(), nullptr, 10), rows[0][1]};
}

std::vector<std::string> RegistryValueNames(const std::string &path) {
    std::vector<std::string> names;
    for (const auto &row : QueryWith("SELECT name FROM registry WHERE path = ?1 COLLATE NOCASE", {path}))
        names.push_back(row[0]);
    return names;
}

std::optional<ServiceStatusRow> ServiceStatus(const std::string &service) {
    auto rows = QueryWith("SELECT state, win32_exit_code, service_exit_code, checkpoint, wait_hint, pid "
                          "FROM service_status WHERE name = ?1 COLLATE NOCASE",
                          {service});
    if (rows.empty()) return std::nullopt;
    ServiceStatusRow row;
    row.state = (unsigned)strtoul(rows[0][0].c_str(), nullptr, 10);
    row.win32ExitCode = (unsigned)strtoul(rows[0][1].c_str(), nullptr, 10);
    row.serviceExitCode = (unsigned)strtoul(rows[0][2].c_str(), nullptr, 10);
    row.checkpoint = (unsigned)strtoul(rows[0][3].c_str(), nullptr, 10);
    row.waitHint = (unsigned)strtoul(rows[0][4].c_str(), nullptr, 10);
    row.pid = atoll(rows[0][5].c_str());
    return row;
}

int ConnectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (sockaddr *)&address, sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool PortAnswers(int port) {
    int fd = ConnectLoopback(port);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool WaitFor(const std::function<bool()> &condition, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (true) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool CreateServiceWithDisplayName(const char *keyName, const char *displayName) {
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, GENERIC_WRITE);
    if (!manager) return false;
    SC_HANDLE service = CreateServiceA(manager, keyName, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "/bin/true", NULL, NULL, "", NULL,
                                       NULL);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return service != NULL;
}

std::vector<std::string> SplitMultiString(const std::string &bytes) {
    std::vector<std::string> strings;
    size_t start = 0;
    while (start < bytes.size() && bytes[start] != '\0') {
        size_t end = bytes.find('\0', start);
        if (end == std::string::npos) end = bytes.size();
        strings.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return strings;
}

} // namespace harness
