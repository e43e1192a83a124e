#ifndef VEXA_CONTROL_TEST_SCRIPT_HOST_H_
#define VEXA_CONTROL_TEST_SCRIPT_HOST_H_

// Test support: a dispatcher whose output lines are kept and read back as
// JSON (JsonValue, so the tests build with either reader), with waits that
// play the host's UI thread.

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "codec/json_answer.h"
#include "codec/json_quote.h"
#include "control/payload.h"
#include "control/script_dispatcher.h"
#include "gtest/gtest.h"
#include "port/testing/test_environment.h"

namespace vexa {

class TestScriptHost {
 public:
  TestScriptHost() : dispatcher_([this](const std::string& line) { Keep(line); }) {}

  // Sends one request and returns its answer line as JSON.
  JsonValue Send(const std::string& line) {
    const size_t before = Lines().size();
    dispatcher_.HandleLine(line);
    const std::vector<std::string> lines = Lines();
    EXPECT_GT(lines.size(), before) << line;
    return lines.size() > before ? Parse(lines.back()) : JsonValue();
  }
  // Calls `method` with `params` (a JSON array text) and returns the result.
  JsonValue Call(const std::string& method, const std::string& params = "[]") {
    JsonValue answer = Send("{\"id\":" + std::to_string(++id_) + ",\"method\":\"" + method +
                            "\",\"params\":" + params + "}");
    EXPECT_FALSE(JsonHasMember(answer, "error")) << method << ": " << answer;
    return JsonMember(answer, "result");
  }

  // Fires posted events until `done` holds for the events seen so far.
  bool WaitFor(const std::function<bool()>& done, int timeout_ms = 60000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      dispatcher_.WaitForEvents(50);
      dispatcher_.DispatchEvents();
    }
    return true;
  }
  // Fires what is posted within `ms`.
  void Pump(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      dispatcher_.WaitForEvents(20);
      dispatcher_.DispatchEvents();
    }
  }

  // The unescaped payloads of every `event` line so far.
  std::vector<std::string> Payloads(const std::string& event) {
    std::vector<std::string> out;
    for (const std::string& line : Lines()) {
      JsonValue v = Parse(line);
      if (JsonString(JsonMember(v, "event")) == event) {
        out.push_back(UnescapeUnicode(JsonString(JsonMember(v, "payload"))));
      }
    }
    return out;
  }
  // The fields of every progress row of `path` reported by `event`.
  std::vector<std::vector<std::string>> Rows(const std::string& path,
                                             const std::string& event = "ProgressEvent") {
    std::vector<std::vector<std::string>> out;
    for (const std::string& p : Payloads(event)) {
      std::vector<std::string> f = SplitProgressFields(p);
      if (f.size() == 14 && f[1] == path) out.push_back(f);
    }
    return out;
  }
  // Whether a progress row of `path` with `status` was reported.
  bool HasStatus(const std::string& path, int status) {
    for (const auto& f : Rows(path)) {
      if (f[6] == std::to_string(status)) return true;
    }
    return false;
  }

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> l(mu_);
    return lines_;
  }
  void ClearLines() {
    std::lock_guard<std::mutex> l(mu_);
    lines_.clear();
  }
  ScriptDispatcher& dispatcher() { return dispatcher_; }

  static JsonValue Parse(const std::string& line) {
    JsonValue v;
    EXPECT_TRUE(ParseJsonAnswer(line, &v)) << line;
    return v;
  }

 private:
  void Keep(const std::string& line) {
    // Every line is one ASCII JSON object, whatever the texts held.
    EXPECT_EQ(std::string::npos, line.find('\n'));
    for (char c : line) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << line;
    std::lock_guard<std::mutex> l(mu_);
    lines_.push_back(line);
  }

  std::mutex mu_;
  std::vector<std::string> lines_;
  int id_ = 0;
  ScriptDispatcher dispatcher_;
};

// Makes every dialog run a chooser script in `folder` that logs its calls to
// folder/chooser.log, runs `before` (shell text; "" for nothing), prints
// `answer` and exits with `status` (1: cancelled).
inline void UseScriptedChooser(const std::string& folder, const std::string& answer, int status = 0,
                               const std::string& before = "") {
  const std::string script = folder + "/chooser.sh";
  std::ofstream(folder + "/answer", std::ios::binary) << answer;
  std::ofstream(script) << "#!/bin/sh\necho \"$1 $2\" >> '" << folder << "/chooser.log'\n"
                        << before << "\ncat '" << folder << "/answer'\nexit " << status << "\n";
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  SetTestEnvironment("VEXAUPLOAD_CHOOSER", script.c_str());
}

}  // namespace vexa

#endif  // VEXA_CONTROL_TEST_SCRIPT_HOST_H_
