#ifndef VEXA_SERVER_NAMES_H_
#define VEXA_SERVER_NAMES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace vexa::server {

// Longest file or folder name, in UTF-16 units as desktop file systems count.
inline constexpr size_t kMaxNameUnits = 255;
// Deepest remote path a dispatch may create.
inline constexpr size_t kMaxPathDepth = 64;

// Unsigned decimal of at most 19 digits, nothing else.
bool ParseDecimal(const std::string& text, uint64_t* value);
// A positive row id in decimal.
bool ParseId(const std::string& text, int64_t* id);

bool IsHex40(const std::string& text);
// What the service hands out as pick codes: 1 to 32 of [a-z0-9].
bool IsPickCode(const std::string& text);
std::string Upper(std::string text);

// Well-formed UTF-8 without overlong forms or surrogates.
bool IsUtf8(const std::string& text);

// A file or folder name: valid UTF-8 of 1 to kMaxNameUnits UTF-16 units, not
// "." or "..", without separators, C0 or C1 controls or format characters
// (such as U+202E), which make a name display as something else.
bool IsValidName(const std::string& name);

// "a/b/c" into its names ("" is the empty list); false when one of them is
// not a valid name or the path is deeper than kMaxPathDepth.
bool SplitRemotePath(const std::string& path, std::vector<std::string>* names);

// The `n`th name tried for a file whose name is taken: "report (2).pdf" for
// n = 2. A leading dot does not start an extension (".profile (2)").
std::string NumberedName(const std::string& name, int n);

}  // namespace vexa::server

#endif  // VEXA_SERVER_NAMES_H_
