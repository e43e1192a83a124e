#ifndef VEXA_CONTROL_CONTROL_TASK_LIST_H_
#define VEXA_CONTROL_CONTROL_TASK_LIST_H_

#include <functional>
#include <list>
#include <map>
#include <string>

#include "control/payload.h"
#include "port/mutex.h"

namespace vexa {

// The latest report of every upload the page has heard of, in order of first
// report; what LoadTask replays. Process-wide, guarded by its own re-entrant
// lock: reports come from engine threads, the rest from the UI thread.
class ControlTaskList {
 public:
  // Keeps the record (a new path goes last), or drops the row for a
  // Completed or Cancelled report.
  void Record(const ProgressRecord& record);
  void Remove(const std::string& path);
  void Clear();
  // Runs `visit` on a copy of the rows, in order, without the lock held, so
  // it may call into the engine and change the list.
  void ForEach(const std::function<void(const ProgressRecord&)>& visit) const;
  size_t size() const;
  bool Contains(const std::string& path) const;

 private:
  void RemoveLocked(const std::string& path) REQUIRES(mu_);

  struct Row {
    ProgressRecord record;
    std::list<std::string>::iterator position;
  };
  // Lock order: engineMutex, then mu_ (the engine records reports with its
  // lock held). Nothing is called out to while mu_ is held.
  mutable port::Mutex mu_;
  std::list<std::string> order_ GUARDED_BY(mu_);
  std::map<std::string, Row> rows_ GUARDED_BY(mu_);
};

ControlTaskList& TaskList();

}  // namespace vexa

#endif  // VEXA_CONTROL_CONTROL_TASK_LIST_H_
