#ifndef VEXA_PORT_ACTIVATION_H_
#define VEXA_PORT_ACTIVATION_H_

// A listening socket handed over by the service manager that started us
// (systemd's socket activation), so a server's port stays taken while the
// server itself is not running and no other user can bind it meanwhile.

namespace vexa::port {

// The first socket passed to this very process (LISTEN_PID is ours and
// LISTEN_FDS at least 1), made close-on-exec; -1 when there is none. The
// variables are removed, so programs we start do not take it for theirs.
int TakeActivationSocket();

}  // namespace vexa::port

#endif  // VEXA_PORT_ACTIVATION_H_
