#include "server/download.h"

#include "server/names.h"

namespace vexa::server {

namespace {

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Whether a comma-separated list of entity tags (If-None-Match) names
// `etag`; a weak tag matches its strong form, "*" matches anything.
bool ListNamesEtag(std::string_view list, std::string_view etag) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    std::string_view item = TrimSpaces(list.substr(0, comma));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (item == "*") return true;
    if (item.substr(0, 2) == "W/") item.remove_prefix(2);
    if (item == etag) return true;
  }
  return false;
}

bool ParseOffset(std::string_view text, uint64_t* value) {
  return !text.empty() && ParseDecimal(std::string(text), value);
}

}  // namespace

DownloadPlan PlanDownload(uint64_t size, std::string_view etag, std::string_view range,
                          std::string_view if_range, std::string_view if_none_match) {
  DownloadPlan whole{200, 0, size};
  if (!if_none_match.empty() && ListNamesEtag(if_none_match, etag)) return {304, 0, 0};
  range = TrimSpaces(range);
  constexpr std::string_view kUnit = "bytes=";
  if (range.size() <= kUnit.size() || range.substr(0, kUnit.size()) != kUnit) return whole;
  // A resume only continues the same content: a date or another tag (the
  // file was replaced) gets the whole new content.
  if (!if_range.empty() && TrimSpaces(if_range) != etag) return whole;
  range = TrimSpaces(range.substr(kUnit.size()));
  if (range.find(',') != std::string_view::npos) return whole;
  const size_t dash = range.find('-');
  if (dash == std::string_view::npos) return whole;
  const std::string_view first = TrimSpaces(range.substr(0, dash));
  const std::string_view last = TrimSpaces(range.substr(dash + 1));
  uint64_t start, end;
  if (first.empty()) {  // the last N bytes
    uint64_t suffix;
    if (!ParseOffset(last, &suffix)) return whole;
    if (suffix == 0 || size == 0) return {416, 0, 0};
    start = suffix >= size ? 0 : size - suffix;
    end = size - 1;
  } else {
    if (!ParseOffset(first, &start)) return whole;
    if (last.empty()) {
      end = size == 0 ? 0 : size - 1;
    } else if (!ParseOffset(last, &end) || end < start) {
      return whole;
    }
    if (start >= size) return {416, 0, 0};
    if (end >= size) end = size - 1;
  }
  return {206, start, end - start + 1};
}

std::string ContentEtag(std::string_view sha1) {
  std::string tag = "\"";
  for (char c : sha1) tag += c >= 'A' && c <= 'Z' ? static_cast<char>(c | 32) : c;
  return tag + "\"";
}

std::string ContentRange(const DownloadPlan& plan, uint64_t size) {
  if (plan.status == 416) return "bytes */" + std::to_string(size);
  return "bytes " + std::to_string(plan.start) + "-" +
         std::to_string(plan.start + plan.length - 1) + "/" + std::to_string(size);
}

std::string AttachmentDisposition(std::string_view name) {
  std::string fallback, encoded;
  static const char kHex[] = "0123456789ABCDEF";
  for (char ch : name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    const bool plain = (c >= '0' && c <= '9') || ((c | 32) >= 'a' && (c | 32) <= 'z') ||
                       std::string_view("!#$&+-.^_`|~").find(ch) != std::string_view::npos;
    if (plain) {
      encoded += ch;
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
    // Continuation bytes of one character give one "_".
    if (c >= 0x80 && c < 0xC0) continue;
    fallback += c >= 0x20 && c < 0x7F && ch != '"' && ch != '\\' ? ch : '_';
  }
  return "attachment; filename=\"" + fallback + "\"; filename*=UTF-8''" + encoded;
}

}  // namespace vexa::server
