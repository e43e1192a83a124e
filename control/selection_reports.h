#ifndef VEXA_CONTROL_SELECTION_REPORTS_H_
#define VEXA_CONTROL_SELECTION_REPORTS_H_

// The report route of selection: the chosen paths are only told to the page
// (SelectFileEvent, SelectFolderEvent), which decides what to queue. Needs no
// login and touches no engine state.

#include <cstdint>

namespace vexa {

// Each runs one dialog on a thread of its own and posts what was chosen to
// the current control: one file message per chosen file, or one folder
// message. Nothing when cancelled. False when no thread could be started.
// `owner` is the dialog's owner window (0: none).
bool StartFileReportThread(uintptr_t owner = 0);
bool StartFolderReportThread(uintptr_t owner = 0);

void FileReportThread(uintptr_t owner = 0);
void FolderReportThread(uintptr_t owner = 0);

// For tests: waits until every report thread has ended. False on time-out.
bool TEST_WaitForReportThreads(uint32_t timeout_ms);

}  // namespace vexa

#endif  // VEXA_CONTROL_SELECTION_REPORTS_H_
