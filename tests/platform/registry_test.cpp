#include <windows.h>
#include <sddl.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include <string>

#include "harness.h"

namespace {

const char kServices[] = "System\\CurrentControlSet\\Services";

HKEY CreateKey(HKEY base, const char *path, DWORD *disposition = nullptr) {
    HKEY key = nullptr;
    DWORD ignored = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(base, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                             nullptr, &key, disposition ? disposition : &ignored));
    return key;
}

void SetString(HKEY key, const char *name, const char *value, bool withNul = true) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)value,
                                            (DWORD)strlen(value) + (withNul ? 1 : 0)));
}

} // namespace

TEST(Registry, CreateOpenAndNamesIgnoreAsciiCaseButKeepStoredCase) {
    harness::MakeFreshRoot();
    DWORD disposition = 0;
    HKEY service = CreateKey(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\MyApp", &disposition);
    EXPECT_EQ((DWORD)REG_CREATED_NEW_KEY, disposition);
    SetString(service, "CurrentDirectory", "/srv/app");
    RegCloseKey(service);

    HKEY again = CreateKey(HKEY_LOCAL_MACHINE, "SYSTEM\\currentcontrolset\\services\\MYAPP\\Parameters", &disposition);
    EXPECT_EQ((DWORD)REG_CREATED_NEW_KEY, disposition);
    RegCloseKey(again);
    again = CreateKey(HKEY_LOCAL_MACHINE, "system\\CurrentControlSet\\Services\\myapp", &disposition);
    EXPECT_EQ((DWORD)REG_OPENED_EXISTING_KEY, disposition);

    char buffer[64];
    DWORD size = sizeof buffer, type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(again, "currentdirectory", nullptr, &type, (BYTE *)buffer, &size));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_STREQ("/srv/app", buffer);
    /* Replacing through another case keeps the stored name. */
    SetString(again, "CURRENTDIRECTORY", "/opt");
    RegCloseKey(again);

    auto stored = harness::RegistryGet("System\\CurrentControlSet\\Services\\MyApp", "CurrentDirectory");
    ASSERT_TRUE(stored);
    EXPECT_EQ(std::string("/opt", 5), stored->data);
    auto rows = harness::Query("SELECT path, name FROM registry WHERE name = 'CurrentDirectory'");
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("System\\CurrentControlSet\\Services\\MyApp", rows[0][0]);
    EXPECT_EQ("CurrentDirectory", rows[0][1]);
    /* The subkey created through other case hangs under the stored names. */
    HKEY parameters = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\MyApp\\PARAMETERS",
                                           0, KEY_READ, &parameters));
    SetString(parameters, "x", "1");
    RegCloseKey(parameters);
    EXPECT_TRUE(harness::RegistryGet("System\\CurrentControlSet\\Services\\MyApp\\Parameters", "x"));
}

TEST(Registry, MissingKeysValuesAndMalformedPaths) {
    harness::MakeFreshRoot();
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Nobody", 0, KEY_READ, &key));
    HKEY app = CreateKey(HKEY_LOCAL_MACHINE, "Software\\Pelorim Test");
    DWORD size = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(app, "Absent", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(app, "Absent"));
    EXPECT_NE(ERROR_SUCCESS, RegCreateKeyExA(app, "a\\\\b", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_NE(ERROR_SUCCESS, RegCreateKeyExA(app, "\\a", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    /* "" names the key itself. */
    HKEY self = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(app, "", 0, KEY_READ, &self));
    SetString(self, "Name", "v");
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(app, "Name", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(2u, size);
    RegCloseKey(self);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(app));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(app));
    /* Registry calls leave the last error alone. */
    SetLastError(12345);
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Nobody", 0, KEY_READ, &key);
    EXPECT_EQ(12345u, GetLastError());
}

TEST(Registry, QuerySizeProbeMoreDataAndValuesWithoutTerminator) {
    harness::MakeFreshRoot();
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, "Software\\Values");
    SetString(key, "Text", "hello");
    SetString(key, "Bare", "abc", false);
    const char multi[] = "one\0two\0";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Multi", 0, REG_MULTI_SZ, (const BYTE *)multi, sizeof multi));
    DWORD number = 0x01020304;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Number", 0, REG_DWORD, (const BYTE *)&number, 4));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Empty", 0, REG_SZ, (const BYTE *)"", 0));

    DWORD type = 0, size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Text", nullptr, &type, nullptr, &size));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ(6u, size);

    char small[4] = {'x', 'x', 'x', 'x'};
    size = sizeof small;
    type = 0;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "Text", nullptr, &type, (BYTE *)small, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ((DWORD)REG_SZ, type);

    char buffer[16];
    memset(buffer, 'Z', sizeof buffer);
    size = sizeof buffer;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Bare", nullptr, &type, (BYTE *)buffer, &size));
    EXPECT_EQ(3u, size);
    EXPECT_EQ(0, memcmp(buffer, "abcZ", 4)); /* raw bytes, no terminator added */

    size = sizeof buffer;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Multi", nullptr, &type, (BYTE *)buffer, &size));
    EXPECT_EQ((DWORD)REG_MULTI_SZ, type);
    EXPECT_EQ((DWORD)sizeof multi, size);
    EXPECT_EQ(0, memcmp(buffer, multi, sizeof multi));

    DWORD read = 0;
    size = sizeof read;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Number", nullptr, &type, (BYTE *)&read, &size));
    EXPECT_EQ((DWORD)REG_DWORD, type);
    EXPECT_EQ(number, read);

    size = sizeof buffer;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Empty", nullptr, &type, (BYTE *)buffer, &size));
    EXPECT_EQ(0u, size);
    auto stored = harness::RegistryGet("Software\\Values", "Bare");
    ASSERT_TRUE(stored);
    EXPECT_EQ("abc", stored->data);

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, "TEXT"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "Text", nullptr, nullptr, nullptr, &size));
    RegCloseKey(key);
}

