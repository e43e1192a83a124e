#ifndef VEXA_PORT_FILE_CHOOSER_H_
#define VEXA_PORT_FILE_CHOOSER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace vexa::port {

// The system's file and folder choosers. Which one runs:
//   - the program named by VEXAUPLOAD_CHOOSER, when set (scripts, tests,
//     headless hosts): run as `PROGRAM files TITLE` or `PROGRAM folder TITLE`,
//     it prints what was chosen, one string per line (or NUL-separated, for
//     names holding line breaks): for files one full path, several full
//     paths, or a folder followed by names in it; printing nothing or failing
//     is a cancel;
//   - otherwise, on Windows, the system's dialogs; elsewhere zenity on a
//     desktop session, or none (every dialog is cancelled).
// All texts are UTF-8. `owner` names the window the dialog belongs to.

// The open-file dialog, several files allowed. On success *strings holds, as
// the dialog answers, either one full path or a directory followed by the
// chosen names. False when cancelled or no chooser could be shown.
bool ShowOpenFilesDialog(uintptr_t owner, const std::string& title,
                         std::vector<std::string>* strings);

// The folder browser. False when cancelled.
bool ShowFolderDialog(uintptr_t owner, const std::string& title, std::string* path);

}  // namespace vexa::port

#endif  // VEXA_PORT_FILE_CHOOSER_H_
