#include "security_text.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace harness {

static std::string DescribeSid(const unsigned char *sid) {
    unsigned long long authority = 0;
    for (int i = 0; i < 6; i++) authority = authority << 8 | sid[2 + i];
    std::string text = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
    for (int i = 0; i < sid[1]; i++) {
        uint32_t part;
        memcpy(&part, sid + 8 + 4 * i, 4);
        text += "-" + std::to_string(part);
    }
    return text;
}

static std::string Hex(unsigned value) {
    char text[16];
    snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string DescribeSecurity(const void *descriptor) {
    const unsigned char *bytes = static_cast<const unsigned char *>(descriptor);
    uint16_t control;
    uint32_t owner, group, dacl;
    memcpy(&control, bytes + 2, 2);
    memcpy(&owner, bytes + 4, 4);
    memcpy(&group, bytes + 8, 4);
    memcpy(&dacl, bytes + 16, 4);
    if (!(control & SE_SELF_RELATIVE)) return "<not self-relative>";
    std::string text;
    if (owner) text += "O:" + DescribeSid(bytes + owner);
    if (group) text += "G:" + DescribeSid(bytes + group);
    if (!(control & SE_DACL_PRESENT)) return text;
    text += std::string("D:") + (control & SE_DACL_PROTECTED ? "P" : "");
    if (!dacl) return text + "NULL";
    const unsigned char *acl = bytes + dacl;
    uint16_t count;
    memcpy(&count, acl + 4, 2);
    const unsigned char *ace = acl + 8;
    for (uint16_t i = 0; i < count; i++) {
        uint16_t size;
        uint32_t mask;
        memcpy(&size, ace + 2, 2);
        memcpy(&mask, ace + 4, 4);
        text += std::string("(") + (ace[0] == 0 ? "A" : ace[0] == 1 ? "D" : "?") + ";" + Hex(ace[1]) + ";" +
                Hex(mask) + ";" + DescribeSid(ace + 8) + ")";
        ace += size;
    }
    return text;
}

std::string DescribeKeySecurity(const std::string &path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, READ_CONTROL, &key) != ERROR_SUCCESS) return "<no key>";
    unsigned char buffer[4096];
    DWORD size = sizeof buffer;
    LONG status = RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                             DACL_SECURITY_INFORMATION, buffer, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? DescribeSecurity(buffer) : "<RegGetKeySecurity " + std::to_string(status) + ">";
}

} // namespace harness
