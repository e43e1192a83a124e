#ifndef VEXA_ACCOUNT_TEST_DATA_DIR_H_
#define VEXA_ACCOUNT_TEST_DATA_DIR_H_

// Test support: a private data folder for the duration of a test.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "port/file.h"
#include "port/testing/test_environment.h"

namespace vexa {

// Creates a fresh folder below the system's temporary folder, points
// VEXAUPLOAD_DATA_DIR at it and removes it again at the end.
class TestDataDir {
 public:
  TestDataDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("vexa-test-" + std::to_string(rd()) + "-" + std::to_string(rd()));
    std::filesystem::create_directories(path_);
    SetTestEnvironment("VEXAUPLOAD_DATA_DIR", path_.string().c_str());
  }
  ~TestDataDir() {
    SetTestEnvironment("VEXAUPLOAD_DATA_DIR", nullptr);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TestDataDir(const TestDataDir&) = delete;
  TestDataDir& operator=(const TestDataDir&) = delete;

  // With a trailing separator, as the data folder is given.
  std::string folder() const { return path_.string() + port::kPathSeparator; }
  // `name` may use '/'; the path has the platform's separators throughout, as
  // the paths a folder listing yields.
  std::string File(const std::string& name) const {
    return (path_ / std::filesystem::path(name).make_preferred()).string();
  }

 private:
  std::filesystem::path path_;
};

// `relative` ('/'-separated) below `base`, with the platform's separators.
inline std::string LocalPath(const std::string& base, const std::string& relative) {
  return (std::filesystem::path(base) / std::filesystem::path(relative).make_preferred()).string();
}

// The whole content of a file; empty when it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Replaces the content of a file with `text`, byte for byte.
inline void WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace vexa

#endif  // VEXA_ACCOUNT_TEST_DATA_DIR_H_
