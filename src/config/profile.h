#pragma once
// Profile (INI) files with the Windows behaviour that the configuration relies
// on: section and key names compared without regard to case, the first match
// wins, blanks around names and values trimmed, a value in matching quotes
// loses them, lines starting with ';' are comments, integers read as an
// optional sign and leading decimal digits. Writing a key replaces its line in
// place, or adds it at the end of its section, or adds the section at the end
// of the file; every other byte of the file stays as it was.
//
// A Profile reads the file again at every call, so an edit made by another
// program takes effect at the next read. A reader that reads many keys takes
// a Snapshot first: the file is read and indexed once, and every key is then
// found without reading or scanning it again, so reading a whole
// configuration costs time linear in the file's size.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vr {

namespace profile_text {
class Index;
}

class Profile {
 public:
  explicit Profile(std::string path);
  ~Profile();
  Profile(const Profile&);
  Profile& operator=(const Profile&);

  const std::string& Path() const { return path_; }

  // A Profile of the same file whose reads all see the file as it is now
  // (a missing or unreadable file reads as empty). Cheap on a snapshot: the
  // copy shares its index. Its writes go to the file and are then seen by
  // its own reads.
  Profile Snapshot() const;
  bool IsSnapshot() const { return frozen_ != nullptr; }
  // The text a snapshot reads (empty on a Profile that is not one).
  const std::string& SnapshotText() const;

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
  std::shared_ptr<const profile_text::Index> frozen_;  // set on a snapshot
};

// The profile rules over text already in memory (used by Profile; exposed for
// tests and tools).
namespace profile_text {

// The text's sections and keys, indexed once; lookups cost no scan.
class Index {
 public:
  explicit Index(std::string text);
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  // The first key of that name in the first section of that name, trimmed
  // and with its quotes removed; false when there is none.
  bool FindValue(std::string_view section, std::string_view key, std::string* value) const;
  const std::vector<std::string>& SectionNames() const { return sectionNames_; }
  const std::string& Text() const { return text_; }

 private:
  using Keys = std::unordered_map<std::string, std::string_view>;  // lower-case name: value

  const std::string text_;
  std::vector<std::string> sectionNames_;
  // The first section of each lower-case name, with the first key of each name.
  std::unordered_map<std::string, Keys> sections_;
};

// One section header or key line of a text, as the reader sees it, with its
// line number (1 for the first line).
struct Entry {
  enum class Kind { kSection, kKey };
  Kind kind;
  std::size_t lineNumber;
  std::string_view name;   // trimmed
  std::string_view value;  // trimmed, quotes kept (keys only)
};
std::vector<Entry> Entries(std::string_view text);

bool FindValue(std::string_view text, std::string_view section, std::string_view key,
               std::string* value);
std::vector<std::string> SectionNames(std::string_view text);
std::string WithValue(std::string_view text, std::string_view section, std::string_view key,
                      std::string_view value);
std::int32_t ParseInt(std::string_view value);
}  // namespace profile_text

}  // namespace vr
