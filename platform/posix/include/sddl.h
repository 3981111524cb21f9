/* The string form of security descriptors, declared where Win32 declares it. */
#ifndef PELORIM_POSIX_SDDL_H
#define PELORIM_POSIX_SDDL_H

#include "win/security.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SDDL_REVISION_1 1

/* The string form, for the parts this layer keeps: "O:" and "G:" with a SID,
 * "D:" with the flags P, AI and AR and access-allowed (A) or access-denied (D)
 * entries. An entry's flags are CI, OI, NP, IO and ID; its rights a number
 * ("0x...", decimal or octal) or two-letter rights (GA GR GW GX RC SD WD WO,
 * KA KR KW KX, FA FR FW FX); its object GUIDs empty; its SID "S-1-..." or a
 * two-letter alias (SY BA BU BG WD AU CO CG LS NS NU IU SU AN PU SO). A
 * system ACL ("S:") and whatever else the string form knows fail with
 * ERROR_INVALID_PARAMETER, a revision other than SDDL_REVISION_1 with
 * ERROR_UNKNOWN_REVISION. The result is self-relative (owner, group, DACL in
 * that order) and freed with LocalFree. */
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR StringSecurityDescriptor,
                                                                 DWORD StringSDRevision,
                                                                 PSECURITY_DESCRIPTOR *SecurityDescriptor,
                                                                 ULONG *SecurityDescriptorSize);

#ifdef __cplusplus
}
#endif

#endif
