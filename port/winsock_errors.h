#ifndef VEXA_PORT_WINSOCK_ERRORS_H_
#define VEXA_PORT_WINSOCK_ERRORS_H_

// The Winsock error codes, by number, and the errno value the Windows port
// reports for each. Plain data without the Windows headers, so the table is
// checked on every platform.

namespace vexa::port {

// The errno value for Winsock error `wsa` (0 for 0): MapSocketErrno of it is
// the socket status the platform's table gives that code, and a code the
// table does not list becomes OtherError.
int ErrnoOfWinsockError(int wsa);

}  // namespace vexa::port

#endif  // VEXA_PORT_WINSOCK_ERRORS_H_
