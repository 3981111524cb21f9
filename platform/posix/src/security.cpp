/*
 * Security descriptors: reading and checking either form, writing the
 * self-relative one, and the string form (ConvertStringSecurityDescriptorTo
 * SecurityDescriptorA). Numbers inside a descriptor are little-endian, as on
 * Windows; a SID's identifier authority is big-endian.
 */
#include <sddl.h>
#include <stdlib.h>
#include <string.h>

#include "errors.h"
#include "security_internal.h"

namespace {

const size_t kHeaderSize = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
const size_t kAclHeaderSize = sizeof(ACL);
const size_t kAceHeaderSize = sizeof(ACE_HEADER);
const WORD kDaclControlBits = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ;

WORD ReadWord(const BYTE *at) { return (WORD)(at[0] | at[1] << 8); }

DWORD ReadDword(const BYTE *at) { return (DWORD)at[0] | (DWORD)at[1] << 8 | (DWORD)at[2] << 16 | (DWORD)at[3] << 24; }

void AppendWord(std::string *out, WORD value) {
    out->push_back((char)(value & 0xff));
    out->push_back((char)(value >> 8));
}

void AppendDword(std::string *out, DWORD value) {
    for (int shift = 0; shift < 32; shift += 8) out->push_back((char)((value >> shift) & 0xff));
}

/* 0 and the SID's length, or ERROR_INVALID_SID. `room` bounds it when known. */
DWORD CheckSid(const BYTE *sid, size_t room, size_t *length) {
    if (room < 8 || sid[0] != SID_REVISION || sid[1] > SID_MAX_SUB_AUTHORITIES) return ERROR_INVALID_SID;
    *length = 8 + 4 * (size_t)sid[1];
    return *length <= room ? 0 : (DWORD)ERROR_INVALID_SID;
}

/* 0 and the ACL's size, or ERROR_INVALID_ACL: the header, and every entry
 * within it; an access-allowed or -denied entry must hold a valid SID. */
DWORD CheckAcl(const BYTE *acl, size_t *size) {
    WORD aclSize = ReadWord(acl + 2);
    if (acl[0] < ACL_REVISION || acl[0] > ACL_REVISION_DS || aclSize < kAclHeaderSize || aclSize % 4 != 0)
        return ERROR_INVALID_ACL;
    size_t offset = kAclHeaderSize;
    for (WORD entry = 0, count = ReadWord(acl + 4); entry < count; entry++) {
        if (offset + kAceHeaderSize > aclSize) return ERROR_INVALID_ACL;
        const BYTE *ace = acl + offset;
        WORD aceSize = ReadWord(ace + 2);
        if (aceSize < kAceHeaderSize || aceSize % 4 != 0 || offset + aceSize > aclSize) return ERROR_INVALID_ACL;
        size_t sidLength = 0;
        if ((ace[0] == ACCESS_ALLOWED_ACE_TYPE || ace[0] == ACCESS_DENIED_ACE_TYPE) &&
            (aceSize < 8 || CheckSid(ace + 8, aceSize - 8, &sidLength) != 0))
            return ERROR_INVALID_ACL;
        offset += aceSize;
    }
    *size = aclSize;
    return 0;
}

DWORD TakeSid(const BYTE *sid, std::string *out) {
    size_t length = 0;
    DWORD error = CheckSid(sid, SIZE_MAX, &length);
    if (error == 0) out->assign((const char *)sid, length);
    return error;
}

DWORD TakeAcl(const BYTE *acl, std::string *out) {
    size_t size = 0;
    DWORD error = CheckAcl(acl, &size);
    if (error == 0) out->assign((const char *)acl, size);
    return error;
}

/* Where each part of the descriptor lies, whatever its form; NULL for none. */
struct PartPlaces {
    const BYTE *owner, *group, *dacl;
};

PartPlaces LocateParts(const BYTE *descriptor, WORD control) {
    PartPlaces places = {};
    if (control & SE_SELF_RELATIVE) {
        DWORD owner = ReadDword(descriptor + 4), group = ReadDword(descriptor + 8), dacl = ReadDword(descriptor + 16);
        places.owner = owner ? descriptor + owner : nullptr;
        places.group = group ? descriptor + group : nullptr;
        places.dacl = dacl ? descriptor + dacl : nullptr;
    } else {
        const SECURITY_DESCRIPTOR *absolute = (const SECURITY_DESCRIPTOR *)descriptor;
        places.owner = (const BYTE *)absolute->Owner;
        places.group = (const BYTE *)absolute->Group;
        places.dacl = (const BYTE *)absolute->Dacl;
    }
    return places;
}

} // namespace

DWORD ReadSecurityDescriptor(const void *descriptor, SecurityParts *parts) {
    const BYTE *bytes = (const BYTE *)descriptor;
    if (bytes[0] != SECURITY_DESCRIPTOR_REVISION) return ERROR_UNKNOWN_REVISION;
    WORD control = ReadWord(bytes + 2);
    PartPlaces places = LocateParts(bytes, control);
    *parts = SecurityParts();
    DWORD error = 0;
    if (places.owner) error = TakeSid(places.owner, &parts->owner);
    if (!error && places.group) error = TakeSid(places.group, &parts->group);
    parts->daclPresent = (control & SE_DACL_PRESENT) != 0;
    parts->daclControl = control & kDaclControlBits;
    if (!error && parts->daclPresent && places.dacl) error = TakeAcl(places.dacl, &parts->dacl);
    return error;
}

