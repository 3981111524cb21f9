#include "root.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <pwd.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <new>
#include <string>

#include "descriptor.h"
#include "errors.h"
#include "host.h"

/* Everything below is guarded by machineMutex (recursive: a caller holding the
 * database may ask for the root). */
static pthread_mutex_t machineMutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
static std::string machineRoot;
static sqlite3 *machineDb = nullptr;
static pid_t machineDbOwner = 0; /* the process that opened machineDb */
static pid_t ownPid = 0;         /* getpid(), read once per process */
static pthread_once_t forkHookOnce = PTHREAD_ONCE_INIT;

static void ForgetOwnPid() { ownPid = 0; }

static void InstallForkHook() { pthread_atfork(nullptr, nullptr, ForgetOwnPid); }

/* Called under machineMutex; a forked child reads its own pid anew. */
static pid_t OwnPid() {
    pthread_once(&forkHookOnce, InstallForkHook);
    if (ownPid == 0) ownPid = getpid();
    return ownPid;
}

/* The schema of machine.db. Keys keep their full path (stored case) so that a
 * lookup is one indexed comparison; ids are never reused, so a handle to a
 * deleted key cannot reach a newer key. Views are the documented interface. */
static const char schemaSql[] =
    "CREATE TABLE IF NOT EXISTS machine_info(name TEXT PRIMARY KEY, value TEXT);"
    "CREATE TABLE IF NOT EXISTS registry_keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER,"
    "  name TEXT NOT NULL,"
    "  path TEXT NOT NULL UNIQUE COLLATE NOCASE);"
    "CREATE INDEX IF NOT EXISTS registry_keys_parent ON registry_keys(parent, id);"
    "INSERT OR IGNORE INTO registry_keys(id, parent, name, path) VALUES (1, NULL, '', '');"
    "CREATE TABLE IF NOT EXISTS registry_values("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, name));"
    /* seq is the rowid: the event log never deletes its newest record, so
     * seq grows without AUTOINCREMENT's extra write. ends_at is the log's
     * running size up to and including the record (see eventlog.cpp). */
    "CREATE TABLE IF NOT EXISTS event_records("
    "  seq INTEGER PRIMARY KEY,"
    "  time TEXT NOT NULL,"
    "  source TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  event_id INTEGER NOT NULL,"
    "  category INTEGER NOT NULL,"
    "  message TEXT NOT NULL,"
    "  record_size INTEGER NOT NULL DEFAULT 0,"
    "  ends_at INTEGER NOT NULL DEFAULT 0);"
    /* A record added without its sizes (by a plain INSERT, as the service
     * watcher writes its records) gets them here. */
    "CREATE TRIGGER IF NOT EXISTS event_records_sizes AFTER INSERT ON event_records WHEN NEW.ends_at = 0 BEGIN"
    "  UPDATE event_records SET record_size = " EVENT_RECORD_SIZE_SQL("NEW.source", "NEW.message") ","
    "   ends_at = " EVENT_RECORD_SIZE_SQL("NEW.source", "NEW.message") " + coalesce("
    "   (SELECT ends_at FROM event_records WHERE seq < NEW.seq ORDER BY seq DESC LIMIT 1), 0)"
    "  WHERE seq = NEW.seq;"
    " END;"
    "CREATE VIEW IF NOT EXISTS registry(path, name, type, data) AS"
    "  SELECT k.path, v.name, v.type, v.data FROM registry_values v JOIN registry_keys k ON k.id = v.key;"
    "CREATE VIEW IF NOT EXISTS eventlog(seq, time, source, type, event_id, category, message) AS"
    "  SELECT seq, time, source, type, event_id, category, message FROM event_records;"
    /* The service controller's runtime state, one row per service. */
    "CREATE TABLE IF NOT EXISTS service_runtime ("
    " name TEXT PRIMARY KEY COLLATE NOCASE,"
    " service_type INTEGER NOT NULL DEFAULT 16,"
    " state INTEGER NOT NULL DEFAULT 1,"
    " controls_accepted INTEGER NOT NULL DEFAULT 0,"
    " win32_exit_code INTEGER NOT NULL DEFAULT 0,"
    " service_exit_code INTEGER NOT NULL DEFAULT 0,"
    " checkpoint INTEGER NOT NULL DEFAULT 0,"
    " wait_hint INTEGER NOT NULL DEFAULT 0,"
    " pid INTEGER NOT NULL DEFAULT 0,"
    " pid_start INTEGER NOT NULL DEFAULT 0,"
    " connected INTEGER NOT NULL DEFAULT 0,"
    " delete_pending INTEGER NOT NULL DEFAULT 0);"
    "CREATE VIEW IF NOT EXISTS service_status AS"
    " SELECT name, state, win32_exit_code, service_exit_code, checkpoint, wait_hint, pid"
    " FROM service_runtime;";

