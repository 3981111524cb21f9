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

/* machine.db keeps a name in the case it was first given, whatever case
 * later calls use; subkeys are enumerated in the order of their creation,
 * which the layer promises (Windows promises no order). */
TEST(Registry, MachineDbKeepsStoredCaseAndCreationOrder) {
    harness::MakeFreshRoot();
    HKEY service = CreateKey(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\MyApp");
    SetString(service, "CurrentDirectory", "/srv/app");
    RegCloseKey(service);
    HKEY again = CreateKey(HKEY_LOCAL_MACHINE, "system\\CurrentControlSet\\Services\\myapp");
    SetString(again, "CURRENTDIRECTORY", "/opt");
    RegCloseKey(again);
    auto rows = harness::Query("SELECT path, name FROM registry WHERE name = 'CurrentDirectory'");
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("System\\CurrentControlSet\\Services\\MyApp", rows[0][0]);
    EXPECT_EQ(std::string("/opt", 5), harness::RegistryGet(rows[0][0], "CurrentDirectory")->data);

    HKEY services = CreateKey(HKEY_LOCAL_MACHINE, kServices);
    const char *names[] = {"MyApp", "Zeta", "alpha", "Mid"};
    for (int i = 1; i < 4; i++) RegCloseKey(CreateKey(services, names[i]));
    char name[64];
    for (DWORD i = 0; i < 4; i++) {
        ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(services, i, name, sizeof name));
        EXPECT_STREQ(names[i], name);
    }
    /* A key created again goes to the end. */
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(services, "alpha"));
    RegCloseKey(CreateKey(services, "Alpha"));
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(services, 3, name, sizeof name));
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
const SECURITY_INFORMATION kAllParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

} // namespace

/* What the layer alone decides of a key's descriptor: a key never given one
 * reads as SYSTEM and Administrators in full and Users to read; the system
 * ACL and the owner ask for rights that no process here holds; the
 * descriptor lives with the key in machine.db and goes with it. What Windows
 * documents of the calls is held against Wine in the conformance tests. */
TEST(Registry, AKeysDescriptorLivesWithTheKey) {
    harness::MakeFreshRoot();
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, "Software\\Guarded");
    const std::string owner = "O:S-1-5-32-544G:S-1-5-18";
    const std::string byDefault = owner + "D:(A;0x2;0xf003f;S-1-5-18)(A;0x2;0xf003f;S-1-5-32-544)(A;0x2;0x20019;S-1-5-32-545)";
    EXPECT_EQ(byDefault, harness::DescribeKeySecurity("Software\\Guarded"));

    PSECURITY_DESCRIPTOR given = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(kGuarded, SDDL_REVISION_1, &given, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, given));
    EXPECT_EQ(owner + "D:P(A;0x2;0xf003f;S-1-5-18)(A;0x2;0xf003f;S-1-5-32-544)(A;0x2;0x20019;"
                      "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)",
              harness::DescribeKeySecurity("software\\GUARDED"));
    unsigned char buffer[512];
    DWORD size = sizeof buffer, needed = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer, &size));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, RegGetKeySecurity(key, kAllParts, nullptr, &needed));
    EXPECT_EQ(size + 16u + 12u, needed); /* with the two SIDs */

    EXPECT_EQ(ERROR_ACCESS_DENIED, RegGetKeySecurity(key, SACL_SECURITY_INFORMATION, buffer, &size));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetKeySecurity(key, SACL_SECURITY_INFORMATION, given));
    unsigned char malformed[512] = {2};
    EXPECT_EQ(ERROR_UNKNOWN_REVISION, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, malformed));
    EXPECT_EQ(ERROR_INVALID_OWNER, RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION, given));
    memcpy(malformed, given, 20 + 92);
    malformed[20 + 2] = 0x5a; /* an ACL size that is no multiple of 4 */
    EXPECT_EQ(ERROR_INVALID_ACL, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, malformed));
    LocalFree(given);

    EXPECT_EQ(1u, harness::Query("SELECT key FROM registry_security").size());
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Guarded"));
    EXPECT_EQ(ERROR_KEY_DELETED, RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer, &size));
    RegCloseKey(key);
    EXPECT_EQ(0u, harness::Query("SELECT key FROM registry_security").size());
    RegCloseKey(CreateKey(HKEY_LOCAL_MACHINE, "Software\\Guarded"));
    EXPECT_EQ(byDefault, harness::DescribeKeySecurity("Software\\Guarded"));
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
