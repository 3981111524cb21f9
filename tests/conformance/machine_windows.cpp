/* On Windows (and Wine) the tests of one run share the machine. */
#include "conformance.h"

namespace conformance {

void PrepareMachine() {}

} // namespace conformance