std::string WriteSecurityDescriptor(const SecurityParts &parts, SECURITY_INFORMATION information) {
    bool owner = (information & OWNER_SECURITY_INFORMATION) && !parts.owner.empty();
    bool group = (information & GROUP_SECURITY_INFORMATION) && !parts.group.empty();
    bool daclPart = (information & DACL_SECURITY_INFORMATION) && parts.daclPresent;
    WORD control = SE_SELF_RELATIVE;
    if (daclPart) control |= SE_DACL_PRESENT | parts.daclControl;
    size_t next = kHeaderSize;
    DWORD ownerOffset = owner ? (DWORD)next : 0;
    next += owner ? parts.owner.size() : 0;
    DWORD groupOffset = group ? (DWORD)next : 0;
    next += group ? parts.group.size() : 0;
    DWORD daclOffset = daclPart && !parts.dacl.empty() ? (DWORD)next : 0;

    std::string out;
    out.push_back((char)SECURITY_DESCRIPTOR_REVISION);
    out.push_back(0);
    AppendWord(&out, control);
    AppendDword(&out, ownerOffset);
    AppendDword(&out, groupOffset);
    AppendDword(&out, 0); /* no system ACL */
    AppendDword(&out, daclOffset);
    if (owner) out += parts.owner;
    if (group) out += parts.group;
    if (daclOffset) out += parts.dacl;
    return out;
}

/* ---- the string form -------------------------------------------------- */

