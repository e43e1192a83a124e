#ifndef VEXA_APPS_CLI_UPLOAD_WATCH_H_
#define VEXA_APPS_CLI_UPLOAD_WATCH_H_

#include <map>
#include <set>
#include <string>
#include <vector>

#include "apps/cli/control_host.h"
#include "apps/cli/event_payload.h"
#include "apps/cli/progress_view.h"

namespace vexa::cli {

// Shows a host's events to the user while uploads run, and tells when they
// have ended: progress bars on a terminal, plain lines elsewhere, or every
// event as a JSON line with `json`. Created before the login, so that JSON
// output has every event from the first.
class UploadWatch {
 public:
  UploadWatch(ControlHost* host, bool json);

  // Local paths the way the control is given them: absolute, no trailing
  // separator (a folder's members are reported below it).
  static std::string ControlPath(const std::string& path);

  // The rows reported so far (all of them, tracked or not), in order of first
  // report. A LoadTask fills it with the unfinished rows.
  const std::vector<ProgressRow>& rows() const { return rows_; }

  // How many failed folder members (LoadUnfinishTaskEvent) were reported.
  int unfinished_members() const { return unfinished_members_; }

  // Starts following `paths` (call before the control is asked to upload
  // them): from now on their reports and their members' are shown.
  void Track(const std::vector<std::string>& paths);

  // Runs until every tracked path has completed, failed, been cancelled or
  // stopped. Ctrl-C stops the tracked uploads (their resume records stay, so
  // `resume` or `upload` continues them) and a second one leaves at once.
  // Returns the exit status: 0 all completed, 1 some did not, 130 interrupted.
  int Run();

 private:
  void OnEvent(int dispid, const std::string& payload);
  bool Relevant(const std::string& path) const;
  // A folder being listed reports nothing until its size is known: the count
  // of its files found so far is read from the engine meanwhile.
  void RefreshListings();
  void Draw(bool force);
  void StopTracked();
  // Ends the bar of `path` with a Cancelled line: the control reports no
  // event for a cancel.
  void ShowCancelled(const std::string& path);

  ControlHost* host_;
  const bool json_;
  ProgressView view_;
  std::vector<ProgressRow> rows_;
  std::map<std::string, size_t> row_index_;
  std::set<std::string> tracked_;
  std::map<std::string, int> ended_;  // tracked path -> final status
  bool stopping_ = false;
  int unfinished_members_ = 0;
};

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_UPLOAD_WATCH_H_
