#include "control/payload.h"

#include <cstdio>

#include "codec/text.h"

namespace vexa {
namespace {

std::string SignExtended(int32_t value) {
  return FormatU64(static_cast<uint64_t>(static_cast<int64_t>(value)));
}

std::string Percent(double value) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.2lf%%", value);
  return buf;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Whether `path` is `name` or ends with a separator followed by it.
bool PathEndsWithName(std::string_view path, std::string_view name) {
  if (path.size() < name.size() || path.substr(path.size() - name.size()) != name) return false;
  return path.size() == name.size() || IsSeparator(path[path.size() - name.size() - 1]);
}

}  // namespace

ProgressRecord ProgressRecordOf(TaskNotice notice) {
  notice.userValue = 0;
  return notice;
}

std::string EscapeUnicode(std::string_view utf8) {
  const std::u16string wide = Utf8ToWide(utf8);
  std::string out;
  out.reserve(wide.size() * 6);
  char buf[8];
  for (char16_t unit : wide) {
    std::snprintf(buf, sizeof(buf), "\\u%04X", static_cast<unsigned>(unit));
    out += buf;
  }
  return out;
}

std::string ProgressPayload(const ProgressRecord& r) {
  const double upload =
      r.totalSize > 0 ? static_cast<double>(r.doneSize) / static_cast<double>(r.totalSize) * 100.0
                      : 0.0;
  // A negative time left never comes from the engine; it would print as
  // billions of hours.
  const uint64_t seconds_left = r.secondsLeft < 0 ? 0 : static_cast<uint64_t>(r.secondsLeft);
  std::string text;
  text.reserve(128 + r.path.size() * 2);
  text += r.fileName;
  text += '|';
  text += r.path;
  text += '|';
  text += FormatU64(static_cast<uint64_t>(r.totalSize));
  text += '|';
  text += FormatU64(static_cast<uint64_t>(r.doneSize));
  text += '|';
  text += SignExtended(r.speed);
  text += '|';
  text += FormatDuration(seconds_left);
  text += '|';
  text += SignExtended(r.status);
  text += '|';
  text += Percent(upload);
  text += '|';
  text += Percent(r.hashProgress);
  text += '|';
  text += SignExtended(r.errorCode);
  text += '|';
  text += AnsiToUtf8(r.errorText);
  text += '|';
  text += r.pickCode;
  text += '|';
  text += SignExtended(r.isFolder);
  text += '|';
  text += r.queueSummary;
  return EscapeUnicode(text);
}

std::string UnescapeUnicode(std::string_view escaped) {
  std::string out;
  std::u16string units;
  size_t i = 0;
  while (i < escaped.size()) {
    if (escaped[i] == '\\' && i + 6 <= escaped.size() && escaped[i + 1] == 'u') {
      int value = 0;
      bool hex = true;
      for (size_t k = i + 2; k < i + 6 && hex; ++k) {
        const int d = HexDigitValue(escaped[k]);
        hex = d >= 0;
        value = value * 16 + d;
      }
      if (hex) {
        units.push_back(static_cast<char16_t>(value));
        i += 6;
        continue;
      }
    }
    out += WideToUtf8(units);
    units.clear();
    out.push_back(escaped[i++]);
  }
  out += WideToUtf8(units);
  return out;
}

std::vector<std::string> SplitProgressFields(std::string_view text) {
  constexpr size_t kAfterPath = 12;
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t bar = text.find('|'); bar != std::string_view::npos; bar = text.find('|', start)) {
    parts.push_back(text.substr(start, bar - start));
    start = bar + 1;
  }
  parts.push_back(text.substr(start));
  if (parts.size() < kAfterPath + 2) return {};
  // The name and the path are what comes before the last twelve fields.
  const size_t head_parts = parts.size() - kAfterPath;
  const size_t head_end = static_cast<size_t>(parts[head_parts - 1].data() - text.data()) +
                          parts[head_parts - 1].size();
  const std::string_view head = text.substr(0, head_end);
  size_t split = head.find('|');
  for (size_t bar = split; bar != std::string_view::npos; bar = head.find('|', bar + 1)) {
    if (PathEndsWithName(head.substr(bar + 1), head.substr(0, bar))) {
      split = bar;
      break;
    }
  }
  std::vector<std::string> fields;
  fields.emplace_back(head.substr(0, split));
  fields.emplace_back(head.substr(split + 1));
  for (size_t k = head_parts; k < parts.size(); ++k) fields.emplace_back(parts[k]);
  return fields;
}

}  // namespace vexa
