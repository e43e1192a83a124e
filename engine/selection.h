#ifndef VEXA_ENGINE_SELECTION_H_
#define VEXA_ENGINE_SELECTION_H_

// File and folder selection: the system's choosers, each on a thread of its
// own so that the page's call returns at once.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace vexa {

// The dialog texts.
inline constexpr char kFileDialogTitle[] = "选择要上传的文件";
inline constexpr char kFolderDialogTitle[] = "选择要上传的文件夹";

// Shows the open-file dialog; fills *paths with the chosen files' full paths.
// False when cancelled.
bool PickFiles(std::vector<std::string>* paths, uintptr_t owner);
// Shows the folder browser. False when cancelled.
bool PickFolder(std::string* path, uintptr_t owner);

// The full paths of an open-file dialog's answer: one full path alone, or a
// directory followed by names, each joined to it with one separator (none
// added when the directory ends with one already), or several full paths
// (a string after the first holding a separator is no name).
std::vector<std::string> JoinPickedFiles(const std::vector<std::string>& strings);

// The queue route: pick, then queue every chosen file (or the folder) with
// the request's target, ISP type and auto-start flag. Each runs one dialog.
void FileSelectionThread(const SelectionRequest& request);
void FolderSelectionThread(const SelectionRequest& request);

// Makes the engine run the queue route's threads for SelectFiles and
// SelectFolder. Hosts call it once, before any login.
void InstallSelection();

}  // namespace vexa

#endif  // VEXA_ENGINE_SELECTION_H_
