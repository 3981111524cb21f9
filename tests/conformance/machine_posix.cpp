/* On Linux each test runs in a process of its own, on a fresh root. */
#include "conformance.h"

#include "harness.h"

namespace conformance {

void PrepareMachine() { harness::MakeFreshRoot(); }

bool UnderWine() { return false; }

const char *NullDevice() { return "/dev/null"; }

} // namespace conformance
