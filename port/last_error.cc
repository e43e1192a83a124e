#include "port/last_error.h"

#include <cerrno>

namespace vexa::port {
namespace {
thread_local uint32_t t_last_error = kErrorSuccess;
}  // namespace

uint32_t MapErrno(int err) {
  switch (err) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
      return kErrorAccessDenied;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return kErrorDiskFull;
    case EBUSY:
#ifdef ETXTBSY
    case ETXTBSY:
#endif
      return kErrorSharingViolation;
    case EILSEQ:
    case EINVAL:
    case ENAMETOOLONG:
      return kErrorInvalidName;
    case EIO:
      return kErrorIoDevice;
    default:
      return kErrorGenFailure;
  }
}

uint32_t LastError() { return t_last_error; }

void SetLastError(uint32_t code) { t_last_error = code; }

uint32_t SetLastErrorFromErrno() {
  t_last_error = MapErrno(errno);
  return t_last_error;
}

}  // namespace vexa::port
