#include "control/page_script_policy.h"

#include <random>

#include "control/control_task_list.h"
#include "control/script_origin.h"
#include "engine/folder.h"
#include "port/file.h"
#include "store/resume_store.h"

namespace vexa {

const std::string& RememberedLoginToken() {
  static const std::string* token = [] {
    std::random_device random;
    static constexpr char kHex[] = "0123456789abcdef";
    auto* t = new std::string("token-");
    for (int i = 0; i < 32; ++i) t->push_back(kHex[random() % 16]);
    return t;
  }();
  return *token;
}

void ScriptCallerCheck::PlacedIn(std::string_view url, const std::vector<std::string>& registered) {
  if (url.empty()) return;
  // An address without an origin (file:, about:blank) is never registered.
  const std::string origin = OriginOfUrl(url);
  placed_ = true;
  registered_ = !origin.empty() && OriginPolicy(registered).Allows(origin);
}

bool IsInsideFolder(const std::string& path, const std::string& folder) {
  if (folder.empty()) return false;
  std::string prefix = folder;
  if (prefix.back() != port::kPathSeparator) prefix.push_back(port::kPathSeparator);
  if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return false;
  // Windows takes "/" as a separator too, so both split the rest.
  const char separators[] = {'/', port::kPathSeparator, '\0'};
  size_t start = prefix.size();
  for (;;) {
    size_t end = path.find_first_of(separators, start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == path.size()) return true;
    start = end + 1;
  }
}

bool LeadsThroughNoLink(const std::string& path, const std::string& folder) {
  // Looks only at the parts below the folder the user chose, whose entries the
  // page may learn anyway; a link there could lead anywhere (a home folder's
  // keys), which a folder upload would never follow either.
  const char separators[] = {'/', port::kPathSeparator, '\0'};
  size_t end = folder.size() + (folder.back() == port::kPathSeparator ? 0 : 1);
  for (;;) {
    end = path.find_first_of(separators, end);
    const std::string part = end == std::string::npos ? path : path.substr(0, end);
    if (port::IsSymbolicLink(part)) return false;
    if (end == std::string::npos) return true;
    ++end;
  }
}

bool PageScriptPolicy::MayUpload(const std::string& path) const {
  if (path.empty()) return false;
  if (files_.count(path) != 0 || folders_.count(path) != 0) return true;
  for (const std::string& folder : folders_) {
    if (IsInsideFolder(path, folder) && LeadsThroughNoLink(path, folder)) return true;
  }
  ResumeRecord record;
  return TaskList().Contains(path) || FindFolder(path) != nullptr ||
         ReadResumeRecord(path, &record);
}

}  // namespace vexa
