#include "server/form.h"

#include <cctype>

#include "codec/text.h"

namespace vexa::server {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

std::string_view TrimSpace(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Reads a `name=value` or `name="value"` parameter of a header value such as
// `form-data; name="fileid"`. Quoted values may hold ';'.
bool HeaderParam(std::string_view header, std::string_view name, std::string* value) {
  size_t pos = header.find(';');
  while (pos != std::string_view::npos && pos < header.size()) {
    ++pos;  // past ';'
    size_t eq = header.find('=', pos);
    if (eq == std::string_view::npos) return false;
    std::string_view key = TrimSpace(header.substr(pos, eq - pos));
    size_t v = eq + 1;
    while (v < header.size() && header[v] == ' ') ++v;
    std::string text;
    size_t next;
    if (v < header.size() && header[v] == '"') {
      size_t close = header.find('"', v + 1);
      if (close == std::string_view::npos) return false;
      text = std::string(header.substr(v + 1, close - v - 1));
      next = header.find(';', close);
    } else {
      next = header.find(';', v);
      text = std::string(TrimSpace(
          header.substr(v, next == std::string_view::npos ? std::string_view::npos : next - v)));
    }
    if (key.size() == name.size() && StartsWithNoCase(key, name)) {
      *value = std::move(text);
      return true;
    }
    pos = next;
  }
  return false;
}

}  // namespace

bool UrlDecode(std::string_view text, std::string* out) {
  out->clear();
  out->reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out->push_back(' ');
    } else if (c == '%') {
      if (i + 2 >= text.size()) return false;
      int hi = HexDigitValue(text[i + 1]);
      int lo = HexDigitValue(text[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out->push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out->push_back(c);
    }
  }
  return true;
}

namespace {

// Splits "a=1&b=2", decoding names and values with `decode` when given.
bool SplitForm(std::string_view text, bool decode, FormFields* fields) {
  fields->clear();
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t amp = text.find('&', pos);
    if (amp == std::string_view::npos) amp = text.size();
    std::string_view item = text.substr(pos, amp - pos);
    if (!item.empty()) {
      size_t eq = item.find('=');
      std::string name, value;
      std::string_view raw_value = eq == std::string_view::npos ? "" : item.substr(eq + 1);
      if (!decode) {
        name = std::string(item.substr(0, eq));
        value = std::string(raw_value);
      } else if (!UrlDecode(item.substr(0, eq), &name) || !UrlDecode(raw_value, &value)) {
        return false;
      }
      if (!fields->emplace(std::move(name), std::move(value)).second) return false;
    }
    pos = amp + 1;
  }
  return true;
}

}  // namespace

bool ParseUrlEncoded(std::string_view text, FormFields* fields) {
  return SplitForm(text, true, fields);
}

bool ParseRawForm(std::string_view text, FormFields* fields) {
  return SplitForm(text, false, fields);
}

const std::string& Field(const FormFields& fields, const std::string& name) {
  static const std::string kEmpty;
  auto it = fields.find(name);
  return it == fields.end() ? kEmpty : it->second;
}

std::string_view QueryOf(std::string_view target) {
  size_t q = target.find('?');
  if (q == std::string_view::npos) return {};
  std::string_view query = target.substr(q + 1);
  size_t hash = query.find('#');
  return query.substr(0, hash);
}

bool MultipartBoundary(std::string_view content_type, std::string* boundary) {
  if (!StartsWithNoCase(TrimSpace(content_type), "multipart/form-data")) return false;
  std::string b;
  if (!HeaderParam(content_type, "boundary", &b) || b.empty() || b.size() > 70) return false;
  *boundary = b;
  return true;
}

