/* On Windows (and Wine) the tests of one run share the machine. */
#include "conformance.h"

namespace conformance {

void PrepareMachine() {}

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

const char *NullDevice() { return "NUL"; }

} // namespace conformance
