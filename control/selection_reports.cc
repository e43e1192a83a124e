#include "control/selection_reports.h"

#include <string>
#include <vector>

#include "control/control.h"
#include "engine/selection.h"
#include "port/thread.h"

namespace vexa {

void FileReportThread() {
  std::vector<std::string> paths;
  if (!PickFiles(&paths, 0)) return;
  for (std::string& path : paths) PostToCurrentControl(kSelectFileMessage, std::move(path));
}

void FolderReportThread() {
  std::string path;
  if (PickFolder(&path, 0)) PostToCurrentControl(kSelectFolderMessage, std::move(path));
}

bool StartFileReportThread() { return port::StartDetachedThread(FileReportThread); }
bool StartFolderReportThread() { return port::StartDetachedThread(FolderReportThread); }

}  // namespace vexa
