#ifndef VEXA_PORT_INTERRUPT_H_
#define VEXA_PORT_INTERRUPT_H_

namespace vexa::port {

// Catches the user's interrupt (Ctrl-C, SIGINT) and termination requests
// (SIGTERM), so a host can stop its work in order instead of dying mid-write.
// The handler only counts; the host polls InterruptCount(). Installing again
// does nothing.
void InstallInterruptHandler();

// How many interrupts arrived since the handler was installed.
int InterruptCount();

}  // namespace vexa::port

#endif  // VEXA_PORT_INTERRUPT_H_