TEST(Registry, EnumerationInCreationOrderAndDeletion) {
    harness::MakeFreshRoot();
    HKEY services = CreateKey(HKEY_LOCAL_MACHINE, kServices);
    const char *names[] = {"Zeta", "alpha", "Mid"};
    for (const char *name : names) RegCloseKey(CreateKey(services, name));
    HKEY child = CreateKey(services, "alpha\\Parameters");
    SetString(child, "Value", "1");
    RegCloseKey(child);

    char name[64];
    for (DWORD i = 0; i < 3; i++) {
        ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(services, i, name, sizeof name));
        EXPECT_STREQ(names[i], name);
    }
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(services, 3, name, sizeof name));
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyA(services, 0, name, 4));

    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(services, "ALPHA"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(services, "Nobody"));
    HKEY alpha = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(services, "alpha\\Parameters", 0, KEY_READ, &alpha));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(services, "alpha\\parameters"));
    /* A handle that outlived its key fails; its values are gone. */
    EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExA(alpha, "x", 0, REG_SZ, (const BYTE *)"", 1));
    EXPECT_FALSE(harness::RegistryGet("System\\CurrentControlSet\\Services\\alpha\\Parameters", "Value"));
    RegCloseKey(alpha);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(services, "alpha"));
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(services, 1, name, sizeof name));
    EXPECT_STREQ("Mid", name);
    /* A key created again goes to the end. */
    RegCloseKey(CreateKey(services, "Alpha"));
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(services, 2, name, sizeof name));
    EXPECT_STREQ("Alpha", name);
    RegCloseKey(services);
}

/* As a JDK 9+ installer does: JavaSoft\JDK, CurrentVersion the feature
 * version, and under it JavaHome without RuntimeLib. */
TEST(Registry, FreshRootRegistersTheDefaultJdk) {
    harness::MakeFreshRoot();
    const char kit[] = "Software\\JavaSoft\\JDK";
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kit, 0, KEY_READ, &key));
    char version[32];
    DWORD size = sizeof version, type = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "CurrentVersion", nullptr, &type, (BYTE *)version, &size));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ(strspn(version, "0123456789"), strlen(version)) << version;
    HKEY versionKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(key, version, 0, KEY_READ, &versionKey));
    char home[MAX_PATH], library[MAX_PATH];
    size = sizeof home;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(versionKey, "JavaHome", nullptr, &type, (BYTE *)home, &size));
    EXPECT_TRUE(harness::FileExists(std::string(home) + "/release")) << home;
    size = sizeof library;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(versionKey, "RuntimeLib", nullptr, &type, (BYTE *)library, &size));
    snprintf(library, sizeof library, "%s/lib/server/libjvm.so", home);
    HMODULE jvm = LoadLibraryA(library);
    ASSERT_NE(nullptr, jvm) << library;
    EXPECT_NE(nullptr, GetProcAddress(jvm, "JNI_CreateJavaVM"));
    /* Not unloaded: the runtime's start-up allocations would then count as leaks under LeakSanitizer. */
    RegCloseKey(versionKey);
    RegCloseKey(key);
}

