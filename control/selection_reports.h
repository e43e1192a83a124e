#ifndef VEXA_CONTROL_SELECTION_REPORTS_H_
#define VEXA_CONTROL_SELECTION_REPORTS_H_

// The report route of selection: the chosen paths are only told to the page
// that asked (SelectFileEvent, SelectFolderEvent), which decides what to
// queue. Needs no login and touches no engine state.
//
// At most one chooser is open at a time, whichever route opened it: a page
// that asks again and again would otherwise fill the desktop with dialogs
// (and the process with threads).

#include <cstdint>
#include <functional>

namespace vexa {

// Each runs one dialog on a thread of its own and posts what was chosen to
// the control `control_id`: one file message per chosen file, or one folder
// message. Nothing when cancelled. False, at once, when a chooser is already
// open or no thread could be started: a cancel.
// `owner` is the dialog's owner window (0: none).
bool StartFileReportThread(uint64_t control_id, uintptr_t owner = 0);
bool StartFolderReportThread(uint64_t control_id, uintptr_t owner = 0);

// Runs `dialog` (which shows one chooser) on a thread of its own unless a
// chooser is open already. False when it is, or no thread could be started.
bool StartChooserThread(std::function<void()> dialog);

// For tests: waits until every chooser thread has ended. False on time-out.
bool TEST_WaitForReportThreads(uint32_t timeout_ms);

}  // namespace vexa

#endif  // VEXA_CONTROL_SELECTION_REPORTS_H_
