#include "control/selection_reports.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "control/control.h"
#include "engine/selection.h"
#include "port/thread.h"

namespace vexa {
namespace {

// The report threads still running, so a test can wait for their end.
std::mutex running_mu;
std::condition_variable running_cv;
int running = 0;

bool StartReportThread(void (*body)(uintptr_t), uintptr_t owner) {
  {
    std::lock_guard<std::mutex> l(running_mu);
    ++running;
  }
  const bool started = port::StartDetachedThread([body, owner] {
    body(owner);
    std::lock_guard<std::mutex> l(running_mu);
    --running;
    running_cv.notify_all();
  });
  if (!started) {
    std::lock_guard<std::mutex> l(running_mu);
    --running;
  }
  return started;
}

}  // namespace

void FileReportThread(uintptr_t owner) {
  std::vector<std::string> paths;
  if (!PickFiles(&paths, owner)) return;
  for (std::string& path : paths) PostToCurrentControl(kSelectFileMessage, std::move(path));
}

void FolderReportThread(uintptr_t owner) {
  std::string path;
  if (PickFolder(&path, owner)) PostToCurrentControl(kSelectFolderMessage, std::move(path));
}

bool StartFileReportThread(uintptr_t owner) { return StartReportThread(FileReportThread, owner); }
bool StartFolderReportThread(uintptr_t owner) { return StartReportThread(FolderReportThread, owner); }

bool TEST_WaitForReportThreads(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> l(running_mu);
  return running_cv.wait_for(l, std::chrono::milliseconds(timeout_ms), [] { return running == 0; });
}

}  // namespace vexa
