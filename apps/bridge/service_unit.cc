#include "apps/bridge/service_unit.h"

#include "port/file.h"
#include "port/last_error.h"
#include "port/program_paths.h"

namespace vexa::bridge {

namespace {

// One word of ExecStart: quoted, with the characters systemd treats
// specially escaped ("%" is a specifier, "$" a variable).
std::string QuoteWord(const std::string& word) {
  std::string out = "\"";
  for (char c : word) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    if (c == '$') out += '$';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string RenderServiceUnit(const std::vector<std::string>& command) {
  std::string exec;
  for (const std::string& word : command) exec += (exec.empty() ? "" : " ") + QuoteWord(word);
  return "[Unit]\n"
         "Description=vexaupload bridge: the upload control for web pages\n"
         "\n"
         "[Service]\n"
         "ExecStart=" +
         exec +
         "\n"
         "Restart=on-failure\n"
         "\n"
         "[Install]\n"
         "WantedBy=default.target\n";
}

std::string RenderSocketUnit(const std::string& listen) {
  return "[Unit]\n"
         "Description=vexaupload bridge's port, held while the bridge is not running\n"
         "\n"
         "[Socket]\n"
         "ListenStream=" +
         listen +
         "\n"
         "\n"
         "[Install]\n"
         "WantedBy=sockets.target\n";
}

bool InstallServiceUnit(const std::string& name, const std::string& text, std::string* path,
                        std::string* error) {
  const std::string config = port::UserConfigFolder();
  if (config.empty()) {
    *error = "no configuration folder (set HOME or XDG_CONFIG_HOME)";
    return false;
  }
  const std::string folder =
      config + "systemd" + port::kPathSeparator + "user" + port::kPathSeparator;
  *path = folder + name;
  if (!port::CreateDirectories(folder, 0755) || !port::WriteFileReplacing(*path, text, 0644)) {
    *error = "cannot write " + *path + " (error " + std::to_string(port::LastError()) + ")";
    return false;
  }
  return true;
}

}  // namespace vexa::bridge
