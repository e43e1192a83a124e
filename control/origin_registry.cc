#include "control/origin_registry.h"

#include <algorithm>

#include "codec/text.h"
#include "control/script_origin.h"

namespace vexa {

std::string OriginsKey(bool per_user) {
  return std::string(per_user ? "HKCU" : "HKLM") + "\\Software\\vexaupload\\control\\Origins";
}

OriginCommandResult ParseOriginCommand(std::string_view command_line, OriginCommand* command,
                                       std::string* error) {
  static constexpr std::string_view kOriginWord = "origin=";
  *command = OriginCommand();
  bool force = false, named = false;
  std::vector<std::string_view> words;
  for (size_t start = 0; start < command_line.size();) {
    const size_t end = std::min(command_line.find(' ', start), command_line.size());
    if (end > start) words.push_back(command_line.substr(start, end - start));
    start = end + 1;
  }
  for (std::string_view word : words) {
    if (ToLower(word.substr(0, kOriginWord.size())) == kOriginWord) named = true;
  }
  if (!named) return OriginCommandResult::kNotOrigins;
  std::vector<std::string> given;
  for (std::string_view word : words) {
    const std::string lower = ToLower(word);
    if (lower == "user") {
      command->per_user = true;
    } else if (lower == "force") {
      force = true;
    } else if (lower.rfind(kOriginWord, 0) == 0) {
      const std::string origin = NormalizeOrigin(word.substr(kOriginWord.size()));
      if (origin.empty()) {
        *error =
            "'" + std::string(word.substr(kOriginWord.size())) + "' is not an http or https origin";
        return OriginCommandResult::kInvalid;
      }
      given.push_back(origin);
    } else {
      *error = "unknown word '" + std::string(word) + "'";
      return OriginCommandResult::kInvalid;
    }
  }
  for (const std::string& origin : given) {
    if (!force && !IsTrustworthyOrigin(origin)) {
      *error =
          origin +
          " is plain http on another host: register https:// or a loopback origin, or add force";
      return OriginCommandResult::kInvalid;
    }
    if (std::find(command->origins.begin(), command->origins.end(), origin) ==
        command->origins.end()) {
      command->origins.push_back(origin);
    }
  }
  return OriginCommandResult::kOk;
}

bool ApplyOriginCommand(const OriginCommand& command, bool add, RegistryEditor* editor) {
  const std::string key = OriginsKey(command.per_user);
  if (add && !editor->CreateKey(key)) return false;
  for (const std::string& origin : command.origins) {
    if (!(add ? editor->SetString(key, origin, origin) : editor->DeleteValue(key, origin)))
      return false;
  }
  return true;
}

}  // namespace vexa