TEST(Registry, ProcessesCreatingOneFreshRootAtOnceAgree) {
    harness::MakeFreshRoot();
    int gate[2];
    ASSERT_EQ(0, pipe(gate));
    std::vector<pid_t> children;
    for (int i = 0; i < 4; i++) {
        pid_t child = fork();
        if (child == 0) {
            char byte;
            close(gate[1]);
            if (read(gate[0], &byte, 1) != 0) _exit(3);
            HKEY key = nullptr;
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                &key, nullptr) != ERROR_SUCCESS)
                _exit(1);
            std::string name = "Child" + std::to_string(i);
            if (RegSetValueExA(key, name.c_str(), 0, REG_SZ, (const BYTE *)"", 1) != ERROR_SUCCESS) _exit(2);
            _exit(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\JavaSoft\\JDK", 0, KEY_READ,
                                &key) == ERROR_SUCCESS ? 0 : 4);
        }
        children.push_back(child);
    }
    close(gate[0]);
    close(gate[1]); /* all start together */
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(4u, harness::RegistryValueNames("Software\\Shared").size());
    EXPECT_EQ(1u, harness::Query("SELECT * FROM registry WHERE name = 'CurrentVersion'").size());
}

namespace {

const char kGuarded[] = "D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;S-1-5-80-956008885-3418522649-1831038044-"
                        "1853292631-2271478464)";
/* The DACL that Wine's advapi32 makes of kGuarded, byte for byte. */
const char kGuardedDaclHex[] = "02005c0003000000000214003f000f00010100000000000512000000000218003f000f000102000000"
                               "00000520000000200200000002280019000200010600000000000550000000b589fb381984c2cb5c6c"
                               "236d5700776ec0026487";

std::string ToHex(const unsigned char *bytes, size_t size) {
    std::string hex;
    char pair[3];
    for (size_t i = 0; i < size; i++) {
        snprintf(pair, sizeof pair, "%02x", bytes[i]);
        hex += pair;
    }
    return hex;
}

const SECURITY_INFORMATION kAllParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

} // namespace

/* A key keeps the descriptor it is given, with the key in machine.db, and
 * gives it back as Windows does: self-relative, the parts asked for, the size
 * needed when the buffer is short; the error codes are those Wine gives too. */
TEST(Registry, AKeyKeepsItsSecurityDescriptorAndGivesItBackAsWindowsDoes) {
    harness::MakeFreshRoot();
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, "Software\\Guarded");
    const std::string owner = "O:S-1-5-32-544G:S-1-5-18";
    EXPECT_EQ(owner + "D:(A;0x2;0xf003f;S-1-5-18)(A;0x2;0xf003f;S-1-5-32-544)(A;0x2;0x20019;S-1-5-32-545)",
              harness::DescribeKeySecurity("Software\\Guarded"));

    PSECURITY_DESCRIPTOR given = nullptr;
    ULONG givenSize = 0;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(kGuarded, SDDL_REVISION_1, &given, &givenSize));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeySecurity(key, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, given));
    EXPECT_EQ(owner + "D:P(A;0x2;0xf003f;S-1-5-18)(A;0x2;0xf003f;S-1-5-32-544)(A;0x2;0x20019;"
                      "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)",
              harness::DescribeKeySecurity("software\\GUARDED"));

    unsigned char buffer[512];
    DWORD size = sizeof buffer;
    ASSERT_EQ(ERROR_SUCCESS, RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer, &size));
    ASSERT_EQ(20u + 92u, size);
    EXPECT_EQ("010004900000000000000000000000001400000", ToHex(buffer, 20).substr(0, 39)); /* 0x9004, DACL at 20 */
    EXPECT_EQ(kGuardedDaclHex, ToHex(buffer + 20, 92));
    DWORD needed = 8;
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer, &needed));
    EXPECT_EQ(size, needed);
    needed = 0;
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, RegGetKeySecurity(key, kAllParts, nullptr, &needed));
    EXPECT_EQ(size + 16u + 12u, needed); /* with the two SIDs */

    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetKeySecurity(key, 0, given));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegGetKeySecurity(key, SACL_SECURITY_INFORMATION, buffer, &size));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetKeySecurity(key, SACL_SECURITY_INFORMATION, given));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegGetKeySecurity((HKEY)0x1234, DACL_SECURITY_INFORMATION, buffer, &size));
    unsigned char malformed[512] = {2};
    EXPECT_EQ(ERROR_UNKNOWN_REVISION, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, malformed));
    EXPECT_EQ(ERROR_INVALID_OWNER, RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION, given));
    memcpy(malformed, given, givenSize);
    malformed[20 + 2] = 0x5a; /* an ACL size that is no multiple of 4 */
    EXPECT_EQ(ERROR_INVALID_ACL, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, malformed));

    /* An absolute descriptor; UNPROTECTED_DACL_SECURITY_INFORMATION wins over its control. */
    SECURITY_DESCRIPTOR absolute = {SECURITY_DESCRIPTOR_REVISION, 0, SE_DACL_PRESENT | SE_DACL_PROTECTED,
                                    nullptr, nullptr, nullptr, (PACL)((BYTE *)given + 20)};
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeySecurity(key, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, &absolute));
    EXPECT_EQ(owner + "D:(A;0x2;0xf003f;S-1-5-18)(A;0x2;0xf003f;S-1-5-32-544)(A;0x2;0x20019;"
                      "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)",
              harness::DescribeKeySecurity("Software\\Guarded"));
    LocalFree(given);

    /* The string form's own failures. */
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;KA;;;XX)", SDDL_REVISION_1, &given,
                                                                       nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorA(kGuarded, 2, &given, nullptr));
    EXPECT_EQ((DWORD)ERROR_UNKNOWN_REVISION, GetLastError());

    /* Kept with the key, and gone with it: a key made anew has the default. */
    EXPECT_EQ(1u, harness::Query("SELECT key FROM registry_security").size());
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Guarded"));
    EXPECT_EQ(ERROR_KEY_DELETED, RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer, &size));
    RegCloseKey(key);
    EXPECT_EQ(0u, harness::Query("SELECT key FROM registry_security").size());
    RegCloseKey(CreateKey(HKEY_LOCAL_MACHINE, "Software\\Guarded"));
    EXPECT_EQ(owner + "D:(A;0x2;0xf003f;S-1-5-18)(A;0x2;0xf003f;S-1-5-32-544)(A;0x2;0x20019;S-1-5-32-545)",
              harness::DescribeKeySecurity("Software\\Guarded"));
}

