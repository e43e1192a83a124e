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

bool StartReportThread(void (*body)()) {
  {
    std::lock_guard<std::mutex> l(running_mu);
    ++running;
  }
  const bool started = port::StartDetachedThread([body] {
    body();
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

void FileReportThread() {
  std::vector<std::string> paths;
  if (!PickFiles(&paths, 0)) return;
  for (std::string& path : paths) PostToCurrentControl(kSelectFileMessage, std::move(path));
}

void FolderReportThread() {
  std::string path;
  if (PickFolder(&path, 0)) PostToCurrentControl(kSelectFolderMessage, std::move(path));
}

bool StartFileReportThread() { return StartReportThread(FileReportThread); }
bool StartFolderReportThread() { return StartReportThread(FolderReportThread); }

bool TEST_WaitForReportThreads(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> l(running_mu);
  return running_cv.wait_for(l, std::chrono::milliseconds(timeout_ms), [] { return running == 0; });
}

}  // namespace vexa
