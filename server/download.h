#ifndef VEXA_SERVER_DOWNLOAD_H_
#define VEXA_SERVER_DOWNLOAD_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace vexa::server {

// What a GET of a stored file answers, decided from its conditional and
// range headers, so that browsers and `curl -C -` can resume.
struct DownloadPlan {
  int status = 200;     // 200, 206 (a slice), 304 (not modified) or 416
  uint64_t start = 0;   // first byte sent
  uint64_t length = 0;  // bytes sent
};

// `etag` is the file's entity tag; the other arguments are the request's
// Range, If-Range and If-None-Match values ("" when absent). One byte range
// is served as 206; several ranges, a malformed header or an If-Range that
// does not name this content are answered with the whole file; a range that
// starts at or beyond the end is 416.
DownloadPlan PlanDownload(uint64_t size, std::string_view etag, std::string_view range,
                          std::string_view if_range, std::string_view if_none_match);

// The strong entity tag of content with this SHA-1: its hex digits, quoted.
std::string ContentEtag(std::string_view sha1);

// "bytes START-END/SIZE" for a 206, "bytes */SIZE" for a 416.
std::string ContentRange(const DownloadPlan& plan, uint64_t size);

// A Content-Disposition that saves the file under `name`: an ASCII fallback
// with anything else replaced by "_", and the UTF-8 name percent-encoded.
std::string AttachmentDisposition(std::string_view name);

}  // namespace vexa::server

#endif  // VEXA_SERVER_DOWNLOAD_H_
