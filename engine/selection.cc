#include "engine/selection.h"

#include "port/debug.h"
#include "port/file.h"
#include "port/file_chooser.h"
#include "port/thread.h"

namespace vexa {

std::vector<std::string> JoinPickedFiles(const std::vector<std::string>& strings) {
  if (strings.empty()) return {};
  std::string base = strings.front();
  if (strings.size() == 1) return {base};
  // A chooser program that prints full paths, one a line, instead of the
  // dialog's folder and names: a name never holds a separator.
  for (size_t i = 1; i < strings.size(); ++i) {
    if (strings[i].find(port::kPathSeparator) != std::string::npos ||
        strings[i].find('/') != std::string::npos) {
      return strings;
    }
  }
  if (base.empty() || base.back() != port::kPathSeparator) base.push_back(port::kPathSeparator);
  std::vector<std::string> paths;
  paths.reserve(strings.size() - 1);
  for (size_t i = 1; i < strings.size(); ++i) paths.push_back(base + strings[i]);
  return paths;
}

bool PickFiles(std::vector<std::string>* paths, uintptr_t owner) {
  std::vector<std::string> strings;
  if (!port::ShowOpenFilesDialog(owner, kFileDialogTitle, &strings)) return false;
  *paths = JoinPickedFiles(strings);
  return !paths->empty();
}

bool PickFolder(std::string* path, uintptr_t owner) {
  return port::ShowFolderDialog(owner, kFolderDialogTitle, path);
}

void FileSelectionThread(const SelectionRequest& request) {
  std::vector<std::string> paths;
  if (!PickFiles(&paths, SelectionOwner())) return;
  for (const std::string& path : paths) {
    port::DebugOut("SELECT FILE: " + path);
    // A refused file was reported failed, is queued already, or the engine stopped.
    (void)AddFileTask(path, request.target, request.ispType, "", "", request.autoStart);
  }
}

void FolderSelectionThread(const SelectionRequest& request) {
  std::string path;
  if (!PickFolder(&path, SelectionOwner())) return;
  port::DebugOut("SELECT FOLDER: " + path);
  // Refused by the engine when it stopped while the dialog was open.
  (void)AddFolderTask(path, request.target, request.ispType, request.autoStart);
}

void InstallSelection() {
  SetSelectionStarter([](const SelectionRequest& request) {
    return port::StartDetachedThread([request] {
      if (request.folder) {
        FolderSelectionThread(request);
      } else {
        FileSelectionThread(request);
      }
    });
  });
}

}  // namespace vexa
