#include "apps/cli/progress_view.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "apps/cli/failure_text.h"
#include "apps/cli/sizes.h"
#include "codec/text.h"
#include "net/network_failure.h"

namespace vexa::cli {
namespace {

constexpr size_t kRightColumns = 40;

// Display width of UTF-8 text, one column per code point.
size_t Columns(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

// Keeps the last `width` columns of `s`, marking the cut with "...".
std::string FitLeft(const std::string& s, size_t width) {
  if (Columns(s) <= width) return s + std::string(width - Columns(s), ' ');
  if (width <= 3) return std::string(width, '.');
  size_t keep = width - 3, i = s.size();
  while (i > 0 && keep > 0) {
    --i;
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) --keep;
  }
  return "..." + s.substr(i);
}

double Percent(uint64_t done, uint64_t total) {
  return total == 0 ? 0.0 : 100.0 * static_cast<double>(done) / static_cast<double>(total);
}

// Field `index` of the comma-separated queue summary (count, bytes, speed, time left).
std::string SummaryField(const std::string& summary, int index) {
  size_t start = 0;
  for (int i = 0; i < index; ++i) {
    start = summary.find(',', start);
    if (start == std::string::npos) return std::string();
    ++start;
  }
  return summary.substr(start, summary.find(',', start) - start);
}

// A folder whose listing has not ended: its size is not known yet, and its
// reports say 0 bytes.
bool SizeUnknown(const ProgressRow& row) { return row.isFolder && row.filesFound >= 0; }

bool IsBeingListed(const ProgressRow& row) { return SizeUnknown(row) && row.status < kStopped; }

std::string ListingText(int folders, int64_t files) {
  return std::string(folders == 1 ? "listing folder"
                                  : "listing " + std::to_string(folders) + " folders") +
         "... " + std::to_string(files) + (files == 1 ? " file" : " files") + " found";
}

}  // namespace

void ProgressView::Update(const ProgressRow& row) {
  auto it = rows_.find(row.localPath);
  const bool changed = it == rows_.end() || it->second.status != row.status;
  if (it == rows_.end()) {
    order_.push_back(row.localPath);
    it = rows_.emplace(row.localPath, row).first;
  } else {
    it->second = row;
  }
  if (!row.queueSummary.empty()) queue_summary_ = row.queueSummary;
  // On a terminal the running states show as bars; only the ends leave a line.
  if (changed && (!terminal_ || row.status >= kStopped)) pending_.push_back(EventLine(row));
  dirty_ = true;
}

std::vector<const ProgressRow*> ProgressView::Rows() const {
  std::vector<const ProgressRow*> rows;
  for (const std::string& path : order_) rows.push_back(&rows_.at(path));
  return rows;
}

bool ProgressView::UnderFolder(const ProgressRow& row) const {
  for (const auto& [path, other] : rows_) {
    if (!other.isFolder || &other == &row) continue;
    std::string prefix = path;
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    if (row.localPath.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

std::string ProgressView::EventLine(const ProgressRow& row) const {
  std::string line = std::string(StatusName(row.status));
  line.resize(10, ' ');
  line += row.localPath;
  if (row.status == kCompleted) {
    line += "  (" + FormatSize(row.totalBytes) + ")";
  } else if (row.status == kFailed && row.isFolder && row.errorCode == 0) {
    line += "  (some members were not uploaded)";
  } else if (row.status == kFailed) {
    line += "  error " + std::to_string(row.errorCode) + ": " +
            FailureText(row.errorCode, row.errorText, chinese_, LastNetworkFailure());
  } else if (IsBeingListed(row)) {
    line += "  (listing folder...)";
  } else if (row.status == kStopped && row.totalBytes > 0) {
    line += "  (" + FormatSize(row.doneBytes) + " of " + FormatSize(row.totalBytes) + ")";
  }
  return line;
}

std::string ProgressView::BarLine(const ProgressRow& row) const {
  const bool hashing = row.status == kHashing;
  const std::string right =
      hashing
          ? " hashing " + row.hashPercent
          : " " + row.uploadPercent + "  " + FormatSize(row.doneBytes) + "/" +
                FormatSize(row.totalBytes) +
                (row.speed > 0 ? "  " + FormatSize(static_cast<uint64_t>(row.speed)) + "/s" : "");
  const size_t width = static_cast<size_t>(columns_) - 1;  // never touch the last column
  const size_t name_width = width * 3 / 10;
  // A fixed width for the right part keeps the bar's length steady as numbers change.
  const size_t right_width = std::max<size_t>(Columns(right), kRightColumns);
  const int bar_width = static_cast<int>(width) - static_cast<int>(name_width + right_width) - 3;
  // A folder's bar names the member being sent, below the folder's name; a
  // name cut to fit keeps its end, the member's own name.
  std::string name = row.fileName + (row.isFolder ? "/" : "");
  const std::string folder_prefix = row.localPath + "/";
  if (row.isFolder && row.member.compare(0, folder_prefix.size(), folder_prefix) == 0) {
    name += row.member.substr(folder_prefix.size());
  }
  std::string line = FitLeft(name, name_width) + " [";
  if (bar_width > 0) {
    const double pct =
        hashing ? std::atof(row.hashPercent.c_str()) : Percent(row.doneBytes, row.totalBytes);
    int filled = static_cast<int>(pct / 100.0 * bar_width + 0.5);
    if (filled > bar_width) filled = bar_width;
    if (filled < 0) filled = 0;
    line += std::string(filled, hashing ? '-' : '#') + std::string(bar_width - filled, ' ');
  }
  return line + "]" + right + std::string(right_width - Columns(right), ' ');
}

std::string ProgressView::TotalLine() const {
  uint64_t total = 0, done = 0, remaining = 0;  // remaining: of the rows still to run
  int files = 0, completed = 0, failed = 0, sized = 0, listing = 0;
  int64_t found = 0;
  for (const auto& [path, row] : rows_) {
    if (UnderFolder(row) || row.status == kCancelled) continue;
    ++files;
    completed += row.status == kCompleted;
    failed += row.status == kFailed;
    if (SizeUnknown(row)) {
      listing += IsBeingListed(row);
      found += IsBeingListed(row) ? row.filesFound : 0;
      continue;
    }
    ++sized;
    total += row.totalBytes;
    done += row.status == kCompleted ? row.totalBytes : row.doneBytes;
    if (row.status < kStopped && row.doneBytes < row.totalBytes)
      remaining += row.totalBytes - row.doneBytes;
  }
  std::string line = "total  " + std::to_string(completed) + "/" + std::to_string(files) + " done";
  if (failed > 0) line += ", " + std::to_string(failed) + " failed";
  // Sizes still unknown are not shown as 0 B.
  if (sized > 0) {
    line += "  " + FormatSize(done) + " of " + FormatSize(total) + " (" + UsedPercent(done, total) +
            ")";
  }
  if (listing > 0) line += "  " + ListingText(listing, found);
  const std::string speed = SummaryField(queue_summary_, 2), left = SummaryField(queue_summary_, 3);
  const uint64_t bytes_per_second = std::strtoull(speed.c_str(), nullptr, 10);
  if (bytes_per_second > 0) line += "  " + FormatSize(bytes_per_second) + "/s";
  // The engine's estimate, else one from the bytes still to send at its speed.
  if (remaining > 0 && !left.empty() && left != "00:00:00") {
    line += "  " + left + " left";
  } else if (remaining > 0 && bytes_per_second > 0) {
    line += "  " + FormatDuration((remaining + bytes_per_second - 1) / bytes_per_second) + " left";
  }
  return line;
}

std::string ProgressView::Render(uint64_t now_ms, bool force) {
  std::string out;
  if (!terminal_) {
    for (const std::string& line : pending_) out += line + "\n";
    pending_.clear();
    if (dirty_ && (force || !drawn_once_ || now_ms - last_draw_ms_ >= kPlainTotalMs)) {
      out += TotalLine() + "\n";
      drawn_once_ = true;
      last_draw_ms_ = now_ms;
      dirty_ = false;
    }
    return out;
  }
  if (!force && pending_.empty() &&
      (!dirty_ || (drawn_once_ && now_ms - last_draw_ms_ < kRedrawMs))) {
    return out;
  }
  if (bar_lines_ > 0) out += "\r\x1b[" + std::to_string(bar_lines_) + "A";
  out += "\r\x1b[J";
  for (const std::string& line : pending_) out += line + "\n";
  pending_.clear();
  bar_lines_ = 0;
  for (const std::string& path : order_) {
    const ProgressRow& row = rows_.at(path);
    if (row.status != kHashing && row.status != kUploading) continue;
    out += BarLine(row) + "\n";
    ++bar_lines_;
  }
  if (!rows_.empty()) {
    out += TotalLine() + "\n";
    ++bar_lines_;
  }
  drawn_once_ = true;
  last_draw_ms_ = now_ms;
  dirty_ = false;
  return out;
}

}  // namespace vexa::cli
