/*
 * The HKEY_LOCAL_MACHINE hive in machine.db. An HKEY other than the predefined
 * root is a heap record naming a key by id; ids are never reused, so a handle
 * to a key that was deleted meanwhile fails with ERROR_KEY_DELETED. The other
 * predefined roots hold nothing: opening anything under them fails with
 * ERROR_FILE_NOT_FOUND. No call sets the last error (Win32 registry calls
 * return their code).
 */
#include <sqlite3.h>
#include <string.h>

#include <mutex>
#include <set>
#include <string>

#include "errors.h"
#include "registry_internal.h"
#include "root.h"
#include "security_internal.h"

namespace {

struct RegistryKey {
    sqlite3_int64 id;
    std::string path; /* stored case, relative to HKEY_LOCAL_MACHINE */
};

struct KeyRef {
    sqlite3_int64 id = 0;
    std::string path;
};

const sqlite3_int64 machineKeyId = 1;

std::mutex keysMutex;
std::set<RegistryKey *> openKeys;

/* One prepared statement, finalized when it leaves scope. */
class Statement {
  public:
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr); }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    Statement &Bind(int index, sqlite3_int64 value) {
        sqlite3_bind_int64(statement_, index, value);
        return *this;
    }
    Statement &Bind(int index, const std::string &text) {
        sqlite3_bind_text(statement_, index, text.c_str(), (int)text.size(), SQLITE_TRANSIENT);
        return *this;
    }
    Statement &BindBlob(int index, const void *data, DWORD size) {
        if (size == 0) sqlite3_bind_zeroblob(statement_, index, 0);
        else sqlite3_bind_blob(statement_, index, data, (int)size, SQLITE_TRANSIENT);
        return *this;
    }
    /* SQLITE_ROW, SQLITE_DONE or an error. */
    int Step() { return statement_ ? sqlite3_step(statement_) : SQLITE_ERROR; }
    sqlite3_int64 Integer(int column) { return sqlite3_column_int64(statement_, column); }
    std::string Text(int column) {
        const unsigned char *text = sqlite3_column_text(statement_, column);
        return text ? std::string((const char *)text, (size_t)sqlite3_column_bytes(statement_, column)) : "";
    }
    bool IsNull(int column) { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    const void *Blob(int column) { return sqlite3_column_blob(statement_, column); }
    DWORD Bytes(int column) { return (DWORD)sqlite3_column_bytes(statement_, column); }

  private:
    sqlite3_stmt *statement_ = nullptr;
};

/* Holds the machine database for one call. */
class DbSession {
  public:
    DbSession() : db_(MachineDbLock()) {}
    ~DbSession() { MachineDbUnlock(); }
    DbSession(const DbSession &) = delete;
    DbSession &operator=(const DbSession &) = delete;
    sqlite3 *db() const { return db_; }

  private:
    sqlite3 *db_;
};

