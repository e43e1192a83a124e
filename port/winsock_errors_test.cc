#include "port/winsock_errors.h"

#include <gtest/gtest.h>

#include "port/socket.h"

namespace vexa::port {
namespace {

// The platform's table of Winsock codes and the socket status of each, as the
// Windows port reports them through errno.
TEST(WinsockErrorsTest, EachCodeGivesTheStatusOfThePlatformTable) {
  struct Row {
    int wsa;
    const char* name;
    SocketStatus status;
  } rows[] = {
      {0, "success", SocketStatus::Success},
      {10004, "WSAEINTR", SocketStatus::Interrupted},
      {10009, "WSAEBADF", SocketStatus::NotConnected},
      {10057, "WSAENOTCONN", SocketStatus::NotConnected},
      {10013, "WSAEACCES", SocketStatus::InvalidSocket},
      {10022, "WSAEINVAL", SocketStatus::InvalidSocket},
      {10024, "WSAEMFILE", SocketStatus::InvalidSocket},
      {10038, "WSAENOTSOCK", SocketStatus::InvalidSocket},
      {10043, "WSAEPROTONOSUPPORT", SocketStatus::InvalidSocket},
      {10047, "WSAEAFNOSUPPORT", SocketStatus::InvalidSocket},
      {10055, "WSAENOBUFS", SocketStatus::InvalidSocket},
      {10014, "WSAEFAULT", SocketStatus::InvalidPointer},
      {10035, "WSAEWOULDBLOCK", SocketStatus::WouldBlock},
      {10036, "WSAEINPROGRESS", SocketStatus::InProgress},
      {10048, "WSAEADDRINUSE", SocketStatus::AddressInUse},
      {10053, "WSAECONNABORTED", SocketStatus::ConnectionAborted},
      {10054, "WSAECONNRESET", SocketStatus::ConnectionReset},
      {10060, "WSAETIMEDOUT", SocketStatus::TimedOut},
      {10061, "WSAECONNREFUSED", SocketStatus::ConnectionRefused},
      {11004, "WSANO_DATA", SocketStatus::InvalidAddress},
      // Not in the table: the same status as any unknown code.
      {10052, "WSAENETRESET", SocketStatus::OtherError},
      {10058, "WSAESHUTDOWN", SocketStatus::OtherError},
      {10065, "WSAEHOSTUNREACH", SocketStatus::OtherError},
      {11001, "WSAHOST_NOT_FOUND", SocketStatus::OtherError},
      {99999, "unknown", SocketStatus::OtherError},
  };
  for (const Row& r : rows)
    EXPECT_EQ(r.status, MapSocketErrno(ErrnoOfWinsockError(r.wsa))) << r.name;
}

}  // namespace
}  // namespace vexa::port
