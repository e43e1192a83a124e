#include <iconv.h>

#include <cerrno>

#include "port/codepage.h"

namespace vexa::port {
namespace {

// Converts between GBK and UTF-8 with iconv; an unconvertible input byte
// becomes `replacement` and conversion goes on after it.
std::string IconvConvert(const char* to, const char* from, std::string_view in,
                         std::string_view replacement, bool* ok) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    if (ok) *ok = false;
    return std::string(in);
  }
  if (ok) *ok = true;
  const bool from_utf8 = std::string_view(from) == "UTF-8";
  std::string out;
  out.reserve(in.size() * 3 / 2 + 4);
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char buf[1024];
  while (src_left > 0) {
    char* dst = buf;
    size_t dst_left = sizeof(buf);
    const size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
    out.append(buf, dst - buf);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (truncated sequence at the end): replace one
      // character. From UTF-8 that is the lead byte and its trail bytes, so a
      // character the target lacks becomes one replacement, not one per byte.
      out.append(replacement);
      size_t skip = 1;
      if (from_utf8) {
        while (skip < 4 && skip < src_left &&
               (static_cast<unsigned char>(src[skip]) & 0xC0) == 0x80) {
          ++skip;
        }
      }
      src += skip;
      src_left -= skip;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk, bool* ok) {
  return IconvConvert("UTF-8", "GBK", gbk, "\xEF\xBF\xBD", ok);
}

std::string Utf8ToGbk(std::string_view utf8, bool* ok) {
  return IconvConvert("GBK", "UTF-8", utf8, "?", ok);
}

}  // namespace vexa::port
