#include "control/control_task_list.h"

#include <vector>

#include "engine/upload_task.h"

namespace vexa {

void ControlTaskList::Record(const ProgressRecord& record) {
  const auto status = static_cast<TaskStatus>(record.status);
  port::MutexLock l(&mu_);
  if (status == TaskStatus::Completed || status == TaskStatus::Cancelled) {
    RemoveLocked(record.path);
    return;
  }
  auto it = rows_.find(record.path);
  if (it == rows_.end()) {
    order_.push_back(record.path);
    rows_.emplace(record.path, Row{record, std::prev(order_.end())});
  } else {
    it->second.record = record;
  }
}

void ControlTaskList::Remove(const std::string& path) {
  port::MutexLock l(&mu_);
  RemoveLocked(path);
}

void ControlTaskList::RemoveLocked(const std::string& path) {
  auto it = rows_.find(path);
  if (it == rows_.end()) return;
  order_.erase(it->second.position);
  rows_.erase(it);
}

void ControlTaskList::Clear() {
  port::MutexLock l(&mu_);
  order_.clear();
  rows_.clear();
}

void ControlTaskList::ForEach(const std::function<void(const ProgressRecord&)>& visit) const {
  // The visitor runs page script, which may stop or cancel an upload (taking
  // the engine lock) while the scheduler, holding that lock, waits here to
  // record a report: it walks a copy taken under the lock, with the lock
  // released.
  std::vector<ProgressRecord> rows;
  {
    port::MutexLock l(&mu_);
    rows.reserve(order_.size());
    for (const std::string& path : order_) rows.push_back(rows_.at(path).record);
  }
  for (const ProgressRecord& r : rows) visit(r);
}

size_t ControlTaskList::size() const {
  port::MutexLock l(&mu_);
  return order_.size();
}

bool ControlTaskList::Contains(const std::string& path) const {
  port::MutexLock l(&mu_);
  return rows_.count(path) != 0;
}

ControlTaskList& TaskList() {
  static ControlTaskList* list = new ControlTaskList;
  return *list;
}

}  // namespace vexa
