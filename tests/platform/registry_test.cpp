#include <windows.h>

#include <gtest/gtest.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

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
