/* Security descriptors inside the layer: the parts a registry key keeps, read
 * from either form of a descriptor, written in the self-relative form, and
 * parsed from the string form. */
#ifndef PELORIM_POSIX_SECURITY_INTERNAL_H
#define PELORIM_POSIX_SECURITY_INTERNAL_H

#include <windows.h>

#include <string>

struct SecurityParts {
    std::string owner; /* the SID's bytes; empty: none */
    std::string group;
    bool daclPresent = false;
    std::string dacl;     /* the ACL's bytes; empty while present: a NULL DACL */
    WORD daclControl = 0; /* SE_DACL_PROTECTED, SE_DACL_AUTO_INHERITED, SE_DACL_AUTO_INHERIT_REQ */
};

/* Reads an absolute or self-relative descriptor, checking every part it has:
 * 0, ERROR_UNKNOWN_REVISION, ERROR_INVALID_SECURITY_DESCR, ERROR_INVALID_SID
 * or ERROR_INVALID_ACL. */
DWORD ReadSecurityDescriptor(const void *descriptor, SecurityParts *parts);

/* The self-relative bytes of the parts that `information` names (owner, group,
 * DACL; a part the descriptor lacks is left out). */
std::string WriteSecurityDescriptor(const SecurityParts &parts, SECURITY_INFORMATION information);

/* The string form (see sddl.h): 0, or ERROR_INVALID_PARAMETER. */
DWORD ParseSecurityString(const char *text, SecurityParts *parts);

#endif
