#include "control/registry_script.h"

#include <cctype>
#include <string_view>

namespace vexa {
namespace {

class Parser {
 public:
  Parser(const std::string& text, const std::map<std::string, std::string>& replacements)
      : text_(text), replacements_(replacements) {}

  bool ParseRoots(std::vector<RegistryKey>* roots) {
    for (;;) {
      std::string name;
      if (!Next(&name)) return error_.empty();
      RegistryKey root;
      root.name = name;
      if (!Expect("{") || !ParseEntries(&root)) return false;
      roots->push_back(std::move(root));
    }
  }

  const std::string& error() const { return error_; }

 private:
  // Entries up to and including the closing brace.
  bool ParseEntries(RegistryKey* parent) {
    for (;;) {
      std::string word;
      if (!Next(&word)) return Fail("missing '}'");
      if (word == "}" && !quoted_) return true;
      if (word == "val" && !quoted_) {
        std::string name, value;
        if (!Next(&name) || !Expect("=") || !Expect("s") || !Next(&value))
          return Fail("bad value entry");
        parent->values.emplace_back(name, value);
        continue;
      }
      RegistryKey key;
      if (!quoted_ && (word == "NoRemove" || word == "ForceRemove" || word == "Delete")) {
        key.mode = word == "NoRemove"      ? RegistryKey::Mode::kNoRemove
                   : word == "ForceRemove" ? RegistryKey::Mode::kForceRemove
                                           : RegistryKey::Mode::kDelete;
        if (!Next(&word)) return Fail("missing key name");
      }
      key.name = word;
      if (Peek() == '=') {
        Expect("=");
        if (!Expect("s") || !Next(&key.default_value))
          return Fail("bad default value of " + key.name);
        key.has_default = true;
      }
      if (Peek() == '{') {
        Expect("{");
        if (!ParseEntries(&key)) return false;
      }
      parent->children.push_back(std::move(key));
    }
  }

  void SkipSpace() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }

  char Peek() {
    SkipSpace();
    return pos_ < text_.size() ? text_[pos_] : '\0';
  }

  bool Expect(const char* word) {
    std::string got;
    if (!Next(&got) || quoted_ || got != word) return Fail(std::string("expected '") + word + "'");
    return true;
  }

  // The next token with replacements applied: a brace, "=", a quoted string
  // or a bare word. False at the end of the text (error() stays empty) or on
  // a fault.
  bool Next(std::string* out) {
    SkipSpace();
    quoted_ = false;
    out->clear();
    if (pos_ >= text_.size()) return false;
    const char c = text_[pos_];
    std::string raw;
    if (c == '{' && IsGuidStart()) {
      const size_t end = text_.find('}', pos_);
      if (end == std::string::npos) return Fail("unterminated GUID");
      raw = text_.substr(pos_, end + 1 - pos_);
      pos_ = end + 1;
    } else if (c == '{' || c == '}' || c == '=') {
      ++pos_;
      out->push_back(c);
      return true;
    } else if (c == '\'') {
      quoted_ = true;
      for (++pos_;; ++pos_) {
        if (pos_ >= text_.size()) return Fail("unterminated string");
        if (text_[pos_] != '\'') {
          raw.push_back(text_[pos_]);
        } else if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '\'') {
          raw.push_back('\'');
          ++pos_;
        } else {
          ++pos_;
          break;
        }
      }
    } else {
      while (pos_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[pos_])) &&
             std::string_view("='{}").find(text_[pos_]) == std::string_view::npos) {
        raw.push_back(text_[pos_++]);
      }
    }
    return Replace(raw, out);
  }

  // A "{" starts a GUID name, not a block, when a hex digit follows it.
  bool IsGuidStart() const {
    return pos_ + 1 < text_.size() && std::isxdigit(static_cast<unsigned char>(text_[pos_ + 1]));
  }

  bool Replace(const std::string& raw, std::string* out) {
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '%') {
        out->push_back(raw[i]);
        continue;
      }
      const size_t end = raw.find('%', i + 1);
      if (end == std::string::npos) return Fail("unterminated replacement in " + raw);
      const std::string name = raw.substr(i + 1, end - i - 1);
      if (name.empty()) {
        out->push_back('%');
      } else {
        auto it = replacements_.find(name);
        if (it == replacements_.end()) return Fail("unknown replacement %" + name + "%");
        out->append(it->second);
      }
      i = end;
    }
    return true;
  }

  bool Fail(const std::string& message) {
    if (error_.empty()) error_ = message + " (at offset " + std::to_string(pos_) + ")";
    return false;
  }

  const std::string& text_;
  const std::map<std::string, std::string>& replacements_;
  size_t pos_ = 0;
  bool quoted_ = false;
  std::string error_;
};

bool Register(const RegistryKey& key, const std::string& path, RegistryEditor* editor) {
  if (key.mode == RegistryKey::Mode::kDelete) return editor->DeleteTree(path);
  // A ForceRemove key is made anew, so nothing of an older registration stays below it.
  if (key.mode == RegistryKey::Mode::kForceRemove && !editor->DeleteTree(path)) return false;
  if (!editor->CreateKey(path)) return false;
  if (key.has_default && !editor->SetString(path, "", key.default_value)) return false;
  for (const auto& [name, value] : key.values) {
    if (!editor->SetString(path, name, value)) return false;
  }
  for (const RegistryKey& child : key.children) {
    if (!Register(child, path + "\\" + child.name, editor)) return false;
  }
  return true;
}

bool Unregister(const RegistryKey& key, const std::string& path, RegistryEditor* editor) {
  if (key.mode == RegistryKey::Mode::kForceRemove || key.mode == RegistryKey::Mode::kDelete) {
    return editor->DeleteTree(path);
  }
  bool ok = true;
  for (const RegistryKey& child : key.children)
    ok = Unregister(child, path + "\\" + child.name, editor) && ok;
  if (key.mode == RegistryKey::Mode::kNoRemove) {
    for (const auto& value : key.values) ok = editor->DeleteValue(path, value.first) && ok;
    return ok;
  }
  return editor->DeleteKeyIfLeaf(path) && ok;
}

}  // namespace

bool ParseRegistryScript(const std::string& text,
                         const std::map<std::string, std::string>& replacements,
                         std::vector<RegistryKey>* roots, std::string* error) {
  Parser parser(text, replacements);
  if (parser.ParseRoots(roots)) return true;
  *error = parser.error();
  return false;
}

bool ApplyRegistryScript(const std::vector<RegistryKey>& roots, bool do_register, bool per_user,
                         RegistryEditor* editor) {
  bool ok = true;
  for (const RegistryKey& root : roots) {
    const std::string base =
        per_user && root.name == "HKCR" ? "HKCU\\Software\\Classes" : root.name;
    for (const RegistryKey& key : root.children) {
      const std::string path = base + "\\" + key.name;
      if (do_register) {
        if (!Register(key, path, editor)) return false;
      } else {
        ok = Unregister(key, path, editor) && ok;
      }
    }
  }
  return ok;
}

}  // namespace vexa
