#include "account/ini_file.h"

#include <cstdio>

#include "codec/text.h"
#include "port/env.h"

namespace vexa {

bool IniFile::IsStorable(const std::string& text) {
  return text.find_first_of("\r\n") == std::string::npos;
}

bool IniFile::IsStorableValue(const std::string& text) {
  return IsStorable(text) && (text.empty() || (text.back() != ' ' && text.back() != '\t'));
}

bool IniFile::Load(const std::string& path) {
  port::MutexLock l(&mu_);
  if (!path.empty()) path_ = path;
  std::string text;
  if (path_.empty() || !port::CurrentEnv()->ReadWholeFile(path_, &text)) return false;
  if (text.empty()) return true;
  ParseLocked(text);
  return true;
}

void IniFile::PlaceLocked(SectionMap::iterator it) {
  if (it->second.place != kNoPlace) return;
  it->second.place = order_.size();
  order_.push_back(it);
}

void IniFile::CompactLocked() {
  if (holes_ < 64 || holes_ * 2 < order_.size()) return;
  size_t kept = 0;
  for (SectionMap::iterator it : order_) {
    if (it == sections_.end()) continue;
    it->second.place = kept;
    order_[kept++] = it;
  }
  order_.resize(kept);
  holes_ = 0;
}

void IniFile::ParseLocked(const std::string& text) {
  sections_.clear();
  order_.clear();
  holes_ = 0;
  std::string current;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(std::string_view(text).substr(start, end - start));
    start = end + 1;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      current = line.substr(1, line.size() - 2);
      PlaceLocked(sections_.try_emplace(current).first);
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    sections_[current].entries[line.substr(0, eq)] = line.substr(eq + 1);
  }
}

void IniFile::Parse(const std::string& text) {
  port::MutexLock l(&mu_);
  ParseLocked(text);
}

std::string IniFile::Serialize() const {
  port::MutexLock l(&mu_);
  std::string text;
  for (SectionMap::iterator it : order_) {
    if (it == sections_.end()) continue;
    text += '[';
    text += it->first;
    text += "]\r\n";
    for (const auto& [key, value] : it->second.entries) {
      text += key;
      text += '=';
      text += value;
      text += "\r\n";
    }
  }
  return text;
}

bool IniFile::Save(const std::string& path) {
  mu_.Lock();
  if (!path.empty()) path_ = path;
  if (path_.empty()) {
    mu_.Unlock();
    return false;
  }
  const std::string target = path_;
  const std::string text = Serialize();
  // Taken before the content lock is let go, so saves reach the disk in the
  // order of their snapshots.
  save_mu_.Lock();
  mu_.Unlock();
  const bool ok = port::CurrentEnv()->WriteFileReplacing(target, text);
  save_mu_.Unlock();
  return ok;
}

bool IniFile::Get(const std::string& section, const std::string& key, std::string* value) const {
  port::MutexLock l(&mu_);
  auto s = sections_.find(section);
  if (s == sections_.end()) return false;
  auto k = s->second.entries.find(key);
  if (k == s->second.entries.end()) return false;
  *value = k->second;
  return true;
}

bool IniFile::Set(const std::string& section, const std::string& key, const std::string& value) {
  if (!IsStorable(section) || !IsStorable(key) || !IsStorableValue(value) ||
      key.find('=') != std::string::npos) {
    return false;
  }
  port::MutexLock l(&mu_);
  auto s = sections_.find(section);
  if (s == sections_.end()) {
    s = sections_.try_emplace(section).first;
    PlaceLocked(s);
  }
  s->second.entries[key] = value;
  return true;
}

bool IniFile::HasSection(const std::string& section) const {
  port::MutexLock l(&mu_);
  return sections_.find(section) != sections_.end();
}

bool IniFile::GetSection(const std::string& section,
                         std::map<std::string, std::string>* entries) const {
  port::MutexLock l(&mu_);
  auto it = sections_.find(section);
  if (it == sections_.end()) return false;
  *entries = it->second.entries;
  return true;
}

void IniFile::RemoveSection(const std::string& section) {
  port::MutexLock l(&mu_);
  auto it = sections_.find(section);
  if (it == sections_.end() || it->second.place == kNoPlace) return;
  order_[it->second.place] = sections_.end();
  ++holes_;
  sections_.erase(it);
  CompactLocked();
}

std::vector<std::string> IniFile::SectionNames() const {
  port::MutexLock l(&mu_);
  std::vector<std::string> names;
  names.reserve(order_.size() - holes_);
  for (SectionMap::iterator it : order_) {
    if (it != sections_.end()) names.push_back(it->first);
  }
  return names;
}

void IniFile::Clear() {
  port::MutexLock l(&mu_);
  sections_.clear();
  order_.clear();
  holes_ = 0;
}

void IniFile::SetPath(const std::string& path) {
  port::MutexLock l(&mu_);
  path_ = path;
}

std::string IniFile::path() const {
  port::MutexLock l(&mu_);
  return path_;
}

}  // namespace vexa