static bool IsAbsolute(const char *path) { return path && path[0] == '/'; }

static std::string DefaultRoot() {
    const char *configured = getenv("PELORIM_ROOT");
    if (configured && *configured) return configured;
    if (geteuid() == 0) return "/var/lib/pelorim";
    const char *state = getenv("XDG_STATE_HOME");
    if (IsAbsolute(state)) return std::string(state) + "/pelorim";
    const char *home = getenv("HOME");
    if (!IsAbsolute(home)) {
        struct passwd *entry = getpwuid(geteuid());
        home = entry && IsAbsolute(entry->pw_dir) ? entry->pw_dir : "/tmp";
    }
    return std::string(home) + "/.local/state/pelorim";
}

/* mkdir -p, the last directory (the root) open to its owner alone; 0 or a Win32 code. */
static DWORD MakeDirectories(const std::string &path) {
    std::string partial;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        partial = path.substr(0, slash);
        start = slash + 1;
        if (partial.empty()) continue;
        mode_t mode = slash == path.size() ? 0700 : 0755;
        if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) return LastErrnoAsWin32();
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return LastErrnoAsWin32();
    return S_ISDIR(st.st_mode) ? 0 : (DWORD)ERROR_DIRECTORY;
}

static bool FileExists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

/* The directory of the JDK that a Windows installer would have recorded:
 * /usr/lib/jvm/default-java, else the home of the `java` found on PATH. */
static std::string FindDefaultJdk() {
    char resolved[PATH_MAX];
    if (realpath("/usr/lib/jvm/default-java", resolved)) return resolved;
    const char *path = getenv("PATH");
    if (!path) return "";
    std::string directories = path;
    size_t start = 0;
    while (start <= directories.size()) {
        size_t colon = directories.find(':', start);
        if (colon == std::string::npos) colon = directories.size();
        std::string directory = directories.substr(start, colon - start);
        start = colon + 1;
        if (HostJavaHomeOfLauncher(resolved, sizeof resolved, directory.c_str()) == 0) return resolved;
    }
    return "";
}

/* "17.0.15" gives "17"; "1.8.0_392" gives "1.8", as Java 8 installers name it. */
static std::string ReadJdkVersion(const std::string &home) {
    FILE *release = fopen((home + "/release").c_str(), "re");
    if (!release) return "";
    char line[512];
    std::string version;
    while (fgets(line, sizeof line, release)) {
        static const char prefix[] = "JAVA_VERSION=";
        if (strncmp(line, prefix, sizeof prefix - 1) != 0) continue;
        const char *value = line + sizeof prefix - 1;
        if (*value == '"') value++;
        size_t length = strcspn(value, "\"\r\n");
        version.assign(value, length);
        break;
    }
    fclose(release);
    size_t dot = version.find('.');
    if (version.compare(0, 2, "1.") == 0) dot = version.find('.', 2);
    return dot == std::string::npos ? version : version.substr(0, dot);
}

static std::string FindRuntimeLib(const std::string &home) {
    static const char *const places[] = {"/lib/server/libjvm.so", "/jre/lib/amd64/server/libjvm.so",
                                         "/lib/amd64/server/libjvm.so", "/lib/client/libjvm.so"};
    for (const char *place : places)
        if (FileExists(home + place)) return home + place;
    return "";
}

