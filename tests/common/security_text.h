/* A security descriptor as text, for the tests' comparisons; Win32 types
 * alone, so the conformance tests of the Windows build share it. */
#ifndef PELORIM_TEST_SECURITY_TEXT_H
#define PELORIM_TEST_SECURITY_TEXT_H

#include <windows.h>

#include <string>

namespace harness {

/* A self-relative security descriptor in a form for comparisons, read from
 * its bytes: "O:<sid>G:<sid>D:P(A;<flags>;<mask>;<sid>)...", numbers in hex,
 * "P" only for a protected DACL. DescribeKeySecurity does it for the owner,
 * group and DACL of the key at `path` under HKEY_LOCAL_MACHINE. */
std::string DescribeSecurity(const void *descriptor);
std::string DescribeKeySecurity(const std::string &path);

} // namespace harness

#endif
