#include <unistd.h>

#include <cstdlib>

#include "port/file.h"
#include "port/program_paths.h"

namespace vexa::port {

namespace {

std::string WithSeparator(std::string dir) {
  if (!dir.empty() && dir.back() != kPathSeparator) dir.push_back(kPathSeparator);
  return dir;
}

}  // namespace

std::string ExecutablePath() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

std::string UserConfigFolder() {
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x != nullptr && *x == '/')
    return WithSeparator(x);
  if (const char* h = std::getenv("HOME"); h != nullptr && *h != '\0') {
    return WithSeparator(std::string(h) + "/.config");
  }
  return std::string();
}

std::string SystemConfigFolder() {
  if (const char* x = std::getenv("XDG_CONFIG_DIRS"); x != nullptr && *x == '/') {
    const std::string dirs = x;
    return WithSeparator(dirs.substr(0, dirs.find(':')));
  }
  return "/etc/xdg/";
}

}  // namespace vexa::port
