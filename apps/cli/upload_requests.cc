#include "apps/cli/upload_requests.h"

#include <cstdio>

#include "account/account_file.h"
#include "port/clock.h"
#include "port/file.h"
#include "port/file_lock.h"

namespace vexa::cli {
namespace {

bool RequestsPath(std::string* path) {
  std::string folder;
  if (!GetDataFolder(&folder)) return false;
  *path = folder + "upload_requests";
  return true;
}

}  // namespace

bool TakeUploadLock(uint32_t* holder) {
  *holder = 0;
  std::string folder;
  if (!GetDataFolder(&folder)) return false;
  static port::FileLock lock;
  switch (lock.TryLock(folder + "upload.lock", holder)) {
    case port::FileLock::Result::kLocked:
      break;
    case port::FileLock::Result::kBusy:
      return false;
    case port::FileLock::Result::kFailed:
      // A folder that takes no locks (some network file systems) must not
      // keep the user from uploading.
      std::fprintf(stderr, "vexaupload: cannot lock %supload.lock; going on without it\n",
                   folder.c_str());
      return true;
  }
  // Whatever is there was meant for a process that has ended; what comes
  // from now on is for this one.
  TakeUploadRequests();
  return true;
}

bool PostUploadRequest(const UploadRequest& request) {
  std::string path;
  const auto unsafe = [](const std::string& s) {
    return s.find_first_of("\t\r\n") != std::string::npos;
  };
  if (request.path.find_first_of("\r\n") != std::string::npos || unsafe(request.target) ||
      unsafe(request.verb) || !RequestsPath(&path)) {
    return false;
  }
  std::FILE* f = port::OpenFileShared(path, "ab");
  if (f == nullptr) return false;
  port::SetPermissions(path, 0600);  // it names the user's files
  const std::string target = request.verb == "upload" ? request.target + "\t" : std::string();
  const std::string line = request.verb + "\t" + target + request.path + "\n";
  bool ok = std::fwrite(line.data(), 1, line.size(), f) == line.size();
  ok = std::fclose(f) == 0 && ok;
  return ok;
}

bool WaitForUploadRequestsTaken(uint32_t timeout_ms) {
  std::string path;
  if (!RequestsPath(&path)) return false;
  const uint64_t deadline = port::MonotonicMillis() + timeout_ms;
  while (port::PathExists(path)) {
    if (port::MonotonicMillis() >= deadline) {
      port::RemoveFile(path);
      return false;
    }
    port::SleepMs(50);
  }
  return true;
}

std::vector<UploadRequest> TakeUploadRequests() {
  std::vector<UploadRequest> requests;
  std::string path, text;
  if (!RequestsPath(&path) || !port::PathExists(path)) return requests;
  // Renamed first, so a request appended meanwhile lands in a new file.
  const std::string taken = path + ".taken";
  if (!port::RenameFile(path, taken)) return requests;
  port::ReadWholeFile(taken, &text);
  port::RemoveFile(taken);
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const std::string line = text.substr(start, end - start);
    size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    UploadRequest r{line.substr(0, tab), line.substr(tab + 1), ""};
    if (r.verb == "upload") {
      tab = r.path.find('\t');
      if (tab == std::string::npos) continue;
      r.target = r.path.substr(0, tab);
      r.path.erase(0, tab + 1);
    }
    requests.push_back(std::move(r));
  }
  return requests;
}

}  // namespace vexa::cli
