#pragma once
// Profile (INI) files with the Windows behaviour that the configuration relies
// on: section and key names compared without regard to case, the first match
// wins, blanks around names and values trimmed, a value in matching quotes
// loses them, lines starting with ';' are comments, integers read as an
// optional sign and leading decimal digits. Writing a key replaces its line in
// place, or adds it at the end of its section, or adds the section at the end
// of the file; every other byte of the file stays as it was.
//
// The file is read again at every call, so an edit made by another program
// takes effect at the next read.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vr {

class Profile {
 public:
  explicit Profile(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }

  // The value of key in section, or def when the file, the section or the key
  // is missing. At most maxChars characters are returned (the rest is cut),
  // as with a buffer of maxChars + 1 bytes.
  std::string ReadString(std::string_view section, std::string_view key, std::string_view def,
                         std::size_t maxChars = 258) const;

  // The value of key read as an integer: optional blanks, an optional sign and
  // the leading decimal digits (none gives 0); def when the key is missing.
  std::int32_t ReadInt(std::string_view section, std::string_view key, std::int32_t def) const;

  // The names of all sections in file order (empty when the file is missing
  // or has no section).
  std::vector<std::string> SectionNames() const;

  // Sets key in section to value, creating the file, the section or the key as
  // needed. False when the file could not be written (it is then unchanged).
  bool WriteString(std::string_view section, std::string_view key, std::string_view value);

 private:
  std::string path_;
};

// The profile rules over text already in memory (used by Profile; exposed for
// tests and tools).
namespace profile_text {
bool FindValue(std::string_view text, std::string_view section, std::string_view key,
               std::string* value);
std::vector<std::string> SectionNames(std::string_view text);
std::string WithValue(std::string_view text, std::string_view section, std::string_view key,
                      std::string_view value);
std::int32_t ParseInt(std::string_view value);
}  // namespace profile_text

}  // namespace vr
