#include <cstdlib>

#include "port/file.h"
#include "port/file_chooser.h"
#include "port/process.h"
#include "port/scripted_chooser.h"

namespace vexa::port {
namespace {

// Between zenity's paths; a character no one puts in a file name.
constexpr char kZenitySeparator[] = "\x1e";

bool HasDesktop() {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (wayland && *wayland);
}

bool RunZenity(std::vector<std::string> args, std::vector<std::string>* paths) {
  std::string output;
  args.insert(args.begin(), "zenity");
  if (RunProgram(args, &output) != 0) return false;
  if (!output.empty() && output.back() == '\n') output.pop_back();
  *paths = SplitChooserOutput(output, kZenitySeparator[0]);
  return !paths->empty() && !paths->front().empty();
}

}  // namespace

bool ShowOpenFilesDialog(uintptr_t /*owner*/, const std::string& title,
                         std::vector<std::string>* strings) {
  strings->clear();
  if (const char* program = ScriptedChooser()) {
    return RunScriptedChooser(program, "files", title, strings);
  }
  if (!HasDesktop()) return false;
  std::vector<std::string> paths;
  if (!RunZenity({"--file-selection", "--multiple", std::string("--separator=") + kZenitySeparator,
                  "--title=" + title},
                 &paths)) {
    return false;
  }
  if (paths.size() == 1) {
    *strings = paths;
    return true;
  }
  // Answer as the dialog does: the directory, then the names in it.
  const std::string& first = paths.front();
  const size_t cut = first.rfind(kPathSeparator);
  const std::string dir = cut == 0 ? std::string(1, kPathSeparator) : first.substr(0, cut);
  strings->push_back(dir);
  for (const std::string& p : paths) strings->push_back(p.substr(p.rfind(kPathSeparator) + 1));
  return true;
}

bool ShowFolderDialog(uintptr_t /*owner*/, const std::string& title, std::string* path) {
  std::vector<std::string> strings;
  if (const char* program = ScriptedChooser()) {
    if (!RunScriptedChooser(program, "folder", title, &strings)) return false;
  } else if (!HasDesktop() ||
             !RunZenity({"--file-selection", "--directory", "--title=" + title}, &strings)) {
    return false;
  }
  *path = strings.front();
  return !path->empty();
}

}  // namespace vexa::port
