#include "port/scripted_chooser.h"

#include <cstdlib>

#include "port/process.h"

namespace vexa::port {

const char* ScriptedChooser() {
  const char* program = std::getenv("VEXAUPLOAD_CHOOSER");
  return program != nullptr && *program != '\0' ? program : nullptr;
}

std::vector<std::string> SplitChooserOutput(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

bool RunScriptedChooser(const char* program, const char* kind, const std::string& title,
                        std::vector<std::string>* strings) {
  std::string output;
  if (RunProgram({program, kind, title}, &output) != 0) return false;
  const char separator = output.find('\0') != std::string::npos ? '\0' : '\n';
  *strings = SplitChooserOutput(output, separator);
#if defined(_WIN32)
  // Programs print their lines there with CR LF.
  if (separator == '\n') {
    for (std::string& s : *strings) {
      if (!s.empty() && s.back() == '\r') s.pop_back();
    }
  }
#endif
  while (!strings->empty() && strings->back().empty()) strings->pop_back();
  return !strings->empty();
}

}  // namespace vexa::port