namespace {

unsigned ModeOf(const std::string &path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0xffff;
}

std::set<std::string> EntriesOf(const std::string &directory) {
    std::set<std::string> names;
    DIR *listing = opendir(directory.c_str());
    for (struct dirent *entry; listing && (entry = readdir(listing));) names.insert(entry->d_name);
    if (listing) closedir(listing);
    return names;
}

} // namespace

/* The root and machine.db with its -wal and -shm are their owner's alone from
 * their creation; a root an earlier version left open (0755, machine.db 0644)
 * is closed on its owner's first use. Another user reads nothing, directly or
 * through the layer (ERROR_ACCESS_DENIED), and changes nothing. */
TEST(Registry, TheMachineRootIsClosedToOtherUsers) {
    std::string root = harness::MakeFreshRoot();
    ASSERT_EQ(0, chmod(root.c_str(), 0755));
    int earlier = open((root + "/machine.db").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(earlier, 0);
    ASSERT_EQ(0, fchmod(earlier, 0644));
    close(earlier);
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, "Software\\Secret");
    SetString(key, "Password", "hunter2");
    RegCloseKey(key);
    EXPECT_EQ(0700u, ModeOf(root));
    for (const char *file : {"/machine.db", "/machine.db-wal", "/machine.db-shm"})
        EXPECT_EQ(0600u, ModeOf(root + file)) << file;

    if (geteuid() != 0) GTEST_SKIP() << "not run as root: no other user to read the root as";
    std::set<std::string> before = EntriesOf(root);
    pid_t child = fork();
    if (child == 0) {
        const gid_t nobody = 65534;
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) _exit(100);
        int failures = 0;
        if (open((root + "/machine.db").c_str(), O_RDONLY) >= 0 || errno != EACCES) failures |= 1;
        if (opendir(root.c_str()) != nullptr) failures |= 2;
        HKEY secret = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Secret", 0, KEY_READ, &secret) != ERROR_ACCESS_DENIED)
            failures |= 4;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Planted", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &secret, nullptr) != ERROR_ACCESS_DENIED)
            failures |= 8;
        if (OpenSCManagerA(nullptr, nullptr, GENERIC_READ) != nullptr || GetLastError() != ERROR_ACCESS_DENIED)
            failures |= 16;
        if (CreateEventA(nullptr, TRUE, FALSE, "Planted") != nullptr || GetLastError() != ERROR_ACCESS_DENIED)
            failures |= 32;
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "failed checks (bits): " << WEXITSTATUS(status);
    EXPECT_EQ(before, EntriesOf(root));
    auto password = harness::RegistryGet("Software\\Secret", "Password");
    ASSERT_TRUE(password);
    EXPECT_EQ(std::string("hunter2", 8), password->data);
}
