#ifndef VEXA_ENGINE_FOLDER_UPLOAD_H_
#define VEXA_ENGINE_FOLDER_UPLOAD_H_

// Folder uploads. A folder becomes member files, each an ordinary task with
// folderPath and folderTarget set, queued and transferred one by one; the
// remote sub-folders are created on demand by the members' dispatches.

#include <cstdint>
#include <functional>
#include <string>

#include "engine/folder.h"
#include "engine/upload_task.h"

namespace vexa {

// Installs StartFolderUpload and ResolveTarget into the engine's folder and
// target seams. A host calls it once before it starts the engine.
void InstallFolderUploads();

// Queues a folder. A folder the engine knows already (queued before, or left
// unfinished by the last run) has its unfinished members queued again, or is
// listed anew when it failed as a whole; any other folder is listed and its
// members registered on a thread of its own (all of them stopped, with only
// their resume records kept, when `auto_start` is off). Returns whether the
// request was taken; a second request while the folder's thread still runs
// changes nothing.
bool StartFolderUpload(const std::string& folder_path, const std::string& target, int32_t isp_type,
                       bool auto_start);

// Finds where a waiting member goes, just before the scheduler starts it:
// *target is the remote folder it goes below and *remote_path the folders its
// dispatch must create there ("/"-separated, empty when none). *target is left
// empty while the member must wait: a directory on its way is being created
// by another member. False when the member's folder or directory is unknown.
// Called by the scheduler with the engine lock held.
bool ResolveTarget(UploadTask* task, const std::string& directory, std::string* remote_path,
                   std::string* target);

// Whether no directory above `directory` (up to the folder itself) is being
// created by a member right now.
bool AncestorsReady(const FolderRecord& folder, const std::string& directory) REQUIRES(folder.lock);

// For tests and benchmarks: waits until every folder-listing thread has
// ended. False on time-out.
bool TEST_WaitForFolderUploads(uint32_t timeout_ms);
// For tests: runs on a folder's listing thread once the folder is listed,
// before its members are saved and registered. Empty to remove.
void TEST_SetFolderListedHook(std::function<void()> hook);
// For tests: runs on a folder's listing thread before each member is
// registered (its folder's status already read). Empty to remove.
void TEST_SetFolderRegisteringHook(std::function<void()> hook);

}  // namespace vexa

#endif  // VEXA_ENGINE_FOLDER_UPLOAD_H_