/* One write transaction; rolled back unless committed. */
class Transaction {
  public:
    explicit Transaction(sqlite3 *db) : db_(db) {
        begun_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Transaction() {
        if (begun_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;
    bool Begun() const { return begun_; }
    LONG Commit() {
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return ERROR_REGISTRY_IO_FAILED;
        begun_ = false;
        return ERROR_SUCCESS;
    }

  private:
    sqlite3 *db_;
    bool begun_ = false;
};

bool IsPredefinedKey(HKEY key) {
    return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_USERS;
}

/* The key a handle names: 0, ERROR_INVALID_HANDLE, or ERROR_FILE_NOT_FOUND for
 * the empty predefined roots. Existence is checked by the caller's query. */
LONG ResolveHandle(HKEY handle, KeyRef *out) {
    if (handle == HKEY_LOCAL_MACHINE) {
        out->id = machineKeyId;
        out->path.clear();
        return ERROR_SUCCESS;
    }
    if (IsPredefinedKey(handle)) return ERROR_FILE_NOT_FOUND;
    std::lock_guard<std::mutex> guard(keysMutex);
    RegistryKey *key = reinterpret_cast<RegistryKey *>(handle);
    if (!openKeys.count(key)) return ERROR_INVALID_HANDLE;
    out->id = key->id;
    out->path = key->path;
    return ERROR_SUCCESS;
}

HKEY NewKeyHandle(const KeyRef &ref) {
    RegistryKey *key = new RegistryKey{ref.id, ref.path};
    std::lock_guard<std::mutex> guard(keysMutex);
    openKeys.insert(key);
    return reinterpret_cast<HKEY>(key);
}

/* A subkey path must not begin or end with "\" nor hold an empty component. */
LONG CheckSubkeyPath(const char *subkey) {
    if (!*subkey) return ERROR_SUCCESS;
    size_t length = strlen(subkey);
    if (subkey[0] == '\\' || subkey[length - 1] == '\\' || strstr(subkey, "\\\\")) return ERROR_BAD_PATHNAME;
    return ERROR_SUCCESS;
}

std::string JoinPath(const std::string &base, const std::string &name) {
    return base.empty() ? name : base + "\\" + name;
}

/* 0 when the key exists, ERROR_KEY_DELETED when a handle outlived its key. */
LONG CheckKeyExists(sqlite3 *db, sqlite3_int64 id) {
    Statement select(db, "SELECT 1 FROM registry_keys WHERE id = ?1");
    int rc = select.Bind(1, id).Step();
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : ERROR_REGISTRY_IO_FAILED;
}

/* What every call on an open key starts with: the handle resolved and the
 * process's connection locked. Status() is 0 or the call's error. */
class KeyAccess {
  public:
    explicit KeyAccess(HKEY handle) {
        status_ = ResolveHandle(handle, &key_);
        if (status_ == ERROR_SUCCESS && !session_.db()) status_ = (LONG)MachineDbOpenError();
    }
    KeyAccess(const KeyAccess &) = delete;
    KeyAccess &operator=(const KeyAccess &) = delete;
    LONG Status() const { return status_; }
    sqlite3 *db() const { return session_.db(); }
    sqlite3_int64 id() const { return key_.id; }
    /* A handle outlives a deleted key: ERROR_KEY_DELETED then. */
    LONG CheckExists() const { return CheckKeyExists(session_.db(), key_.id); }

  private:
    KeyRef key_;
    DbSession session_;
    LONG status_;
};

/* Finds the key at `path` (any case): 0 with its id and stored path, or
 * ERROR_FILE_NOT_FOUND. */
LONG FindKey(sqlite3 *db, const std::string &path, KeyRef *out) {
    Statement select(db, "SELECT id, path FROM registry_keys WHERE path = ?1");
    int rc = select.Bind(1, path).Step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
    out->id = select.Integer(0);
    out->path = select.Text(1);
    return ERROR_SUCCESS;
}

/* The key `subkey` below the handle's key, which must still exist. */
LONG FindSubkey(sqlite3 *db, HKEY handle, const char *subkey, KeyRef *out) {
    KeyRef base;
    LONG error = ResolveHandle(handle, &base);
    if (error != ERROR_SUCCESS) return error;
    if (!subkey) subkey = "";
    error = CheckSubkeyPath(subkey);
    if (error != ERROR_SUCCESS) return error;
    error = CheckKeyExists(db, base.id);
    if (error != ERROR_SUCCESS) return error;
    if (!*subkey) {
        *out = base;
        return ERROR_SUCCESS;
    }
    return FindKey(db, JoinPath(base.path, subkey), out);
}

LONG InsertKey(sqlite3 *db, const KeyRef &parent, const std::string &name, KeyRef *out) {
    out->path = JoinPath(parent.path, name);
    Statement insert(db, "INSERT INTO registry_keys(parent, name, path) VALUES (?1, ?2, ?3)");
    if (insert.Bind(1, parent.id).Bind(2, name).Bind(3, out->path).Step() != SQLITE_DONE)
        return ERROR_REGISTRY_IO_FAILED;
    out->id = sqlite3_last_insert_rowid(db);
    return ERROR_SUCCESS;
}

/* Walks `subkey` from `base`, creating the missing keys; *created tells
 * whether the last one was new. */
LONG CreateKeyChain(sqlite3 *db, const KeyRef &base, const char *subkey, KeyRef *out, bool *created) {
    KeyRef current = base;
    *created = false;
    const char *component = subkey;
    while (*component) {
        const char *end = strchr(component, '\\');
        std::string name = end ? std::string(component, (size_t)(end - component)) : std::string(component);
        KeyRef next;
        LONG error = FindKey(db, JoinPath(current.path, name), &next);
        *created = error == ERROR_FILE_NOT_FOUND;
        if (*created) error = InsertKey(db, current, name, &next);
        if (error != ERROR_SUCCESS) return error;
        current = next;
        component = end ? end + 1 : component + name.size();
    }
    *out = current;
    return ERROR_SUCCESS;
}

LONG CountSubkeys(sqlite3 *db, sqlite3_int64 id, bool *any) {
    Statement select(db, "SELECT 1 FROM registry_keys WHERE parent = ?1 LIMIT 1");
    int rc = select.Bind(1, id).Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    *any = rc == SQLITE_ROW;
    return ERROR_SUCCESS;
}

/* Keys' security descriptors live in a table of their own, made the first
 * time a connection needs it: the self-relative bytes of owner, group and
 * DACL, one row per key that was given a descriptor. */
LONG PrepareSecurityTable(sqlite3 *db) {
    static sqlite3 *preparedFor = nullptr; /* guarded by the machine database's lock */
    if (db == preparedFor) return ERROR_SUCCESS;
    if (sqlite3_exec(db, "CREATE TABLE IF NOT EXISTS registry_security(key INTEGER PRIMARY KEY, descriptor BLOB NOT NULL)",
                     nullptr, nullptr, nullptr) != SQLITE_OK)
        return ERROR_REGISTRY_IO_FAILED;
    preparedFor = db;
    return ERROR_SUCCESS;
}

/* What a key never given a descriptor has (see registry.h). */
const char kDefaultKeySecurity[] = "O:BAG:SYD:(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";

/* The key's descriptor: its own, or the default. */
LONG ReadKeySecurity(sqlite3 *db, sqlite3_int64 id, SecurityParts *parts) {
    LONG error = PrepareSecurityTable(db);
    if (error != ERROR_SUCCESS) return error;
    Statement select(db, "SELECT descriptor FROM registry_security WHERE key = ?1");
    int rc = select.Bind(1, id).Step();
    if (rc == SQLITE_DONE) return ParseSecurityString(kDefaultKeySecurity, parts) == 0 ? ERROR_SUCCESS : ERROR_REGISTRY_CORRUPT;
    if (rc != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
    if (select.Bytes(0) < sizeof(SECURITY_DESCRIPTOR_RELATIVE)) return ERROR_REGISTRY_CORRUPT;
    return ReadSecurityDescriptor(select.Blob(0), parts) == 0 ? ERROR_SUCCESS : ERROR_REGISTRY_CORRUPT;
}

LONG StoreKeySecurity(sqlite3 *db, sqlite3_int64 id, const SecurityParts &parts) {
    std::string bytes = WriteSecurityDescriptor(
        parts, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
    Statement upsert(db, "INSERT OR REPLACE INTO registry_security(key, descriptor) VALUES (?1, ?2)");
    upsert.Bind(1, id).BindBlob(2, bytes.data(), (DWORD)bytes.size());
    return upsert.Step() == SQLITE_DONE ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

/* Replaces the parts of `current` that `information` names with those of
 * `given`. Whether the DACL is protected is the given descriptor's own
 * control: PROTECTED_ and UNPROTECTED_DACL_SECURITY_INFORMATION belong to
 * SetNamedSecurityInfo and its kin, and RegSetKeySecurity does not read them
 * (Microsoft's SECURITY_INFORMATION page; Wine does the same). */
LONG MergeKeySecurity(SECURITY_INFORMATION information, const SecurityParts &given, SecurityParts *current) {
    if (information & OWNER_SECURITY_INFORMATION) {
        if (given.owner.empty()) return ERROR_INVALID_OWNER;
        current->owner = given.owner;
    }
    if (information & GROUP_SECURITY_INFORMATION) {
        if (given.group.empty()) return ERROR_INVALID_PRIMARY_GROUP;
        current->group = given.group;
    }
    if (information & DACL_SECURITY_INFORMATION) {
        current->daclPresent = given.daclPresent;
        current->dacl = given.dacl;
        current->daclControl = given.daclControl & (SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED);
    }
    return ERROR_SUCCESS;
}

/* Deletes the key `id`, its descendants and all their values and descriptors. */
LONG DeleteKeyTree(sqlite3 *db, sqlite3_int64 id) {
    static const char tree[] = "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL "
                               "SELECT k.id FROM registry_keys k JOIN tree t ON k.parent = t.id) ";
    Statement values(db, (std::string(tree) + "DELETE FROM registry_values WHERE key IN (SELECT id FROM tree)").c_str());
    if (values.Bind(1, id).Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    if (PrepareSecurityTable(db) != ERROR_SUCCESS) return ERROR_REGISTRY_IO_FAILED;
    Statement security(db,
                       (std::string(tree) + "DELETE FROM registry_security WHERE key IN (SELECT id FROM tree)").c_str());
    if (security.Bind(1, id).Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    Statement keys(db, (std::string(tree) + "DELETE FROM registry_keys WHERE id IN (SELECT id FROM tree)").c_str());
    if (keys.Bind(1, id).Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    return ERROR_SUCCESS;
}

} // namespace

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    (void)ulOptions, (void)samDesired;
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    DbSession session;
    if (!session.db()) return (LONG)MachineDbOpenError();
    KeyRef found;
    LONG error = FindSubkey(session.db(), hKey, lpSubKey, &found);
    if (error != ERROR_SUCCESS) return error;
    *phkResult = NewKeyHandle(found);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                            REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
    (void)Reserved, (void)lpClass, (void)dwOptions, (void)samDesired, (void)lpSecurityAttributes;
    if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
    KeyRef base;
    LONG error = ResolveHandle(hKey, &base);
    if (error != ERROR_SUCCESS) return error;
    error = CheckSubkeyPath(lpSubKey);
    if (error != ERROR_SUCCESS) return error;
    DbSession session;
    if (!session.db()) return (LONG)MachineDbOpenError();
    Transaction transaction(session.db());
    if (!transaction.Begun()) return ERROR_REGISTRY_IO_FAILED;
    error = CheckKeyExists(session.db(), base.id);
    if (error != ERROR_SUCCESS) return error;
    KeyRef key;
    bool created = false;
    error = CreateKeyChain(session.db(), base, lpSubKey, &key, &created);
    if (error != ERROR_SUCCESS) return error;
    error = transaction.Commit();
    if (error != ERROR_SUCCESS) return error;
    *phkResult = NewKeyHandle(key);
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

/* The bytes are stored as given: a string stored without its terminating NUL
 * is read back without one, as on Win32. A name that differs only in case
 * replaces the existing value and keeps its stored name. */
LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                           DWORD cbData) {
    (void)Reserved;
    if (!lpData && cbData > 0) return ERROR_NOACCESS;
    KeyAccess key(hKey);
    if (key.Status() != ERROR_SUCCESS) return key.Status();
    Transaction transaction(key.db());
    if (!transaction.Begun()) return ERROR_REGISTRY_IO_FAILED;
    LONG error = key.CheckExists();
    if (error != ERROR_SUCCESS) return error;
    Statement upsert(key.db(), "INSERT INTO registry_values(key, name, type, data) VALUES (?1, ?2, ?3, ?4) "
                                   "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    upsert.Bind(1, key.id()).Bind(2, lpValueName ? lpValueName : "").Bind(3, (sqlite3_int64)dwType);
    if (upsert.BindBlob(4, lpData, cbData).Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    return transaction.Commit();
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
    if (lpReserved) return ERROR_INVALID_PARAMETER;
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    KeyAccess key(hKey);
    if (key.Status() != ERROR_SUCCESS) return key.Status();
    Statement select(key.db(), "SELECT v.type, v.data FROM registry_keys k LEFT JOIN registry_values v "
                                   "ON v.key = k.id AND v.name = ?2 WHERE k.id = ?1");
    int rc = select.Bind(1, key.id()).Bind(2, lpValueName ? lpValueName : "").Step();
    if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
    if (rc != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
    if (select.IsNull(0)) return ERROR_FILE_NOT_FOUND;
    const void *bytes = select.Blob(1);
    DWORD size = select.Bytes(1);
    if (lpType) *lpType = (DWORD)select.Integer(0);
    if (!lpcbData) return ERROR_SUCCESS;
    if (lpData && *lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (lpData && size > 0) memcpy(lpData, bytes, size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    if (!lpName) return ERROR_INVALID_PARAMETER;
    KeyAccess key(hKey);
    if (key.Status() != ERROR_SUCCESS) return key.Status();
    LONG error = key.CheckExists();
    if (error != ERROR_SUCCESS) return error;
    Statement select(key.db(), "SELECT name FROM registry_keys WHERE parent = ?1 ORDER BY id LIMIT 1 OFFSET ?2");
    int rc = select.Bind(1, key.id()).Bind(2, (sqlite3_int64)dwIndex).Step();
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
    std::string name = select.Text(0);
    if (name.size() + 1 > cchName) return ERROR_MORE_DATA;
    memcpy(lpName, name.c_str(), name.size() + 1);
    return ERROR_SUCCESS;
}

/* Deletes the key at `path` below `root` with its values, and with its
 * subkeys unless `keepIfSubkeys`, which refuses (ERROR_ACCESS_DENIED) a key
 * that has any. The root of the hive is never deleted. */
static LONG DeleteKey(HKEY root, const char *path, bool keepIfSubkeys) {
    if (!path) return ERROR_INVALID_PARAMETER;
    DbSession session;
    if (!session.db()) return (LONG)MachineDbOpenError();
    Transaction transaction(session.db());
    if (!transaction.Begun()) return ERROR_REGISTRY_IO_FAILED;
    KeyRef key;
    LONG error = FindSubkey(session.db(), root, path, &key);
    if (error != ERROR_SUCCESS) return error;
    if (key.id == machineKeyId) return ERROR_ACCESS_DENIED;
    if (keepIfSubkeys) {
        bool hasSubkeys = false;
        error = CountSubkeys(session.db(), key.id, &hasSubkeys);
        if (error != ERROR_SUCCESS) return error;
        if (hasSubkeys) return ERROR_ACCESS_DENIED;
    }
    error = DeleteKeyTree(session.db(), key.id);
    if (error != ERROR_SUCCESS) return error;
    return transaction.Commit();
}

/* As on Win32, a key that still has subkeys is not deleted (ERROR_ACCESS_DENIED);
 * its values go with it. An empty lpSubKey deletes the handle's own key. */
LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) { return DeleteKey(hKey, lpSubKey, true); }

LONG DeleteRegistryTree(HKEY root, const char *path) { return DeleteKey(root, path, false); }

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    KeyAccess key(hKey);
    if (key.Status() != ERROR_SUCCESS) return key.Status();
    Transaction transaction(key.db());
    if (!transaction.Begun()) return ERROR_REGISTRY_IO_FAILED;
    LONG error = key.CheckExists();
    if (error != ERROR_SUCCESS) return error;
    Statement remove(key.db(), "DELETE FROM registry_values WHERE key = ?1 AND name = ?2");
    if (remove.Bind(1, key.id()).Bind(2, lpValueName ? lpValueName : "").Step() != SQLITE_DONE)
        return ERROR_REGISTRY_IO_FAILED;
    if (sqlite3_changes(key.db()) == 0) return ERROR_FILE_NOT_FOUND;
    return transaction.Commit();
}

LONG WINAPI RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor, LPDWORD lpcbSecurityDescriptor) {
    if (!lpcbSecurityDescriptor) return ERROR_INVALID_PARAMETER;
    KeyAccess key(hKey);
    if (key.Status() != ERROR_SUCCESS) return key.Status();
    if (SecurityInformation & SACL_SECURITY_INFORMATION) return ERROR_ACCESS_DENIED;
    LONG error = key.CheckExists();
    if (error != ERROR_SUCCESS) return error;
    SecurityParts parts;
    error = ReadKeySecurity(key.db(), key.id(), &parts);
    if (error != ERROR_SUCCESS) return error;
    std::string bytes = WriteSecurityDescriptor(parts, SecurityInformation);
    if (!pSecurityDescriptor || *lpcbSecurityDescriptor < bytes.size()) {
        *lpcbSecurityDescriptor = (DWORD)bytes.size();
        return ERROR_INSUFFICIENT_BUFFER;
    }
    memcpy(pSecurityDescriptor, bytes.data(), bytes.size());
    *lpcbSecurityDescriptor = (DWORD)bytes.size();
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    const SECURITY_INFORMATION parts =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
    if (!pSecurityDescriptor || !(SecurityInformation & parts)) return ERROR_INVALID_PARAMETER;
    KeyAccess key(hKey);
    if (key.Status() != ERROR_SUCCESS) return key.Status();
    if (SecurityInformation & SACL_SECURITY_INFORMATION) return ERROR_ACCESS_DENIED;
    SecurityParts given;
    LONG error = (LONG)ReadSecurityDescriptor(pSecurityDescriptor, &given);
    if (error != ERROR_SUCCESS) return error;
    Transaction transaction(key.db());
    if (!transaction.Begun()) return ERROR_REGISTRY_IO_FAILED;
    error = key.CheckExists();
    if (error != ERROR_SUCCESS) return error;
    SecurityParts current;
    error = ReadKeySecurity(key.db(), key.id(), &current);
    if (error == ERROR_SUCCESS) error = MergeKeySecurity(SecurityInformation, given, &current);
    if (error == ERROR_SUCCESS) error = StoreKeySecurity(key.db(), key.id(), current);
    if (error != ERROR_SUCCESS) return error;
    return transaction.Commit();
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    if (IsPredefinedKey(hKey)) return ERROR_SUCCESS;
    RegistryKey *key = reinterpret_cast<RegistryKey *>(hKey);
    {
        std::lock_guard<std::mutex> guard(keysMutex);
        if (!openKeys.erase(key)) return ERROR_INVALID_HANDLE;
    }
    delete key;
    return ERROR_SUCCESS;
}