namespace {

// Reads the parts of `body` up to the first with a file name. False on a
// malformed body; else *file_start is where that part's data begins (the
// part is the last of *parts), or npos when the closing delimiter came first.
// A body cut short reads the same as the whole up to where it ends, so a
// head that arrived is read as the whole body will be.
bool ReadPartsBeforeFile(std::string_view body, std::string_view boundary,
                         std::vector<MultipartPart>* parts, size_t* file_start) {
  parts->clear();
  *file_start = std::string_view::npos;
  const std::string dash = "--" + std::string(boundary);
  const std::string delimiter = "\r\n" + dash;
  // The first delimiter may come right at the start or after a preamble.
  size_t pos;
  if (body.substr(0, dash.size()) == dash) {
    pos = dash.size();
  } else {
    size_t first = body.find(delimiter);
    if (first == std::string_view::npos) return false;
    pos = first + delimiter.size();
  }
  for (;;) {
    std::string_view after = body.substr(pos);
    if (after.substr(0, 2) == "--") return true;  // close delimiter; epilogue ignored
    // Transport padding may follow a delimiter before its CRLF.
    while (!after.empty() && (after.front() == ' ' || after.front() == '\t')) {
      after.remove_prefix(1);
      ++pos;
    }
    if (after.substr(0, 2) != "\r\n") return false;
    pos += 2;
    // An empty line right away is a part without headers, so without a
    // name; searching on would take its content for headers.
    if (body.substr(pos, 2) == "\r\n") return false;
    size_t head_end = body.find("\r\n\r\n", pos);
    if (head_end == std::string_view::npos) return false;
    MultipartPart part;
    bool has_disposition = false;
    std::string_view headers = body.substr(pos, head_end - pos);
    size_t line_start = 0;
    while (line_start <= headers.size()) {
      size_t line_end = headers.find("\r\n", line_start);
      if (line_end == std::string_view::npos) line_end = headers.size();
      std::string_view line = headers.substr(line_start, line_end - line_start);
      if (StartsWithNoCase(line, "content-disposition:")) {
        // A second one could rename the part or drop its file name.
        if (has_disposition) return false;
        std::string_view value = line.substr(20);
        if (!StartsWithNoCase(TrimSpace(value), "form-data")) return false;
        if (!HeaderParam(value, "name", &part.name)) return false;
        part.has_filename = HeaderParam(value, "filename", &part.filename);
        has_disposition = true;
      }
      line_start = line_end + 2;
    }
    if (!has_disposition) return false;
    size_t data_start = head_end + 4;
    if (part.has_filename) {
      parts->push_back(std::move(part));
      *file_start = data_start;
      return true;
    }
    size_t data_end = body.find(delimiter, data_start);
    if (data_end == std::string_view::npos) return false;
    part.data = body.substr(data_start, data_end - data_start);
    parts->push_back(std::move(part));
    pos = data_end + delimiter.size();
  }
}

}  // namespace

bool ParseMultipart(std::string_view body, std::string_view boundary,
                    std::vector<MultipartPart>* parts) {
  size_t data_start;
  if (!ReadPartsBeforeFile(body, boundary, parts, &data_start)) return false;
  if (data_start == std::string_view::npos) return true;
  // File data may hold anything, the delimiter included (a log of this very
  // protocol): it is all the body leaves before the closing delimiter, so
  // the file part comes last.
  const std::string close = "\r\n--" + std::string(boundary) + "--";
  std::string_view rest = body.substr(data_start);
  if (rest.size() >= close.size() + 2 && rest.substr(rest.size() - 2) == "\r\n" &&
      rest.substr(rest.size() - close.size() - 2, close.size()) == close &&
      rest.substr(rest.size() - close.size()) != close) {
    rest.remove_suffix(2);
  }
  if (rest.size() < close.size() || rest.substr(rest.size() - close.size()) != close) return false;
  parts->back().data = rest.substr(0, rest.size() - close.size());
  return true;
}

size_t MultipartFileStart(std::string_view head, std::string_view boundary) {
  std::vector<MultipartPart> parts;
  size_t start;
  return ReadPartsBeforeFile(head, boundary, &parts, &start) ? start : std::string_view::npos;
}

size_t MultipartTailBytes(std::string_view boundary) {
  // "\r\n--" boundary "--", and a CRLF some clients add after it.
  return boundary.size() + 8;
}

}  // namespace vexa::server
