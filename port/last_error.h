#ifndef VEXA_PORT_LAST_ERROR_H_
#define VEXA_PORT_LAST_ERROR_H_

#include <cstdint>

namespace vexa::port {

// Error codes are reported with the original platform's numbers everywhere, so
// the message table and the page see the same codes on every system.
enum : uint32_t {
  kErrorSuccess = 0,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorGenFailure = 31,
  kErrorSharingViolation = 32,
  kErrorDiskFull = 112,
  kErrorInvalidName = 123,
  kErrorIoDevice = 1117,
};

// Maps an errno value onto the numbering above.
uint32_t MapErrno(int err);

// The calling thread's last error, as set by the port functions that fail.
uint32_t LastError();
void SetLastError(uint32_t code);
// Sets the last error from the current errno and returns it.
uint32_t SetLastErrorFromErrno();

}  // namespace vexa::port

#endif  // VEXA_PORT_LAST_ERROR_H_
