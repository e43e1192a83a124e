// The multipart reader two ways, chosen by the first byte. On any bytes
// (a boundary, then a body): no crash, and every part it returns lies in the
// body, in order, each followed by the delimiter, and only the last may be a
// file part. On a body built from fuzzed
// fields (names, file names, data, padding, preamble, epilogue, header case):
// the parts read back are exactly those fields, and the boundary comes back
// out of the content type that names it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "server/form.h"

namespace {

using vexa::server::MultipartPart;

void CheckAnyBody(FuzzedDataProvider& in) {
  const std::string boundary = in.ConsumeRandomLengthString(80);
  const std::string body = in.ConsumeRemainingBytesAsString();
  std::vector<MultipartPart> parts;
  if (!vexa::server::ParseMultipart(body, boundary, &parts)) return;
  const std::string delimiter = "\r\n--" + boundary;
  const char* const begin = body.data();
  const char* const end = begin + body.size();
  // Just past the delimiter that opens the next part.
  const char* previous = body.compare(0, boundary.size() + 2, "--" + boundary) == 0
                             ? begin + boundary.size() + 2
                             : begin + body.find(delimiter) + delimiter.size();
  for (const MultipartPart& p : parts) {
    if (p.data.data() < previous || p.data.data() + p.data.size() > end) std::abort();
    // The data starts after the first empty line: headers end there.
    const std::string_view head(previous, p.data.data() - previous);
    if (head.size() < 4 || head.find("\r\n\r\n") != head.size() - 4) std::abort();
    const std::string_view after(p.data.data() + p.data.size(),
                                 end - (p.data.data() + p.data.size()));
    if (after.substr(0, delimiter.size()) != delimiter) std::abort();
    // Only a file part, which must be the last, may hold the delimiter: its
    // data is everything before the closing one.
    if (p.has_filename && &p != &parts.back()) std::abort();
    if (!p.has_filename && p.data.find(delimiter) != std::string_view::npos) std::abort();
    if (!p.has_filename && !p.filename.empty()) std::abort();
    previous = p.data.data() + p.data.size() + delimiter.size();
  }

  // The same text as a content type: a boundary it gives is usable.
  std::string from_type;
  if (vexa::server::MultipartBoundary(body, &from_type)) {
    if (from_type.empty() || from_type.size() > 70) std::abort();
  }
}

// Text that can sit inside a quoted header parameter.
std::string ParamText(FuzzedDataProvider& in, size_t max) {
  std::string s = in.ConsumeRandomLengthString(max);
  for (char& c : s) {
    if (c == '"' || c == '\r' || c == '\n') c = '_';
  }
  return s;
}

std::string Padding(FuzzedDataProvider& in) {
  std::string s;
  for (size_t n = in.ConsumeIntegralInRange<size_t>(0, 2); n > 0; --n) {
    s += in.ConsumeBool() ? ' ' : '\t';
  }
  return s;
}

std::string MixCase(FuzzedDataProvider& in, std::string s) {
  const uint8_t mask = in.ConsumeIntegral<uint8_t>();
  for (size_t i = 0; i < s.size(); ++i) {
    if ((mask >> (i % 8)) & 1) {
      if (s[i] >= 'a' && s[i] <= 'z') s[i] = static_cast<char>(s[i] - 'a' + 'A');
    }
  }
  return s;
}

struct Field {
  std::string name;
  std::string filename;
  bool has_filename;
  std::string data;
};

void CheckBuiltBody(FuzzedDataProvider& in) {
  std::string boundary = ParamText(in, 70);
  if (boundary.empty()) boundary = "b";
  const std::string dash = "--" + boundary;
  const std::string delimiter = "\r\n" + dash;

  // What no part may hold: the delimiter itself, also where the data's end
  // and the delimiter that follows overlap.
  auto holds_delimiter = [&](const std::string& text) {
    return (text + delimiter).find(delimiter) != text.size();
  };

  std::string body;
  size_t close_at = 0;  // where the last delimiter starts
  if (in.ConsumeBool()) {
    const std::string preamble = in.ConsumeRandomLengthString(32);
    if (holds_delimiter(preamble)) return;
    body = preamble + delimiter;
    close_at = preamble.size();
    if (body.compare(0, dash.size(), dash) == 0) return;  // would read as the first delimiter
  } else {
    body = dash;
  }

  std::vector<Field> fields;
  const size_t count = in.ConsumeIntegralInRange<size_t>(0, 6);
  for (size_t i = 0; i < count; ++i) {
    Field f;
    f.name = ParamText(in, 24);
    f.has_filename = in.ConsumeBool();
    if (f.has_filename) f.filename = ParamText(in, 24);
    f.data = in.ConsumeRandomLengthString(256);
    if (holds_delimiter(f.data)) return;

    std::string disposition = "form-data; name=\"" + f.name + "\"";
    if (f.has_filename) {
      const std::string file = "filename=\"" + f.filename + "\"";
      disposition = in.ConsumeBool() ? disposition + "; " + file
                                     : "form-data; " + file + "; name=\"" + f.name + "\"";
    }
    body += Padding(in) + "\r\n";
    if (in.ConsumeBool()) body += "Content-Type: " + ParamText(in, 24) + "\r\n";
    body += MixCase(in, "content-disposition") + ":" + Padding(in) + disposition + "\r\n";
    if (in.ConsumeBool()) body += "X-Other: " + ParamText(in, 24) + "\r\n";
    body += "\r\n" + f.data;
    close_at = body.size();
    body += delimiter;
    const bool file_part = f.has_filename;
    fields.push_back(std::move(f));
    if (file_part) break;  // a file part is always the last
  }
  body += "--";
  if (in.ConsumeBool()) {
    // After file data only a line end may follow the closing delimiter: the
    // data is everything before it, so an epilogue would read as data.
    const bool ends_in_file = !fields.empty() && fields.back().has_filename;
    body += ends_in_file ? std::string("\r\n") : "\r\n" + in.ConsumeRandomLengthString(32);
  }

  std::vector<MultipartPart> parts;
  if (!vexa::server::ParseMultipart(body, boundary, &parts)) std::abort();
  if (parts.size() != fields.size()) std::abort();
  for (size_t i = 0; i < parts.size(); ++i) {
    const Field& f = fields[i];
    const MultipartPart& p = parts[i];
    if (p.name != f.name || p.has_filename != f.has_filename || p.filename != f.filename ||
        p.data != f.data) {
      std::abort();
    }
  }
  // Cut before the closing delimiter, the body is refused.
  if (vexa::server::ParseMultipart(std::string_view(body).substr(0, close_at), boundary, &parts)) {
    std::abort();
  }

  std::string from_type;
  if (!vexa::server::MultipartBoundary(
          MixCase(in, "multipart/form-data") + "; charset=x; boundary=\"" + boundary + "\"",
          &from_type) ||
      from_type != boundary) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FuzzedDataProvider in(data + 1, size - 1);
  if (data[0] & 1) {
    CheckBuiltBody(in);
  } else {
    CheckAnyBody(in);
  }
  return 0;
}
