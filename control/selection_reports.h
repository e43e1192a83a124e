#ifndef VEXA_CONTROL_SELECTION_REPORTS_H_
#define VEXA_CONTROL_SELECTION_REPORTS_H_

// The report route of selection: the chosen paths are only told to the page
// (SelectFileEvent, SelectFolderEvent), which decides what to queue. Needs no
// login and touches no engine state.

namespace vexa {

// Each runs one dialog on a thread of its own and posts what was chosen to
// the current control: one file message per chosen file, or one folder
// message. Nothing when cancelled. False when no thread could be started.
bool StartFileReportThread();
bool StartFolderReportThread();

void FileReportThread();
void FolderReportThread();

}  // namespace vexa

#endif  // VEXA_CONTROL_SELECTION_REPORTS_H_
