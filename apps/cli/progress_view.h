#ifndef VEXA_APPS_CLI_PROGRESS_VIEW_H_
#define VEXA_APPS_CLI_PROGRESS_VIEW_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "apps/cli/event_payload.h"

namespace vexa::cli {

// What the user sees of an upload, as text: a pure function of the rows it is
// given and the clock it is told, so it is tested without a terminal.
//
// On a terminal: one bar per running row (hashing or uploading) and a total
// line with speed and time left, redrawn in place at most every kRedrawMs;
// rows that end (completed, failed, stopped, cancelled) leave one line above
// the bars. Elsewhere (a pipe, a file): one plain line per change of a row's
// status and, at most every kPlainTotalMs, a plain total line.
class ProgressView {
 public:
  static constexpr uint64_t kRedrawMs = 250;
  static constexpr uint64_t kPlainTotalMs = 5000;

  // `chinese`: failures show the system's texts alone, without the English.
  ProgressView(bool terminal, int columns, bool chinese = false)
      : terminal_(terminal), chinese_(chinese), columns_(columns < 40 ? 40 : columns) {}

  // Records the latest state of a row.
  void Update(const ProgressRow& row);

  // The text to write now (possibly empty). `force` redraws even within the
  // redraw interval (the end of a run).
  std::string Render(uint64_t now_ms, bool force = false);

  // Rows as last reported, in order of first report.
  std::vector<const ProgressRow*> Rows() const;

 private:
  std::string BarLine(const ProgressRow& row) const;
  std::string TotalLine() const;
  std::string EventLine(const ProgressRow& row) const;
  bool UnderFolder(const ProgressRow& row) const;

  const bool terminal_;
  const bool chinese_;
  const int columns_;
  std::map<std::string, ProgressRow> rows_;
  std::vector<std::string> order_;
  std::string queue_summary_;
  std::vector<std::string> pending_;  // event lines not written yet
  bool dirty_ = false;
  bool drawn_once_ = false;
  uint64_t last_draw_ms_ = 0;
  int bar_lines_ = 0;  // lines of bars currently on the screen
};

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_PROGRESS_VIEW_H_
