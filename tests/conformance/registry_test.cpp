/* The registry as the program uses it: keys and values under
 * HKEY_LOCAL_MACHINE, names without regard to ASCII case, size probes, and a
 * key's security descriptor. Each test works under a key of its own. */
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <set>
#include <string>

#include "conformance.h"
#include "security_text.h"

namespace {

class Registry : public testing::Test {
protected:
    void SetUp() override {
        conformance::PrepareMachine();
        base_ = "Software\\PelorimConformance\\" + conformance::UniqueName("Registry");
    }

    /* `path` below the test's own key. */
    std::string Path(const std::string &path) const { return path.empty() ? base_ : base_ + "\\" + path; }

    HKEY CreateKey(const std::string &path, DWORD *disposition = nullptr) {
        HKEY key = nullptr;
        DWORD ignored = 0;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, Path(path).c_str(), 0, nullptr,
                                                 REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                                                 disposition ? disposition : &ignored));
        return key;
    }

    std::string base_;
};

void SetString(HKEY key, const char *name, const char *value, bool withNul = true) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)value,
                                            (DWORD)strlen(value) + (withNul ? 1 : 0)));
}

std::set<std::string> SubkeyNames(HKEY key) {
    std::set<std::string> names;
    char name[256];
    for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; i++) names.insert(name);
    return names;
}

} // namespace

TEST_F(Registry, NamesIgnoreAsciiCaseAndKeepTheirStoredCase) {
    DWORD disposition = 0;
    HKEY service = CreateKey("MyApp", &disposition);
    EXPECT_EQ((DWORD)REG_CREATED_NEW_KEY, disposition);
    SetString(service, "CurrentDirectory", "C:\\srv\\app");
    RegCloseKey(service);

    std::string otherCase = Path("MYAPP");
    for (char &c : otherCase)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    otherCase += "\\Parameters";
    HKEY again = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, otherCase.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &again, &disposition));
    EXPECT_EQ((DWORD)REG_CREATED_NEW_KEY, disposition);
    RegCloseKey(again);
    again = CreateKey("myapp", &disposition);
    EXPECT_EQ((DWORD)REG_OPENED_EXISTING_KEY, disposition);

    char buffer[64];
    DWORD size = sizeof buffer, type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(again, "currentdirectory", nullptr, &type, (BYTE *)buffer, &size));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_STREQ("C:\\srv\\app", buffer);
    SetString(again, "CURRENTDIRECTORY", "C:\\opt");
    size = sizeof buffer;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(again, "CurrentDirectory", nullptr, &type, (BYTE *)buffer, &size));
    EXPECT_STREQ("C:\\opt", buffer);
    EXPECT_EQ(std::set<std::string>{"Parameters"}, SubkeyNames(again));
    RegCloseKey(again);

    HKEY base = CreateKey("");
    EXPECT_EQ(std::set<std::string>{"MyApp"}, SubkeyNames(base));
    RegCloseKey(base);
}

TEST_F(Registry, MissingKeysValuesAndMalformedPaths) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path("Nobody").c_str(), 0, KEY_READ, &key));
    HKEY app = CreateKey("Pelorim Test");
    DWORD size = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(app, "Absent", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(app, "Absent"));
    EXPECT_NE(ERROR_SUCCESS, RegCreateKeyExA(app, "\\a", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    /* "" names the key itself. */
    HKEY self = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(app, "", 0, KEY_READ, &self));
    SetString(app, "Name", "v");
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(self, "Name", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(2u, size);
    RegCloseKey(self);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(app));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(app));
    /* Registry calls return their error and leave the last error alone. */
    SetLastError(12345);
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path("Nobody").c_str(), 0, KEY_READ, &key);
    EXPECT_EQ(12345u, GetLastError());
}

TEST_F(Registry, QuerySizeProbeMoreDataAndValuesWithoutTerminator) {
    HKEY key = CreateKey("Values");
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

    /* A string stored without its terminator comes back as stored, or with
     * one added (Wine adds it; Microsoft leaves it open and tells callers to
     * terminate such a value themselves, as the program does). */
    char buffer[16];
    memset(buffer, 'Z', sizeof buffer);
    size = sizeof buffer;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Bare", nullptr, &type, (BYTE *)buffer, &size));
    EXPECT_EQ(0, memcmp(buffer, "abc", 3));
    EXPECT_TRUE(size == 3 || (size == 4 && buffer[3] == '\0')) << size;

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

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, "TEXT"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "Text", nullptr, nullptr, nullptr, &size));
    RegCloseKey(key);
}

/* Enumeration gives each subkey once, in no order that Windows promises; a
 * key with subkeys is not deleted; a handle that outlived its key fails. */
