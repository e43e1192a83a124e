#ifndef VEXA_ACCOUNT_INI_FILE_H_
#define VEXA_ACCOUNT_INI_FILE_H_

#include <map>
#include <string>
#include <vector>

#include "port/mutex.h"

namespace vexa {

// A small INI key/value store backed by one file.
//
// Format: "[name]" starts a section (the name is taken untrimmed from between
// the brackets of the trimmed line); a trimmed line holding "=" is an entry,
// key before the first "=", value after it; every other line is ignored.
// Lines before the first header belong to the section with the empty name,
// which is kept in memory but never written back. Sections are written in the
// order in which they were first met (a name met twice is written once, with
// the entries of both), their keys in byte order, every line ending in CR LF;
// LF and CR LF are both accepted on reading.
//
// Thread-safe: every operation holds the store's lock. Callers that need a
// sequence of operations to be atomic (clear, set, save) hold mutex() around it.
class IniFile {
 public:
  IniFile() = default;
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;

  // Replaces the content by the file's (a non-empty `path` replaces the stored
  // path first). False when the file cannot be opened; an empty file leaves
  // the content as it was and counts as success.
  bool Load(const std::string& path = std::string());

  // Writes every section to the stored path (a non-empty `path` replaces it
  // first). The file is replaced atomically: a crash leaves the old or the new
  // file, never a torn one. New files are readable by the owner only.
  // False when no path is set or the file cannot be written.
  bool Save(const std::string& path = std::string());

  // True with the value when section and key both exist; `value` is untouched
  // otherwise.
  bool Get(const std::string& section, const std::string& key, std::string* value) const;

  // Creates the section when missing (at the end of the order) and sets the
  // entry. Refuses (false, nothing changed) what the format cannot carry: a
  // line break anywhere, a "=" in a key, white space at the end of a value
  // (reading trims the line).
  bool Set(const std::string& section, const std::string& key, const std::string& value);

  bool HasSection(const std::string& section) const;
  // Copies a section's entries; false when there is no such section.
  bool GetSection(const std::string& section, std::map<std::string, std::string>* entries) const;
  // Removes the section and its place in the order, in logarithmic time, so a
  // store of many sections can drop them one by one.
  void RemoveSection(const std::string& section);
  std::vector<std::string> SectionNames() const;
  // Empties sections and order; the path stays.
  void Clear();

  void SetPath(const std::string& path);
  std::string path() const;

  // Replaces the content by what `text` holds, in the file format.
  void Parse(const std::string& text);

  // The text Save would write, for tests and diagnostics.
  std::string Serialize() const;

  // The store's lock (re-entrant).
  port::RecursiveMutex* mutex() const RETURN_CAPABILITY(mu_) { return &mu_; }

  // Whether `text` can be stored as a section name, and as a value.
  static bool IsStorable(const std::string& text);
  static bool IsStorableValue(const std::string& text);

 private:
  using Entries = std::map<std::string, std::string>;
  struct Section {
    Entries entries;
    size_t place = kNoPlace;  // index in order_
  };
  using SectionMap = std::map<std::string, Section>;
  static constexpr size_t kNoPlace = static_cast<size_t>(-1);

  void ParseLocked(const std::string& text) REQUIRES(mu_);
  // Gives the section the next place in the order, unless it has one.
  void PlaceLocked(SectionMap::iterator it) REQUIRES(mu_);
  // Drops the holes removed sections left in order_ once they are the
  // majority, so removal stays amortised constant beside the map's erase.
  void CompactLocked() REQUIRES(mu_);

  mutable port::RecursiveMutex mu_;
  // Serialises whole saves so an older snapshot never lands after a newer one.
  // Taken while mu_ is held, then held alone for the disk write.
  port::Mutex save_mu_ ACQUIRED_AFTER(mu_);
  std::string path_ GUARDED_BY(mu_);
  SectionMap sections_ GUARDED_BY(mu_);
  // Sections in the order first met; a removed one leaves a hole (end()).
  std::vector<SectionMap::iterator> order_ GUARDED_BY(mu_);
  size_t holes_ GUARDED_BY(mu_) = 0;
};

}  // namespace vexa

#endif  // VEXA_ACCOUNT_INI_FILE_H_