static int Execute(sqlite3 *db, const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

/* Inserts a key with its parent chain (all under HKEY_LOCAL_MACHINE); returns its id or 0. */
static sqlite3_int64 InsertKeyChain(sqlite3 *db, const char *path) {
    sqlite3_int64 parent = 1;
    std::string current;
    std::string remaining = path;
    while (!remaining.empty()) {
        size_t cut = remaining.find('\\');
        std::string name = remaining.substr(0, cut);
        remaining = cut == std::string::npos ? "" : remaining.substr(cut + 1);
        current = current.empty() ? name : current + "\\" + name;
        sqlite3_stmt *insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO registry_keys(parent, name, path) VALUES (?1, ?2, ?3)", -1,
                           &insert, nullptr);
        sqlite3_bind_int64(insert, 1, parent);
        sqlite3_bind_text(insert, 2, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 3, current.c_str(), -1, SQLITE_TRANSIENT);
        int rc = sqlite3_step(insert);
        sqlite3_finalize(insert);
        if (rc != SQLITE_DONE) return 0;
        sqlite3_stmt *select = nullptr;
        sqlite3_prepare_v2(db, "SELECT id FROM registry_keys WHERE path = ?1", -1, &select, nullptr);
        sqlite3_bind_text(select, 1, current.c_str(), -1, SQLITE_TRANSIENT);
        parent = sqlite3_step(select) == SQLITE_ROW ? sqlite3_column_int64(select, 0) : 0;
        sqlite3_finalize(select);
        if (parent == 0) return 0;
    }
    return parent;
}

/* A REG_SZ value with its terminating NUL, as RegSetValueExA callers store it. */
static int InsertStringValue(sqlite3 *db, sqlite3_int64 key, const char *name, const std::string &text) {
    sqlite3_stmt *insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO registry_values(key, name, type, data) VALUES (?1, ?2, 1, ?3)",
                       -1, &insert, nullptr);
    sqlite3_bind_int64(insert, 1, key);
    sqlite3_bind_text(insert, 2, name, -1, SQLITE_STATIC);
    sqlite3_bind_blob(insert, 3, text.c_str(), (int)text.size() + 1, SQLITE_TRANSIENT);
    int rc = sqlite3_step(insert);
    sqlite3_finalize(insert);
    return rc == SQLITE_DONE ? 0 : 1;
}

/* Records the machine's default JDK as its Windows installer would: from
 * Java 9 on under JavaSoft\\JDK\\<feature> with JavaHome alone; a Java 8 one
 * under the older key, with RuntimeLib. Nothing when there is none. */
static int RegisterDefaultJdk(sqlite3 *db) {
    std::string home = FindDefaultJdk();
    if (home.empty()) return 0;
    std::string version = ReadJdkVersion(home);
    if (version.empty()) return 0;
    bool beforeJava9 = version.compare(0, 2, "1.") == 0;
    std::string kitPath = beforeJava9 ? "Software\\JavaSoft\\Java Development Kit" : "Software\\JavaSoft\\JDK";
    sqlite3_int64 kit = InsertKeyChain(db, kitPath.c_str());
    sqlite3_int64 versionKey = InsertKeyChain(db, (kitPath + "\\" + version).c_str());
    if (!kit || !versionKey) return 1;
    if (InsertStringValue(db, kit, "CurrentVersion", version) != 0) return 1;
    if (InsertStringValue(db, versionKey, "JavaHome", home) != 0) return 1;
    std::string runtimeLib = beforeJava9 ? FindRuntimeLib(home) : "";
    if (!runtimeLib.empty() && InsertStringValue(db, versionKey, "RuntimeLib", runtimeLib) != 0) return 1;
    return 0;
}

static bool QueryReturnsRow(sqlite3 *db, const char *sql) {
    sqlite3_stmt *select = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &select, nullptr);
    bool row = select && sqlite3_step(select) == SQLITE_ROW;
    sqlite3_finalize(select);
    return row;
}

/* An event log written by an earlier version (an AUTOINCREMENT seq, no sizes)
 * is moved aside before the schema is made, and copied back after it with its
 * seq values and the running sizes added. */
static const char oldEventRecords[] = "SELECT 1 FROM pragma_table_info('event_records') WHERE name = 'seq'"
                                      " AND NOT EXISTS (SELECT 1 FROM pragma_table_info('event_records')"
                                      " WHERE name = 'ends_at')";
static const char moveOldEventRecords[] = "DROP VIEW IF EXISTS eventlog;"
                                          "ALTER TABLE event_records RENAME TO event_records_old;";
static const char copyOldEventRecords[] =
    "INSERT INTO event_records"
    " SELECT seq, time, source, type, event_id, category, message, size, sum(size) OVER (ORDER BY seq)"
    " FROM (SELECT *, " EVENT_RECORD_SIZE_SQL("source", "message") " AS size"
    " FROM event_records_old);"
    "DROP TABLE event_records_old;";

/* machine.db's user_version once this schema is complete; raise it with every
 * change of schemaSql or of the upgrade steps. */
