#include "port/socket.h"

#include <cerrno>

namespace vexa::port {

const int kErrTimedOut = ETIMEDOUT;
const int kErrConnectionReset = ECONNRESET;
const int kErrConnectionRefused = ECONNREFUSED;
const int kErrWouldBlock = EWOULDBLOCK;
const int kErrInterrupted = EINTR;
const int kErrBrokenPipe = EPIPE;
const int kErrHostUnreachable = EHOSTUNREACH;
const int kErrConnectionAborted = ECONNABORTED;
const int kErrInProgress = EINPROGRESS;

int LastErrno() { return errno; }
void SetErrno(int err) { errno = err; }

SocketStatus MapSocketErrno(int err) {
  switch (err) {
    case 0:
      return SocketStatus::Success;
    case EINTR:
      return SocketStatus::Interrupted;
    case EBADF:
    case ENOTCONN:
      return SocketStatus::NotConnected;
    case EACCES:
    case EINVAL:
    case EMFILE:
    case ENFILE:
    case ENOTSOCK:
    case EPROTONOSUPPORT:
    case EAFNOSUPPORT:
    case ENOBUFS:
      return SocketStatus::InvalidSocket;
    case EFAULT:
      return SocketStatus::InvalidPointer;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK:
      return SocketStatus::WouldBlock;
    case EINPROGRESS:
    case EALREADY:
      return SocketStatus::InProgress;
    case EADDRINUSE:
      return SocketStatus::AddressInUse;
    case ECONNABORTED:
      return SocketStatus::ConnectionAborted;
    // A send to a peer that has gone away reports EPIPE here where the
    // original platform reported a reset.
    case ECONNRESET:
    case EPIPE:
      return SocketStatus::ConnectionReset;
    case ETIMEDOUT:
      return SocketStatus::TimedOut;
    case ECONNREFUSED:
      return SocketStatus::ConnectionRefused;
    // No socket call here fails so; the Windows port reports a host name
    // without an address with it.
    case EDESTADDRREQ:
      return SocketStatus::InvalidAddress;
    default:
      return SocketStatus::OtherError;
  }
}

}  // namespace vexa::port
