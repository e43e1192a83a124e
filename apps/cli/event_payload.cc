#include "apps/cli/event_payload.h"

#include <json/json.h>

#include <cctype>
#include <vector>

#include "codec/text.h"

namespace vexa::cli {
namespace {

bool AllDigits(const std::string& s, size_t from = 0) {
  if (s.size() <= from) return false;
  for (size_t i = from; i < s.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

bool IsDuration(const std::string& s) {  // hours may have more than two digits
  const size_t first = s.find(':');
  return first != std::string::npos && first >= 2 && s.size() == first + 6 && s[first + 3] == ':' &&
         AllDigits(s.substr(0, first)) && AllDigits(s.substr(first + 1, 2)) &&
         AllDigits(s.substr(first + 4, 2));
}

bool IsPercent(const std::string& s) {
  const size_t dot = s.find('.');
  return dot != std::string::npos && dot > 0 && s.size() == dot + 4 && s.back() == '%' &&
         AllDigits(s.substr(s[0] == '-' ? 1 : 0, dot - (s[0] == '-' ? 1 : 0))) &&
         AllDigits(s.substr(dot + 1, 2));
}

// Fields 3..10: total, done, speed, time left, status, upload %, hash %, code.
bool IsNumberBlock(const std::vector<std::string>& parts, size_t at) {
  return AllDigits(parts[at]) && AllDigits(parts[at + 1]) && AllDigits(parts[at + 2]) &&
         IsDuration(parts[at + 3]) && AllDigits(parts[at + 4]) && IsPercent(parts[at + 5]) &&
         IsPercent(parts[at + 6]) && AllDigits(parts[at + 7]);
}

std::string Join(const std::vector<std::string>& parts, size_t from, size_t to) {
  std::string out;
  for (size_t i = from; i < to; ++i) {
    if (i > from) out += '|';
    out += parts[i];
  }
  return out;
}

int64_t SignExtended(const std::string& digits) { return static_cast<int64_t>(ParseU64(digits)); }

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (cp >> 18));
    *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

Json::Value ProgressFields(const ProgressRow& row) {
  Json::Value f(Json::objectValue);
  f["fileName"] = row.fileName;
  f["localPath"] = row.localPath;
  f["totalBytes"] = Json::UInt64(row.totalBytes);
  f["doneBytes"] = Json::UInt64(row.doneBytes);
  f["speed"] = Json::Int64(row.speed);
  f["timeLeft"] = row.timeLeft;
  f["status"] = row.status;
  f["statusName"] = StatusName(row.status);
  f["uploadPercent"] = row.uploadPercent;
  f["hashPercent"] = row.hashPercent;
  f["errorCode"] = Json::Int64(row.errorCode);
  f["errorText"] = row.errorText;
  f["pickCode"] = row.pickCode;
  f["isFolder"] = row.isFolder;
  f["queueSummary"] = row.queueSummary;
  return f;
}

}  // namespace

const char* EventName(int dispid) {
  switch (dispid) {
    case kProgressEvent: return "ProgressEvent";
    case kLoadTaskEvent: return "LoadTaskEvent";
    case kLoginEvent: return "LoginEvent";
    case kLoadUnfinishTaskEvent: return "LoadUnfinishTaskEvent";
    case kSelectFileEvent: return "SelectFileEvent";
    case kSelectFolderEvent: return "SelectFolderEvent";
    default: return "UnknownEvent";
  }
}

const char* StatusName(int status) {
  static const char* const kNames[] = {"Waiting", "Hashing",   "Uploading", "Stopped",
                                       "Failed",  "Completed", "Cancelled"};
  return status >= 0 && status <= 6 ? kNames[status] : "Unknown";
}

bool UnescapePayload(std::string_view escaped, std::string* utf8) {
  if (escaped.size() % 6 != 0) return false;
  std::string out;
  uint32_t high = 0;  // a pending high surrogate
  for (size_t i = 0; i < escaped.size(); i += 6) {
    if (escaped[i] != '\\' || escaped[i + 1] != 'u') return false;
    uint32_t unit = 0;
    for (size_t k = 2; k < 6; ++k) {
      const int v = HexDigitValue(escaped[i + k]);
      if (v < 0) return false;
      unit = unit * 16 + static_cast<uint32_t>(v);
    }
    if (high != 0) {
      if (unit >= 0xDC00 && unit <= 0xDFFF) {
        AppendUtf8(0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00), &out);
        high = 0;
        continue;
      }
      AppendUtf8(0xFFFD, &out);  // a lone high surrogate
      high = 0;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      high = unit;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      AppendUtf8(0xFFFD, &out);
    } else {
      AppendUtf8(unit, &out);
    }
  }
  if (high != 0) AppendUtf8(0xFFFD, &out);
  utf8->swap(out);
  return true;
}

bool DecodeProgressRow(const std::string& text, ProgressRow* row) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t bar = text.find('|', start);
    parts.push_back(text.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  if (parts.size() < 14) return false;
  // The last three fields (pick code, is-folder, summary) never hold "|".
  const size_t tail = parts.size() - 3;
  for (size_t at = 2; at + 8 <= tail; ++at) {
    if (!IsNumberBlock(parts, at)) continue;
    // Name and path share the "|"s before the block: the name is the path's
    // last component, so the split where the path ends with the name wins.
    size_t split = 1;
    for (size_t j = 1; j < at; ++j) {
      const std::string name = Join(parts, 0, j), path = Join(parts, j, at);
      if (path.size() >= name.size() && path.compare(path.size() - name.size(), name.size(), name) == 0) {
        split = j;
        break;
      }
    }
    ProgressRow r;
    r.fileName = Join(parts, 0, split);
    r.localPath = Join(parts, split, at);
    r.totalBytes = ParseU64(parts[at]);
    r.doneBytes = ParseU64(parts[at + 1]);
    r.speed = SignExtended(parts[at + 2]);
    r.timeLeft = parts[at + 3];
    r.status = static_cast<int>(ParseU64(parts[at + 4]));
    r.uploadPercent = parts[at + 5];
    r.hashPercent = parts[at + 6];
    r.errorCode = SignExtended(parts[at + 7]);
    r.errorText = Join(parts, at + 8, tail);
    r.pickCode = parts[tail];
    r.isFolder = parts[tail + 1] == "1";
    r.queueSummary = parts[tail + 2];
    *row = std::move(r);
    return true;
  }
  return false;
}

std::string EventJsonLine(int dispid, const std::string& payload) {
  Json::Value line(Json::objectValue);
  line["event"] = EventName(dispid);
  line["dispid"] = dispid;
  line["payload"] = payload;
  std::string text;
  if (!UnescapePayload(payload, &text)) {
    line["fields"] = Json::Value(Json::nullValue);
  } else if (dispid == kProgressEvent || dispid == kLoadTaskEvent) {
    ProgressRow row;
    if (DecodeProgressRow(text, &row)) {
      line["fields"] = ProgressFields(row);
    } else {
      line["fields"]["text"] = text;
    }
  } else if (dispid == kLoginEvent) {
    line["fields"]["ok"] = text.rfind("1|", 0) == 0;
    line["fields"]["text"] = text.size() >= 2 ? text.substr(2) : text;
  } else if (dispid == kLoadUnfinishTaskEvent) {
    const size_t bar = text.rfind('|');
    line["fields"]["path"] = text.substr(0, bar);
    line["fields"]["error"] = bar == std::string::npos ? std::string() : text.substr(bar + 1);
  } else {
    line["fields"]["path"] = text;
  }
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, line);
}

}  // namespace vexa::cli
