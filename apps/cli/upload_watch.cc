#include "apps/cli/upload_watch.h"

#include <cstdio>
#include <filesystem>

#include "apps/cli/command.h"
#include "apps/cli/control_host.h"
#include "apps/cli/failure_text.h"
#include "apps/cli/upload_requests.h"
#include "codec/text.h"
#include "control/method_table.h"
#include "control/payload.h"
#include "engine/engine.h"
#include "port/clock.h"
#include "port/interrupt.h"
#include "port/terminal.h"

namespace vexa::cli {
namespace {

// How long stopped uploads get to report before the command leaves anyway.
constexpr uint64_t kStopGraceMs = 10 * 1000;

}  // namespace

UploadWatch::UploadWatch(ControlHost* host, bool json)
    : host_(host),
      json_(json),
      view_(port::StdoutIsTerminal(), port::TerminalColumns(80), ChineseMessages()) {
  host_->SetEventHandler(
      [this](int dispid, const std::string& payload) { OnEvent(dispid, payload); });
}

std::string UploadWatch::ControlPath(const std::string& path) {
  std::error_code ec;
  std::string p = std::filesystem::absolute(path, ec).lexically_normal().string();
  if (ec) p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

bool UploadWatch::Relevant(const std::string& path) const {
  for (const std::string& t : tracked_) {
    if (path == t ||
        (path.size() > t.size() && path.compare(0, t.size(), t) == 0 && path[t.size()] == '/')) {
      return true;
    }
  }
  return false;
}

void UploadWatch::OnEvent(int dispid, const std::string& payload) {
  if (json_) {
    std::printf("%s\n", EventJsonLine(dispid, payload).c_str());
    std::fflush(stdout);
  }
  if (dispid == kLoadUnfinishTaskEvent) {
    ++unfinished_members_;
    const std::string text = UnescapeUnicode(payload);
    const size_t bar = text.rfind('|');  // member path "|" error text
    if (!json_) {
      std::printf("  not uploaded: %s: %s\n", text.substr(0, bar).c_str(),
                  bar == std::string::npos ? "" : FailureText(0, text.substr(bar + 1)).c_str());
    }
    return;
  }
  if (dispid != kProgressEvent && dispid != kLoadTaskEvent) return;
  ProgressRow row;
  if (!DecodeProgressRow(UnescapeUnicode(payload), &row)) return;
  if (row.isFolder && (row.status == kHashing || row.status == kUploading)) {
    row.member = RunningFolderMember(row.localPath);
  }
  if (row.isFolder) row.filesFound = FolderFilesFound(row.localPath);
  auto [it, added] = row_index_.emplace(row.localPath, rows_.size());
  if (added) {
    rows_.push_back(row);
  } else {
    rows_[it->second] = row;
  }
  if (dispid != kProgressEvent || !Relevant(row.localPath)) return;
  if (!json_) view_.Update(row);
  if (tracked_.count(row.localPath) == 0) return;
  if (row.final() || row.status == kStopped) {
    ended_[row.localPath] = row.status;
  } else {
    ended_.erase(row.localPath);  // running (again)
  }
}

void UploadWatch::RefreshListings() {
  for (ProgressRow& row : rows_) {
    if (row.filesFound < 0) continue;
    const int64_t found = FolderFilesFound(row.localPath);
    if (found == row.filesFound) continue;
    row.filesFound = found;
    if (!json_ && Relevant(row.localPath)) view_.Update(row);
  }
}

void UploadWatch::Track(const std::vector<std::string>& paths) {
  for (const std::string& p : paths) tracked_.insert(p);
}

void UploadWatch::Draw(bool force) {
  if (json_) return;
  const std::string text = view_.Render(port::MonotonicMillis(), force);
  if (text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void UploadWatch::ShowCancelled(const std::string& path) {
  auto it = row_index_.find(path);
  if (it == row_index_.end()) return;
  ProgressRow& row = rows_[it->second];
  row.status = kCancelled;
  if (!json_) view_.Update(row);
}

void UploadWatch::StopTracked() {
  stopping_ = true;
  for (const std::string& path : tracked_) {
    if (ended_.count(path) == 0) host_->control().StopUpload(Utf8ToWide(path));
  }
}

int UploadWatch::Run() {
  port::InstallInterruptHandler();
  const int interrupts_before = port::InterruptCount();
  uint64_t stop_deadline = 0;
  while (ended_.size() < tracked_.size()) {
    host_->Pump(100);
    for (const UploadRequest& r : TakeUploadRequests()) {
      if (r.verb == "stop") host_->control().StopUpload(Utf8ToWide(r.path));
      if (r.verb == "upload") {
        // Handed over by an `upload` started while this one runs.
        const std::string target =
            r.target.empty() ? Utf8Of(&CUpload::GetTarget, host_->control()) : r.target;
        if (!json_) std::printf("added by another vexaupload upload: %s\n", r.path.c_str());
        Track({r.path});
        host_->control().AddUpload(Utf8ToWide(r.path), Utf8ToWide(target), 0, 1);
      }
      if (r.verb == "cancel") {
        host_->control().CancelUpload(Utf8ToWide(r.path));
        // A cancel reports nothing: a tracked path ends here.
        ShowCancelled(r.path);
        if (tracked_.count(r.path) != 0) ended_[r.path] = kCancelled;
      }
    }
    RefreshListings();
    Draw(false);
    const int interrupts = port::InterruptCount() - interrupts_before;
    if (interrupts >= 2 || (stopping_ && port::MonotonicMillis() > stop_deadline)) break;
    if (interrupts == 1 && !stopping_) {
      std::fputs(
          "\nvexaupload: interrupted: stopping the uploads; `vexaupload resume` continues them "
          "(Ctrl-C again to leave at once)\n",
          stderr);
      StopTracked();
      stop_deadline = port::MonotonicMillis() + kStopGraceMs;
    }
  }
  host_->control().DispatchMessages();
  Draw(true);
  if (stopping_) return kExitInterrupted;

  int completed = 0, failed = 0;
  for (const auto& [path, status] : ended_) {
    if (status == kCompleted) {
      ++completed;
    } else {
      ++failed;
      // A folder's members that did not make it, one line each.
      host_->control().LoadUnfinishTask(Utf8ToWide(path));
    }
  }
  if (!json_) {
    std::printf("%d of %zu completed", completed, tracked_.size());
    if (failed > 0) std::printf(", %d not completed", failed);
    std::printf("\n");
  }
  return failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace vexa::cli
