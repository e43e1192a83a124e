#ifndef VEXA_CONTROL_TESTING_FAKE_REGISTRY_H_
#define VEXA_CONTROL_TESTING_FAKE_REGISTRY_H_

// Test support: a RegistryEditor over a registry in memory.

#include <iterator>
#include <map>
#include <string>

#include "control/registry_script.h"

namespace vexa {

// A registry in memory: key path -> (value name -> text), "" the default value.
class FakeRegistry : public RegistryEditor {
 public:
  bool CreateKey(const std::string& path) override {
    if (--calls_left_ < 0) return false;
    for (size_t pos = path.find('\\'); pos != std::string::npos; pos = path.find('\\', pos + 1)) {
      keys[path.substr(0, pos)];
    }
    keys[path];
    return true;
  }
  bool SetString(const std::string& path, const std::string& name,
                 const std::string& value) override {
    if (--calls_left_ < 0 || !keys.count(path)) return false;
    keys[path][name] = value;
    return true;
  }
  bool DeleteValue(const std::string& path, const std::string& name) override {
    if (keys.count(path)) keys[path].erase(name);
    return true;
  }
  bool DeleteTree(const std::string& path) override {
    for (auto it = keys.begin(); it != keys.end();) {
      it = (it->first == path || it->first.rfind(path + "\\", 0) == 0) ? keys.erase(it)
                                                                       : std::next(it);
    }
    return true;
  }
  bool DeleteKeyIfLeaf(const std::string& path) override {
    auto next = keys.upper_bound(path);
    if (next == keys.end() || next->first.rfind(path + "\\", 0) != 0) keys.erase(path);
    return true;
  }
  const std::string* Value(const std::string& path, const std::string& name = "") const {
    auto k = keys.find(path);
    if (k == keys.end()) return nullptr;
    auto v = k->second.find(name);
    return v == k->second.end() ? nullptr : &v->second;
  }
  void FailAfter(int calls) { calls_left_ = calls; }

  std::map<std::string, std::map<std::string, std::string>> keys;

 private:
  int calls_left_ = 1 << 30;
};

}  // namespace vexa

#endif  // VEXA_CONTROL_TESTING_FAKE_REGISTRY_H_