TEST_F(Registry, EnumerationAndDeletion) {
    HKEY services = CreateKey("Services");
    for (const char *name : {"Zeta", "alpha", "Mid"}) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(services, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                                 nullptr));
        RegCloseKey(key);
    }
    HKEY child = CreateKey("Services\\alpha\\Parameters");
    SetString(child, "Value", "1");
    RegCloseKey(child);

    EXPECT_EQ((std::set<std::string>{"Zeta", "alpha", "Mid"}), SubkeyNames(services));
    char name[64];
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(services, 3, name, sizeof name));
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyA(services, 0, name, 2));

    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(services, "ALPHA"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(services, "Nobody"));
    HKEY alpha = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(services, "alpha\\Parameters", 0, KEY_ALL_ACCESS, &alpha));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(services, "alpha\\parameters"));
    EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExA(alpha, "x", 0, REG_SZ, (const BYTE *)"", 1));
    RegCloseKey(alpha);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(services, "alpha\\Parameters", 0, KEY_READ, &alpha));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(services, "alpha"));
    EXPECT_EQ((std::set<std::string>{"Zeta", "Mid"}), SubkeyNames(services));
    RegCloseKey(services);
}

namespace {

const char kGuarded[] = "D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;S-1-5-80-956008885-3418522649-1831038044-"
                        "1853292631-2271478464)";
/* The DACL that Windows' ACL format makes of kGuarded, byte for byte. */
const char kGuardedDaclHex[] = "02005c0003000000000214003f000f00010100000000000512000000000218003f000f000102000000"
                               "00000520000000200200000002280019000200010600000000000550000000b589fb381984c2cb5c6c"
                               "236d5700776ec0026487";
const char kGuardedDacl[] = "D:P(A;0x2;0xf003f;S-1-5-18)(A;0x2;0xf003f;S-1-5-32-544)(A;0x2;0x20019;"
                            "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)";

std::string ToHex(const unsigned char *bytes, size_t size) {
    std::string hex;
    char pair[3];
    for (size_t i = 0; i < size; i++) {
        snprintf(pair, sizeof pair, "%02x", bytes[i]);
        hex += pair;
    }
    return hex;
}

/* The DACL part of a described descriptor: the owner and group of a key are
 * the system's business (Wine sets its own on the first change). */
std::string DaclOf(const std::string &described) {
    size_t at = described.find("D:");
    return at == std::string::npos ? described : described.substr(at);
}

} // namespace

/* A key keeps the DACL it is given and gives it back self-relative, the parts
 * asked for, with the size needed when the buffer is short. */
TEST_F(Registry, AKeyKeepsItsSecurityDescriptor) {
    HKEY key = CreateKey("Guarded");
    PSECURITY_DESCRIPTOR given = nullptr;
    ULONG givenSize = 0;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(kGuarded, SDDL_REVISION_1, &given, &givenSize));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeySecurity(key, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, given));
    EXPECT_EQ(kGuardedDacl, DaclOf(harness::DescribeKeySecurity(Path("GUARDED"))));

    unsigned char buffer[512];
    DWORD size = sizeof buffer;
    ASSERT_EQ(ERROR_SUCCESS, RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer, &size));
    ASSERT_EQ(20u + 92u, size);
    EXPECT_EQ("010004900000000000000000000000001400000", ToHex(buffer, 20).substr(0, 39)); /* 0x9004, DACL at 20 */
    EXPECT_EQ(kGuardedDaclHex, ToHex(buffer + 20, 92));
    DWORD needed = 8;
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer, &needed));
    EXPECT_EQ(size, needed);

    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetKeySecurity(key, 0, given));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegGetKeySecurity((HKEY)0x1234, DACL_SECURITY_INFORMATION, buffer, &size));

    /* An absolute descriptor. Its own control says whether the DACL is
     * protected: UNPROTECTED_DACL_SECURITY_INFORMATION is SetNamedSecurityInfo's. */
    SECURITY_DESCRIPTOR absolute = {SECURITY_DESCRIPTOR_REVISION, 0, SE_DACL_PRESENT, nullptr, nullptr, nullptr,
                                    (PACL)((BYTE *)given + 20)};
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeySecurity(key, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, &absolute));
    std::string unprotected = kGuardedDacl;
    unprotected.erase(2, 1);
    EXPECT_EQ(unprotected, DaclOf(harness::DescribeKeySecurity(Path("Guarded"))));
    absolute.Control |= SE_DACL_PROTECTED;
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeySecurity(key, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, &absolute));
    EXPECT_EQ(kGuardedDacl, DaclOf(harness::DescribeKeySecurity(Path("Guarded"))));
    LocalFree(given);

    /* The string form's own failures: a part it does not know, and an entry of
     * the DACL it cannot read (Windows gives 1336 or 1337 for the second, as
     * Wine's tests record). */
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorA("X:(A;;KA;;;SY)", SDDL_REVISION_1, &given,
                                                                       nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;KA;;;XX)", SDDL_REVISION_1, &given,
                                                                       nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_ACL, GetLastError());
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorA(kGuarded, 2, &given, nullptr));
    EXPECT_EQ((DWORD)ERROR_UNKNOWN_REVISION, GetLastError());
    RegCloseKey(key);
}
