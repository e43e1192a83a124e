#include "port/winsock_errors.h"

#include <cerrno>

namespace vexa::port {

int ErrnoOfWinsockError(int wsa) {
  switch (wsa) {
    case 0:
      return 0;
    case 10004:  // WSAEINTR
      return EINTR;
    case 10009:  // WSAEBADF: a closed handle is a socket no longer connected
      return EBADF;
    case 10057:  // WSAENOTCONN
      return ENOTCONN;
    case 10013:  // WSAEACCES
      return EACCES;
    case 10022:  // WSAEINVAL
      return EINVAL;
    case 10024:  // WSAEMFILE
      return EMFILE;
    case 10038:  // WSAENOTSOCK
      return ENOTSOCK;
    case 10043:  // WSAEPROTONOSUPPORT
      return EPROTONOSUPPORT;
    case 10047:  // WSAEAFNOSUPPORT
      return EAFNOSUPPORT;
    case 10055:  // WSAENOBUFS
      return ENOBUFS;
    case 10014:  // WSAEFAULT
      return EFAULT;
    case 10035:  // WSAEWOULDBLOCK
      return EWOULDBLOCK;
    case 10036:  // WSAEINPROGRESS
      return EINPROGRESS;
    case 10037:  // WSAEALREADY: a connect still under way
      return EALREADY;
    case 10048:  // WSAEADDRINUSE
      return EADDRINUSE;
    case 10053:  // WSAECONNABORTED
      return ECONNABORTED;
    case 10054:  // WSAECONNRESET
      return ECONNRESET;
    case 10060:  // WSAETIMEDOUT
      return ETIMEDOUT;
    case 10061:  // WSAECONNREFUSED
      return ECONNREFUSED;
    case 11004:  // WSANO_DATA: the name exists but has no address
      return EDESTADDRREQ;
    // Unreachable networks and unknown names keep their own cause for the
    // logs; like every unlisted code (WSAENETRESET and WSAESHUTDOWN too) they
    // are OtherError.
    case 10050:  // WSAENETDOWN
    case 10051:  // WSAENETUNREACH
    case 10064:  // WSAEHOSTDOWN
    case 10065:  // WSAEHOSTUNREACH
    case 11001:  // WSAHOST_NOT_FOUND
      return EHOSTUNREACH;
    default:
      return EIO;
  }
}

}  // namespace vexa::port
