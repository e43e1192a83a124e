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

// The chooser threads still running, so a test can wait for their end, and
// whether one of them shows a dialog now.
std::mutex running_mu;
std::condition_variable running_cv;
int running = 0;
// The chooser thread showing a dialog now (numbered from 1); 0 for none.
uint64_t open_dialog = 0;
uint64_t last_dialog = 0;

// Ends chooser `number`'s claim on the desktop; a later chooser keeps its own.
void DialogClosed(uint64_t number) {
  std::lock_guard<std::mutex> l(running_mu);
  if (open_dialog == number) open_dialog = 0;
}

// Runs `dialog` on a thread of its own when no chooser is open; it is given
// the number to close with once its dialog is gone.
bool StartNumbered(std::function<void(uint64_t number)> dialog) {
  uint64_t number = 0;
  {
    std::lock_guard<std::mutex> l(running_mu);
    if (open_dialog != 0) return false;
    number = open_dialog = ++last_dialog;
    ++running;
  }
  const bool started = port::StartDetachedThread([dialog = std::move(dialog), number] {
    dialog(number);
    DialogClosed(number);
    std::lock_guard<std::mutex> l(running_mu);
    --running;
    running_cv.notify_all();
  });
  if (!started) {
    DialogClosed(number);
    std::lock_guard<std::mutex> l(running_mu);
    --running;
  }
  return started;
}

}  // namespace

bool StartChooserThread(std::function<void()> dialog) {
  return StartNumbered([dialog = std::move(dialog)](uint64_t) { dialog(); });
}

bool StartFileReportThread(uint64_t control_id, uintptr_t owner) {
  return StartNumbered([control_id, owner](uint64_t number) {
    std::vector<std::string> paths;
    const bool chosen = PickFiles(&paths, owner);
    // Free for the next request before the page hears of this one.
    DialogClosed(number);
    if (!chosen) return;
    for (std::string& path : paths) PostToControl(control_id, kSelectFileMessage, std::move(path));
  });
}

bool StartFolderReportThread(uint64_t control_id, uintptr_t owner) {
  return StartNumbered([control_id, owner](uint64_t number) {
    std::string path;
    const bool chosen = PickFolder(&path, owner);
    DialogClosed(number);
    if (chosen) PostToControl(control_id, kSelectFolderMessage, std::move(path));
  });
}

bool TEST_WaitForReportThreads(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> l(running_mu);
  return running_cv.wait_for(l, std::chrono::milliseconds(timeout_ms), [] { return running == 0; });
}

}  // namespace vexa