namespace {

struct Code {
    const char *text;
    DWORD value;
};

struct SidAlias {
    const char *alias;
    const char *sid;
};

const SidAlias kSidAliases[] = {
    {"SY", "S-1-5-18"}, {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"}, {"BG", "S-1-5-32-546"},
    {"PU", "S-1-5-32-547"}, {"SO", "S-1-5-32-549"}, {"WD", "S-1-1-0"}, {"AU", "S-1-5-11"},
    {"CO", "S-1-3-0"}, {"CG", "S-1-3-1"}, {"LS", "S-1-5-19"}, {"NS", "S-1-5-20"},
    {"NU", "S-1-5-2"}, {"IU", "S-1-5-4"}, {"SU", "S-1-5-6"}, {"AN", "S-1-5-7"},
};

const Code kRights[] = {
    {"GA", GENERIC_ALL},   {"GR", GENERIC_READ},  {"GW", GENERIC_WRITE}, {"GX", GENERIC_EXECUTE},
    {"RC", READ_CONTROL},  {"SD", DELETE},        {"WD", WRITE_DAC},     {"WO", WRITE_OWNER},
    {"KA", KEY_ALL_ACCESS}, {"KR", KEY_READ},     {"KW", KEY_WRITE},     {"KX", KEY_EXECUTE},
    {"FA", 0x001F01FF},    {"FR", 0x00120089},    {"FW", 0x00120116},    {"FX", 0x001200A0},
};

const Code kAceFlags[] = {
    {"CI", CONTAINER_INHERIT_ACE}, {"OI", OBJECT_INHERIT_ACE}, {"NP", NO_PROPAGATE_INHERIT_ACE},
    {"IO", INHERIT_ONLY_ACE},      {"ID", INHERITED_ACE},
};

const Code kAclFlags[] = {
    {"P", SE_DACL_PROTECTED}, {"AI", SE_DACL_AUTO_INHERITED}, {"AR", SE_DACL_AUTO_INHERIT_REQ},
};

/* Takes one code of `table` at *text (no code of a table begins another). */
template <size_t N> bool TakeCode(const char **text, const Code (&table)[N], DWORD *value) {
    for (const Code &code : table) {
        size_t length = strlen(code.text);
        if (strncmp(*text, code.text, length) != 0) continue;
        *text += length;
        *value = code.value;
        return true;
    }
    return false;
}

bool TakeNumber(const char **text, unsigned long long limit, unsigned long long *value) {
    if (**text < '0' || **text > '9') return false;
    char *end = nullptr;
    errno = 0;
    *value = strtoull(*text, &end, 0);
    if (errno != 0 || *value > limit) return false;
    *text = end;
    return true;
}

/* "S-1-<authority>(-<sub-authority>)*" into the SID's bytes. */
bool TakeSidText(const char **text, std::string *sid) {
    if (strncmp(*text, "S-1-", 4) != 0) return false;
    *text += 4;
    unsigned long long authority = 0;
    if (!TakeNumber(text, 0xFFFFFFFFFFFFull, &authority)) return false;
    std::string subAuthorities;
    int count = 0;
    while (**text == '-') {
        (*text)++;
        unsigned long long value = 0;
        if (count == SID_MAX_SUB_AUTHORITIES || !TakeNumber(text, 0xFFFFFFFFull, &value)) return false;
        AppendDword(&subAuthorities, (DWORD)value);
        count++;
    }
    sid->clear();
    sid->push_back((char)SID_REVISION);
    sid->push_back((char)count);
    for (int shift = 40; shift >= 0; shift -= 8) sid->push_back((char)((authority >> shift) & 0xff));
    *sid += subAuthorities;
    return true;
}

bool TakeSid(const char **text, std::string *sid) {
    for (const SidAlias &alias : kSidAliases) {
        if (strncmp(*text, alias.alias, 2) != 0) continue;
        *text += 2;
        const char *sidText = alias.sid;
        return TakeSidText(&sidText, sid);
    }
    return TakeSidText(text, sid);
}

bool TakeRights(const char **text, DWORD *mask) {
    unsigned long long number = 0;
    if (TakeNumber(text, 0xFFFFFFFFull, &number)) {
        *mask = (DWORD)number;
        return true;
    }
    DWORD right = 0;
    *mask = 0;
    while (TakeCode(text, kRights, &right)) *mask |= right;
    return **text == ';';
}

bool TakeChar(const char **text, char expected) {
    if (**text != expected) return false;
    (*text)++;
    return true;
}

/* "(type;flags;rights;;;sid)" appended to `entries`. */
bool TakeAce(const char **text, std::string *entries) {
    if (!TakeChar(text, '(')) return false;
    BYTE type = 0;
    if (TakeChar(text, 'A')) type = ACCESS_ALLOWED_ACE_TYPE;
    else if (TakeChar(text, 'D')) type = ACCESS_DENIED_ACE_TYPE;
    else return false;
    DWORD flag = 0, flags = 0, mask = 0;
    if (!TakeChar(text, ';')) return false;
    while (TakeCode(text, kAceFlags, &flag)) flags |= flag;
    std::string sid;
    if (!TakeChar(text, ';') || !TakeRights(text, &mask) || !TakeChar(text, ';') || !TakeChar(text, ';') ||
        !TakeChar(text, ';') || !TakeSid(text, &sid) || !TakeChar(text, ')'))
        return false;
    entries->push_back((char)type);
    entries->push_back((char)flags);
    AppendWord(entries, (WORD)(8 + sid.size()));
    AppendDword(entries, mask);
    *entries += sid;
    return true;
}

bool TakeDacl(const char **text, SecurityParts *parts) {
    DWORD flag = 0;
    while (TakeCode(text, kAclFlags, &flag)) parts->daclControl |= (WORD)flag;
    std::string entries;
    WORD count = 0;
    while (**text == '(') {
        if (!TakeAce(text, &entries)) return false;
        count++;
    }
    if (kAclHeaderSize + entries.size() > 0xFFFF) return false;
    parts->dacl.clear();
    parts->dacl.push_back((char)ACL_REVISION);
    parts->dacl.push_back(0);
    AppendWord(&parts->dacl, (WORD)(kAclHeaderSize + entries.size()));
    AppendWord(&parts->dacl, count);
    AppendWord(&parts->dacl, 0);
    parts->dacl += entries;
    parts->daclPresent = true;
    return true;
}

} // namespace

DWORD ParseSecurityString(const char *text, SecurityParts *parts) {
    *parts = SecurityParts();
    bool seenOwner = false, seenGroup = false;
    while (*text) {
        bool taken = false;
        if (strncmp(text, "O:", 2) == 0 && !seenOwner) {
            text += 2;
            taken = seenOwner = TakeSid(&text, &parts->owner);
        } else if (strncmp(text, "G:", 2) == 0 && !seenGroup) {
            text += 2;
            taken = seenGroup = TakeSid(&text, &parts->group);
        } else if (strncmp(text, "D:", 2) == 0 && !parts->daclPresent) {
            /* Windows fails a malformed entry of the DACL as the ACL's fault. */
            text += 2;
            if (!TakeDacl(&text, parts)) return ERROR_INVALID_ACL;
            taken = true;
        }
        if (!taken) return ERROR_INVALID_PARAMETER;
    }
    return 0;
}

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR StringSecurityDescriptor,
                                                                 DWORD StringSDRevision,
                                                                 PSECURITY_DESCRIPTOR *SecurityDescriptor,
                                                                 ULONG *SecurityDescriptorSize) {
    if (!StringSecurityDescriptor || !SecurityDescriptor) return FailWith(ERROR_INVALID_PARAMETER);
    if (StringSDRevision != SDDL_REVISION_1) return FailWith(ERROR_UNKNOWN_REVISION);
    SecurityParts parts;
    DWORD error = ParseSecurityString(StringSecurityDescriptor, &parts);
    if (error) return FailWith(error);
    std::string bytes = WriteSecurityDescriptor(
        parts, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
    void *copy = malloc(bytes.size()); /* LocalFree is free() */
    if (!copy) return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    memcpy(copy, bytes.data(), bytes.size());
    *SecurityDescriptor = copy;
    if (SecurityDescriptorSize) *SecurityDescriptorSize = (ULONG)bytes.size();
    SetLastError(0);
    return TRUE;
}
