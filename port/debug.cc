#include "port/debug.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace vexa::port {
namespace {

std::mutex& SinkMutex() {
  static std::mutex mu;
  return mu;
}

DebugSink& Sink() {
  static DebugSink sink;
  return sink;
}

bool EnvEnabled() {
  static const bool enabled = [] {
    const char* v = std::getenv("VEXAUPLOAD_DEBUG");
    return v != nullptr && std::strcmp(v, "1") == 0;
  }();
  return enabled;
}

}  // namespace

void DebugOut(std::string_view text) {
  {
    std::lock_guard<std::mutex> l(SinkMutex());
    if (Sink()) {
      Sink()(text);
      return;
    }
  }
  SystemDebugOut(text);
  if (EnvEnabled()) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }
}

void SetDebugSink(DebugSink sink) {
  std::lock_guard<std::mutex> l(SinkMutex());
  Sink() = std::move(sink);
}

}  // namespace vexa::port