static const int schemaVersion = 3;

static int StoredSchemaVersion(sqlite3 *db) {
    sqlite3_stmt *select = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &select, nullptr);
    int version = select && sqlite3_step(select) == SQLITE_ROW ? sqlite3_column_int(select, 0) : 0;
    sqlite3_finalize(select);
    return version;
}

/* Creates the schema, and on a fresh database the default JDK's keys, in one
 * transaction. The caller holds the root's lock file. A database that has the
 * current schema already is left alone, so opening it takes no write lock: every
 * process of the root (the service, its detached child, each console command)
 * opens it. */
static int InitializeSchema(sqlite3 *db) {
    if (StoredSchemaVersion(db) == schemaVersion) return 0;
    if (Execute(db, "BEGIN IMMEDIATE") != SQLITE_OK) return 1;
    {
        bool upgrade = QueryReturnsRow(db, oldEventRecords);
        if (upgrade && Execute(db, moveOldEventRecords) != SQLITE_OK) goto failed;
        if (Execute(db, schemaSql) != SQLITE_OK) goto failed;
        if (upgrade && Execute(db, copyOldEventRecords) != SQLITE_OK) goto failed;
    }
    {
        sqlite3_stmt *select = nullptr;
        sqlite3_prepare_v2(db, "SELECT 1 FROM machine_info WHERE name = 'initialized'", -1, &select, nullptr);
        bool initialized = sqlite3_step(select) == SQLITE_ROW;
        sqlite3_finalize(select);
        if (!initialized) {
            if (RegisterDefaultJdk(db) != 0) goto failed;
            if (Execute(db, "INSERT INTO machine_info VALUES ('initialized', strftime('%Y-%m-%dT%H:%M:%fZ', 'now'))") !=
                SQLITE_OK)
                goto failed;
        }
    }
    if (Execute(db, ("PRAGMA user_version = " + std::to_string(schemaVersion)).c_str()) != SQLITE_OK) goto failed;
    if (Execute(db, "COMMIT") != SQLITE_OK) goto failed;
    return 0;
failed:
    fprintf(stderr, "pelorim: cannot prepare machine.db: %s\n", sqlite3_errmsg(db));
    Execute(db, "ROLLBACK");
    return 1;
}

/* A descriptor of the directory `path` for the *at calls, or -1 with errno. */
static int OpenDirectoryPath(const char *path) {
    return RetryOnInterrupt([&] { return open(path, O_PATH | O_DIRECTORY | O_CLOEXEC); });
}

/* OpenCheckedFile for a file directly under the directory `root`. */
static DWORD OpenCheckedFileIn(const char *root, const char *name, int flags, mode_t mode, int *fd) {
    DescriptorGuard rootFd(OpenDirectoryPath(root));
    if (!rootFd) return LastErrnoAsWin32();
    return OpenCheckedFile(rootFd.Get(), root, name, flags, mode, fd);
}

/* Why machineDb could not be opened (see MachineDbOpenError). */
static DWORD machineDbError = ERROR_REGISTRY_IO_FAILED;

/* Notes why the root cannot be used. A root closed to this user is said once
 * (a planted entry, also refused with ERROR_ACCESS_DENIED, says so itself). */
static void NoteRootFailure(DWORD code) {
    machineDbError = code == ERROR_ACCESS_DENIED ? (DWORD)ERROR_ACCESS_DENIED : (DWORD)ERROR_REGISTRY_IO_FAILED;
    static bool said = false;
    if (code != ERROR_ACCESS_DENIED || said) return;
    if (faccessat(AT_FDCWD, machineRoot.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) == 0) return;
    said = true;
    fprintf(stderr, "pelorim: the machine root %s is closed to this user (uid %d): access denied\n",
            machineRoot.c_str(), (int)geteuid());
}

/* The files that hold the registry, the event log and the services' state
 * are the owner's alone. SQLite gives its -wal and -shm the mode of the
 * database, so machine.db is made with that mode before SQLite opens it. */
static const char *const machineDbFiles[] = {"machine.db", "machine.db-wal", "machine.db-shm"};

static DWORD CreateMachineDb(const std::string &root) {
    DescriptorGuard fd;
    return OpenCheckedFileIn(root.c_str(), "machine.db", O_RDWR | O_CREAT, 0600, fd.Out());
}

