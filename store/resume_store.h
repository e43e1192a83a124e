#ifndef VEXA_STORE_RESUME_STORE_H_
#define VEXA_STORE_RESUME_STORE_H_

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "account/ini_file.h"

namespace vexa {

// What the store keeps of one unfinished upload, keyed by the file's path.
struct ResumeRecord {
  std::string fileId;
  std::string quickId;
  std::string pickCode;
  std::string folderPath;
  std::string folderTarget;
  std::string target;  // always stored empty for a folder member
  int64_t fileSize = 0;
  int64_t uploadedSize = 0;
  int32_t ispType = 0;
  // The file's modification time when the identities were taken ("filetime",
  // nanoseconds); absent in records made before it was kept.
  std::optional<int64_t> modifiedTime;
  // For a folder member ("folderset"): false while the folder's records are
  // being written, true once the whole set is; absent in older records, which
  // count as complete.
  std::optional<bool> folderSetComplete;
  // For a folder member ("failed"): the code of a failure that retrying
  // cannot change; such a member is not queued again. 0: none.
  int32_t finalFailure = 0;
  // For a folder member ("lastfailed"): the code of its last failure when a
  // retry may still help; it is queued again, and listed among the folder's
  // failures until then. 0: none (and in records made before it was kept).
  int32_t lastFailure = 0;
};

// A complete record found by LoadResumeStore, in file order.
struct StoredUpload {
  std::string filePath;
  ResumeRecord record;
};

// The process-wide store of unfinished uploads: "<user id>_upload.ini" in the
// data folder, held in memory and written by a writer thread when changed (at
// once when woken, else within 30 seconds). The writer never writes before the
// file has been loaded, and belongs to one open: CloseResumeStore ends it and
// writes whatever it had not written yet.

// Points the store at the current user's file and starts its writer. False
// when the store is open already.
bool OpenResumeStore();

// Reads the file (missing or unreadable: empty) and hands every complete
// record to `restore`, in file order, before the store counts as loaded.
// Sections lacking one of the nine keys are skipped and kept. Records saved
// between open and load are kept. False when the store is not open.
using ResumeRestoreFn = std::function<void(const std::vector<StoredUpload>&)>;
bool LoadResumeStore(const ResumeRestoreFn& restore);

// Ends the writer, writes what is still unwritten (once loaded), then forgets
// path and content.
void CloseResumeStore();

bool IsResumeStoreOpen();

// Orders an upload's saves against cancels and against the store's opens. An
// upload takes a ticket when it is made; its later saves are refused once its
// record was cancelled after that, or the store was opened again (for the next
// login) since. kLatestResumeTicket is newer than every cancel and open.
inline constexpr uint64_t kLatestResumeTicket = std::numeric_limits<uint64_t>::max();
uint64_t ResumeStoreTicket();

// Stores the nine keys of `record` (and "filetime" when known) in the section
// `file_path` and marks the store changed; `wake` has it written at once.
// False when the store is not open, the path is empty, a value cannot be
// stored (a line break, or white space at its end), or `ticket` is older than
// the record's cancel or the store's open.
bool SaveResumeRecord(const std::string& file_path, const ResumeRecord& record, bool wake,
                      uint64_t ticket = kLatestResumeTicket);

// Reads the record of `file_path` into `record`. False when the store is not
// open or the section has no "fileid"; other missing keys leave their fields
// as they were.
bool ReadResumeRecord(const std::string& file_path, ResumeRecord* record);

// Sums the records of the members of `folder_path`: sizes into *total and
// *uploaded, their paths appended to *paths in file order, and the folder's
// target into *folder_target when that is empty. *complete (when given) is
// cleared when one of them says its set was not written whole. With
// `queueable_only`, members that failed for good are left out. False when the
// store is not open or holds no record at all.
bool CollectFolderRecords(const std::string& folder_path, int64_t* total, int64_t* uploaded,
                          std::string* folder_target, std::vector<std::string>* paths,
                          bool* complete = nullptr, bool queueable_only = false);

// Records in the member's record that it failed for good with `code`.
void MarkResumeRecordFailed(const std::string& file_path, int32_t code, uint64_t ticket);
// Records that the member's last attempt failed with `code` (a failure a
// retry may cure), or forgets it with 0, for a member queued again.
void NoteResumeRecordFailure(const std::string& file_path, int32_t code,
                             uint64_t ticket = kLatestResumeTicket);

// Marks the records of `paths` as one whole folder set (those that exist and
// that `ticket` may still change).
void CompleteFolderSet(const std::vector<std::string>& paths, uint64_t ticket);

// Removes the record of `file_path` from memory, unless `ticket` is older
// than the store's open (an upload of an earlier login). Callers then mark the
// store changed with MarkResumeStoreDirty.
void RemoveResumeRecord(const std::string& file_path, uint64_t ticket = kLatestResumeTicket);
// Removes the record for a cancel: saves with an older ticket are refused
// from now on, so an upload on its way out cannot write it back.
void CancelResumeRecord(const std::string& file_path);

// A cancel the upload service has not confirmed yet: what its cancel request
// is built from. Kept with the records (a section of its own, which loads as
// no upload) until the service has heard it.
struct PendingCancel {
  std::string pickCode;
  std::string filePath;
  std::string fileId;
  std::string quickId;
  std::string target;
  int64_t fileSize = 0;
  int32_t ispType = 0;
};
// Keeps `cancel` (one per pick code) and has it written at once. False when
// the store is not open or a value cannot be stored.
bool SavePendingCancel(const PendingCancel& cancel);
std::vector<PendingCancel> PendingCancels();
void RemovePendingCancel(const std::string& pick_code);

// Marks the store changed; `wake` has the writer write it at once.
void MarkResumeStoreDirty(bool wake);
void WakeResumeWriter();
// Writes the store now, on the calling thread. True once every change made
// before the call is on the disk; false when the store is not open and loaded
// or the write failed (the changes then stay marked for the writer).
bool FlushResumeStore();

// The store file's path while open (empty otherwise).
std::string ResumeStorePath();

// For tests: the number of passes the writer has made and the number of
// writes that reached the disk, and a wait (without polling) until the writer has finished more
// than `passes` passes. False on time-out.
uint64_t TEST_ResumeWriterPasses();
uint64_t TEST_ResumeWrites();
bool TEST_WaitForResumeWriterPass(uint64_t passes, uint32_t timeout_ms);
int TEST_ResumeWritersRunning();
// For tests: runs on the writer thread after it has taken the store's changed
// mark and before it writes. Empty to remove.
void TEST_SetResumeWriterHook(std::function<void()> hook);

}  // namespace vexa

#endif  // VEXA_STORE_RESUME_STORE_H_
