#ifndef VEXA_ENGINE_FOLDER_LISTING_H_
#define VEXA_ENGINE_FOLDER_LISTING_H_

#include <functional>
#include <string>
#include <vector>

namespace vexa {

// Appends the path of every file below `folder_path` to *files: a directory's
// own files (in byte order of their names) before the files of its
// sub-folders, each sub-folder listed the same way in turn. Only regular files
// count, also when reached through a symbolic link; symbolic links to
// directories are not followed, and FIFOs, sockets and devices are skipped.
// A sub-folder that cannot be opened is skipped. False when `folder_path`
// itself cannot be opened, or when `keep_going` (asked before each directory)
// says to stop.
bool ListFolderFiles(const std::string& folder_path, std::vector<std::string>* files,
                     const std::function<bool()>& keep_going = nullptr);

}  // namespace vexa

#endif  // VEXA_ENGINE_FOLDER_LISTING_H_