/* A root made by an earlier version (0755, machine.db 0644) is closed to
 * others on first use: what the owner may, others may not. Only the owner
 * can, and only what it owns is changed; no entry under the root is followed
 * through a link (the root itself may be one, as configured). */
static void TightenRoot(const std::string &root) {
    DescriptorGuard rootFd(RetryOnInterrupt([&] { return open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!rootFd) return;
    struct stat status;
    if (fstat(rootFd.Get(), &status) == 0 && status.st_uid == geteuid() && (status.st_mode & 077))
        fchmod(rootFd.Get(), status.st_mode & 0700);
    for (const char *name : machineDbFiles) {
        if (fstatat(rootFd.Get(), name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & 077))
            fchmodat(rootFd.Get(), name, status.st_mode & 0700, 0);
    }
}

/* The service controller's state (status rows, the record of an unexpected
 * end) must be written whatever fills the root's file system: the service's
 * own log file, or anything else. Every write of machine.db goes first into
 * its write-ahead log, which SQLite never shortens while a connection is open
 * (it starts again at its beginning after a checkpoint) and removes only when
 * the last one closes, and no process of the layer closes its connection. So
 * the blocks of at least kLogReserveBytes (at most twice that) behind the
 * log's end are kept allocated (FALLOC_FL_KEEP_SIZE: the file's size stays,
 * and SQLite sees nothing): on opening, and after each commit that brought
 * the end within kLogReserveBytes of what is allocated. A write that finds the
 * disk full takes those blocks; the checkpoint, which may need to grow
 * machine.db, cannot restart the log then, so a full disk leaves the
 * controller at least kLogReserveBytes of log (hundreds of status writes).
 * The event log takes nothing while less than its own margin is free
 * (eventlog.cpp), so on a full disk only short writes such as the
 * controller's use them. A file system without the call has no reserve. */
static const off_t kLogReserveBytes = 1ll << 20;
/* SQLite's automatic checkpoint, which the commit hook below takes over. */
static const int kAutoCheckpointFrames = 1000;

namespace {
struct LogReserve {
    int fd;               /* machine.db-wal, held for the connection's life */
    off_t frameSize;      /* a page and the frame's header */
    off_t allocatedUpTo;  /* what this process has had allocated */
};
} // namespace

static void AllocateLogUpTo(LogReserve *reserve, off_t end) {
    if (end + kLogReserveBytes <= reserve->allocatedUpTo) return;
    off_t upTo = end + 2 * kLogReserveBytes;
    if (fallocate(reserve->fd, FALLOC_FL_KEEP_SIZE, 0, upTo) == 0) reserve->allocatedUpTo = upTo;
}

/* The commit hook: SQLite's own automatic checkpoint, then the reserve. */
static int KeepLogReserve(void *context, sqlite3 *db, const char *name, int frames) {
    if (frames >= kAutoCheckpointFrames) sqlite3_wal_checkpoint(db, name);
    LogReserve *reserve = static_cast<LogReserve *>(context);
    AllocateLogUpTo(reserve, 32 + (off_t)frames * reserve->frameSize);
    return SQLITE_OK;
}

static int PageSize(sqlite3 *db) {
    sqlite3_stmt *select = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA page_size", -1, &select, nullptr);
    int size = select && sqlite3_step(select) == SQLITE_ROW ? sqlite3_column_int(select, 0) : 4096;
    sqlite3_finalize(select);
    return size;
}

/* Allocates the reserve behind the log's end now, and hooks its upkeep into
 * every commit of `db`. The record lives as long as the connection. */
static void ReserveLogBlocks(sqlite3 *db, const std::string &root) {
    DescriptorGuard log;
    struct stat status;
    if (OpenCheckedFileIn(root.c_str(), "machine.db-wal", O_RDWR, 0, log.Out()) != 0 || fstat(log.Get(), &status) != 0)
        return;
    LogReserve *reserve = new (std::nothrow) LogReserve{log.Get(), 24 + (off_t)PageSize(db), 0};
    if (!reserve) return;
    log.Release(); /* the reserve's now, for the connection's life */
    AllocateLogUpTo(reserve, status.st_size);
    sqlite3_wal_hook(db, KeepLogReserve, reserve);
}

/* Opens machine.db of the root. Schema creation runs under an flock of
 * machine.lock so that processes creating the same fresh root at once do not
 * race on the journal mode or the first-run registration. */
static sqlite3 *OpenMachineDb(const std::string &root) {
    DescriptorGuard lockFd;
    DWORD code = OpenCheckedFileIn(root.c_str(), "machine.lock", O_RDWR | O_CREAT, 0600, lockFd.Out());
    if (code != 0) {
        NoteRootFailure(code);
        return nullptr;
    }
    if (RetryOnInterrupt([&] { return flock(lockFd.Get(), LOCK_EX); }) != 0) return nullptr;
    code = CreateMachineDb(root);
    if (code != 0) {
        NoteRootFailure(code);
        return nullptr;
    }
    sqlite3 *db = nullptr;
    std::string dbPath = root + "/machine.db";
    int rc = sqlite3_open_v2(dbPath.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW,
                             nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, 10000);
        rc = Execute(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL");
    }
    if (rc == SQLITE_OK) rc = InitializeSchema(db) == 0 ? SQLITE_OK : SQLITE_ERROR;
    if (rc != SQLITE_OK) {
        NoteRootFailure(ERROR_REGISTRY_IO_FAILED);
        if (db) fprintf(stderr, "pelorim: cannot open %s: %s\n", dbPath.c_str(), sqlite3_errmsg(db));
        sqlite3_close(db);
        db = nullptr;
    }
    if (db) ReserveLogBlocks(db, root);
    flock(lockFd.Get(), LOCK_UN);
    return db;
}

/* A relative PELORIM_ROOT is taken against the working directory of the
 * process that first uses it and written back absolute, so that the processes
 * it starts (which may run elsewhere: a service runs in "/") find the same root. */
static void MakeRootAbsolute() {
    if (IsAbsolute(machineRoot.c_str())) return;
    char current[PATH_MAX];
    if (!getcwd(current, sizeof current)) return;
    machineRoot = std::string(current) + (strcmp(current, "/") == 0 ? "" : "/") + machineRoot;
    setenv("PELORIM_ROOT", machineRoot.c_str(), 1);
}

static void PrepareRoot() {
    if (!machineRoot.empty()) return;
    machineRoot = DefaultRoot();
    while (machineRoot.size() > 1 && machineRoot.back() == '/') machineRoot.pop_back();
    MakeRootAbsolute();
    DWORD code = MakeDirectories(machineRoot);
    if (code != 0) {
        if (code != ERROR_ACCESS_DENIED)
            fprintf(stderr, "pelorim: cannot create the machine root %s: %s\n", machineRoot.c_str(), strerror(errno));
        NoteRootFailure(code);
        return;
    }
    TightenRoot(machineRoot);
    if (!machineDb) machineDb = OpenMachineDb(machineRoot);
    machineDbOwner = OwnPid();
}

const char *MachineRoot(void) {
    pthread_mutex_lock(&machineMutex);
    PrepareRoot();
    const char *root = machineRoot.c_str();
    pthread_mutex_unlock(&machineMutex);
    return root;
}

DWORD MachinePath(char *out, size_t capacity, const char *relative) {
    int written = snprintf(out, capacity, "%s/%s", MachineRoot(), relative);
    if (written < 0 || (size_t)written >= capacity) {
        if (capacity > 0) out[0] = '\0';
        return ERROR_FILENAME_EXCED_RANGE;
    }
    return 0;
}

bool RootHasRoom(unsigned long long bytes) {
    struct statvfs space;
    if (statvfs(MachineRoot(), &space) != 0) return true;
    return (unsigned long long)space.f_bavail * space.f_frsize >= bytes;
}

/* ERROR_ACCESS_DENIED for an entry planted under the root, said once per refusal. */
static DWORD RefusePlanted(const char *directory, const char *name, const char *reason) {
    fprintf(stderr, "pelorim: %s/%s is refused: it %s\n", directory, name, reason);
    return ERROR_ACCESS_DENIED;
}

static DWORD OpenCheckedBelow(int rootFd, const char *root, const char *name, bool create, int *fd) {
    struct stat rootStatus;
    if (fstat(rootFd, &rootStatus) != 0) return LastErrnoAsWin32();
    if (create && mkdirat(rootFd, name, 0700) != 0 && errno != EEXIST) return LastErrnoAsWin32();
    DescriptorGuard opened(
        RetryOnInterrupt([&] { return openat(rootFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!opened && (errno == ELOOP || errno == ENOTDIR))
        return RefusePlanted(root, name, "is a link or a file, not a directory");
    if (!opened) return LastErrnoAsWin32();
    struct stat status;
    const char *reason = nullptr;
    if (fstat(opened.Get(), &status) != 0) reason = "cannot be examined";
    else if (status.st_uid != rootStatus.st_uid) reason = "is not owned by the owner of the machine root";
    else if (status.st_mode & (S_IWGRP | S_IWOTH)) reason = "may be written by others than its owner";
    if (reason) return RefusePlanted(root, name, reason);
    *fd = opened.Release();
    return 0;
}

DWORD OpenCheckedDirectory(const char *root, const char *name, bool create, int *fd) {
    DescriptorGuard rootFd(OpenDirectoryPath(root));
    if (!rootFd) return LastErrnoAsWin32();
    return OpenCheckedBelow(rootFd.Get(), root, name, create, fd);
}

DWORD OpenRootDirectory(const char *name, bool create, int *fd) {
    return OpenCheckedDirectory(MachineRoot(), name, create, fd);
}

DWORD OpenCheckedFile(int directoryFd, const char *directoryPath, const char *name, int flags, mode_t mode, int *fd) {
    DescriptorGuard opened(
        RetryOnInterrupt([&] { return openat(directoryFd, name, flags | O_NOFOLLOW | O_CLOEXEC, mode); }));
    if (!opened && errno == ELOOP) return RefusePlanted(directoryPath, name, "is a link");
    if (!opened) return LastErrnoAsWin32();
    struct stat status;
    if (fstat(opened.Get(), &status) != 0 || !S_ISREG(status.st_mode))
        return RefusePlanted(directoryPath, name, "is not a regular file");
    *fd = opened.Release();
    return 0;
}

DWORD OpenRootFile(const char *name, int flags, mode_t mode, int *fd) {
    return OpenCheckedFileIn(MachineRoot(), name, flags, mode, fd);
}

void RemoveDirectoryIfEmpty(const char *root, const char *name) {
    DescriptorGuard rootFd(OpenDirectoryPath(root));
    if (rootFd) unlinkat(rootFd.Get(), name, AT_REMOVEDIR);
}

static bool IsPlainNameByte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '-';
}

/* Every byte outside [A-Za-z0-9_.-], and a leading ".", becomes %XX: the result
 * holds no separator and cannot be "." or "..". The mapping is one-to-one. */
DWORD EncodeObjectName(char *out, size_t capacity, const char *name) {
    if (!name || !*name) return ERROR_INVALID_NAME;
    static const char hex[] = "0123456789ABCDEF";
    size_t length = 0;
    for (size_t i = 0; name[i]; i++) {
        unsigned char c = (unsigned char)name[i];
        bool plain = IsPlainNameByte(c) && !(i == 0 && c == '.');
        size_t need = plain ? 1 : 3;
        if (length + need >= capacity || length + need > NAME_MAX) {
            if (capacity > 0) out[0] = '\0';
            return ERROR_FILENAME_EXCED_RANGE;
        }
        if (plain) {
            out[length++] = (char)c;
        } else {
            out[length++] = '%';
            out[length++] = hex[c >> 4];
            out[length++] = hex[c & 15];
        }
    }
    out[length] = '\0';
    return 0;
}

/* A connection inherited through fork() belongs to the parent: the child
 * forgets it (never closes it) and opens its own. */
sqlite3 *MachineDbLock(void) {
    pthread_mutex_lock(&machineMutex);
    if (machineDb && machineDbOwner != OwnPid()) machineDb = nullptr;
    PrepareRoot();
    if (!machineDb && !machineRoot.empty()) machineDb = OpenMachineDb(machineRoot);
    if (machineDb) machineDbOwner = OwnPid();
    return machineDb;
}

void MachineDbUnlock(void) { pthread_mutex_unlock(&machineMutex); }

DWORD MachineDbOpenError(void) {
    pthread_mutex_lock(&machineMutex);
    DWORD code = machineDbError;
    pthread_mutex_unlock(&machineMutex);
    return code;
}

/* The child has one thread; the mutex and the string may have been held or
 * mid-change by a parent thread that no longer exists, so both are made anew
 * (the old string's memory is abandoned) and the connection, which must not
 * be used from two processes, is forgotten without closing it. */
void ResetMachineRootAfterFork(void) {
    pthread_mutex_t fresh = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
    machineMutex = fresh;
    machineDb = nullptr;
    ownPid = 0;
    new (&machineRoot) std::string();
}
