#include "engine/folder_listing.h"

#include <algorithm>

#include "port/file.h"

namespace vexa {
namespace {

// Appends the directory's files to *files and its sub-folders, last first, to
// *folders (a stack: the first sub-folder is listed next).
void TakeEntries(const std::string& dir, std::vector<port::DirEntry>* entries,
                 std::vector<std::string>* files, std::vector<std::string>* folders) {
  std::sort(entries->begin(), entries->end(),
            [](const port::DirEntry& a, const port::DirEntry& b) { return a.name < b.name; });
  const size_t first_folder = folders->size();
  for (const port::DirEntry& e : *entries) {
    std::string path = dir + port::kPathSeparator + e.name;
    switch (e.kind) {
      case port::EntryKind::kFile:
        files->push_back(std::move(path));
        break;
      case port::EntryKind::kDirectory:
        folders->push_back(std::move(path));
        break;
      case port::EntryKind::kSymlink:
      case port::EntryKind::kOther:
        // A link to a file is uploaded as that file; a link to a directory
        // could lead back up the tree, and a FIFO would block the reader.
        if (port::IsRegularFile(path)) files->push_back(std::move(path));
        break;
    }
  }
  std::reverse(folders->begin() + static_cast<std::ptrdiff_t>(first_folder), folders->end());
}

}  // namespace

bool ListFolderFiles(const std::string& folder_path, std::vector<std::string>* files,
                     const std::function<bool()>& keep_going) {
  std::vector<port::DirEntry> entries;
  if (!port::ListDirectory(folder_path, &entries)) return false;
  // An explicit stack instead of recursion: a deep tree cannot exhaust the
  // thread's stack.
  std::vector<std::string> folders;
  TakeEntries(folder_path, &entries, files, &folders);
  while (!folders.empty()) {
    if (keep_going && !keep_going()) return false;
    const std::string dir = std::move(folders.back());
    folders.pop_back();
    entries.clear();
    if (port::ListDirectory(dir, &entries)) TakeEntries(dir, &entries, files, &folders);
  }
  return true;
}

}  // namespace vexa
