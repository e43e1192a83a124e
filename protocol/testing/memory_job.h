#ifndef VEXA_PROTOCOL_TESTING_MEMORY_JOB_H_
#define VEXA_PROTOCOL_TESTING_MEMORY_JOB_H_

// Test support: an UploadJob over plain values, standing in for the transfer
// worker's adapter.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/upload_job.h"

namespace vexa {

class MemoryFolder : public FolderProgress {
 public:
  explicit MemoryFolder(int64_t total) { bytes_.totalSize = total; }
  void UpdateBytes(const std::function<void(FolderBytes*)>& change) override {
    std::lock_guard<std::mutex> l(mu_);
    change(&bytes_);
  }
  FolderBytes bytes() {
    std::lock_guard<std::mutex> l(mu_);
    return bytes_;
  }

 private:
  std::mutex mu_;
  FolderBytes bytes_;
};

class MemoryJob : public UploadJob {
 public:
  JobFields Fields() const override {
    std::lock_guard<std::mutex> l(mu);
    return fields;
  }
  JobState State() const override {
    if (on_state) on_state();
    return state.load();
  }
  TransferContext* Transfer() const override { return has_transfer ? &transfer : nullptr; }
  void SetRefusal(int32_t code, const std::string& message) override {
    std::lock_guard<std::mutex> l(mu);
    error_code = code;
    worker_text = message;
  }
  void SetQuickUpload() override { quick_upload = true; }
  void AdoptPickCode(const std::string& pick_code) override {
    std::lock_guard<std::mutex> l(mu);
    if (fields.pickCode.empty()) fields.pickCode = pick_code;
  }
  void RecordFolderTarget(const std::string& identity) override {
    folder_targets.push_back(identity);
  }
  void SetUploadedSize(int64_t size) override { uploaded_size = size; }
  void AddSentBytes(int64_t n) override {
    uploaded_size += n;
    bytes_sent += n;
  }
  std::shared_ptr<FolderProgress> FindFolder() override { return folder; }

  mutable std::mutex mu;
  JobFields fields;  // guarded by mu once a request runs
  std::atomic<JobState> state{JobState::kUploading};
  std::function<void()> on_state;  // called at every status test
  bool has_transfer = true;
  mutable TransferContext transfer;
  int32_t error_code = 0;   // guarded by mu
  std::string worker_text;  // guarded by mu
  bool quick_upload = false;
  std::vector<std::string> folder_targets;
  std::atomic<int64_t> uploaded_size{0};
  std::atomic<int64_t> bytes_sent{0};
  std::shared_ptr<MemoryFolder> folder;
};

}  // namespace vexa

#endif  // VEXA_PROTOCOL_TESTING_MEMORY_JOB_H_
