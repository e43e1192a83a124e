#include "port/activation.h"

namespace vexa::port {

// Windows has no service manager that passes sockets this way.
int TakeActivationSocket() { return -1; }

}  // namespace vexa::port
