#pragma once
// An in-memory FileSystem that dies at a chosen call, for crash tests. Every
// write, cut (truncate), flush (sync) and delete counts; at the Nth one the
// process "dies": that call does nothing (a write keeps the first half of its
// bytes, as a write cut short by a kill), it and every later call fail, and
// Restart() brings the files back as the crash left them:
//   kKill      every byte written before the crash is there (the operating
//              system outlives the process);
//   kPowerCut  each file is as at its last flush, unless the system had
//              written it back on its own before the cut (Restart's mask
//              chooses which files); a file never flushed nor written back
//              is gone, as its directory entry may be, and a deleted file
//              comes back as last flushed unless its deletion reached the
//              disk (the mask again).
// Opens for writing hold an exclusive lock per path, as flock and the
// Windows share modes do, so a second writer (or the importer, HoldLock)
// gets kBusy. A create-only open gives a handle that can only tell the size,
// and a write-only one cannot read, so a wrong mode shows.

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "storage/file_system.h"

namespace vr::test {

class CrashingFileSystem final : public FileSystem {
 public:
  enum class Crash { kKill, kPowerCut };

  // The nth counted call from now on (1 = the next) is the crash; 0: none.
  void CrashAt(int nth, Crash how = Crash::kKill) {
    crashAt_ = nth > 0 ? calls_ + nth : 0;
    how_ = how;
  }
  bool Crashed() const { return dead_; }
  // Counted calls so far (writes, cuts, flushes, deletes).
  int Calls() const { return calls_; }

  // The recorder starts again on what the crash left; every lock is gone.
  // After a power cut, bit i of writtenBack keeps the latest content of the
  // i-th file of Paths(), as if written back before the cut.
  void Restart(unsigned writtenBack = 0) {
    if (dead_ && how_ == Crash::kPowerCut) {
      unsigned bit = 1;
      for (auto it = files_.begin(); it != files_.end(); bit <<= 1) {
        if ((writtenBack & bit) != 0) it->second.durable = it->second.bytes;
        if (it->second.durable) {
          it->second.bytes = *it->second.durable;
          ++it;
        } else {
          it = files_.erase(it);
        }
      }
      for (const auto& [path, durable] : removed_) {
        const bool removalWrittenBack = (writtenBack & bit) != 0;
        bit <<= 1;
        if (!removalWrittenBack && durable && files_.count(path) == 0)
          files_[path] = Node{*durable, durable};
      }
    }
    removed_.clear();
    dead_ = false;
    tornNow_ = false;
    crashAt_ = 0;
    locked_.clear();
    failNext_.clear();
    ++generation_;
  }

  // The next write, cut or flush of path fails (without a crash); it counts.
  enum class Op { kWrite, kTruncate, kSync };
  void FailNext(Op op, const std::string& path) { failNext_.insert({op, path}); }

  // Another process (the importer) holds path.
  void HoldLock(const std::string& path) { heldByOthers_.insert(path); }
  void ReleaseLock(const std::string& path) { heldByOthers_.erase(path); }

  // A file as if written and flushed long ago.
  void Put(const std::string& path, const std::string& bytes) {
    removed_.erase(path);
    files_[path] = Node{bytes, bytes};
  }
  std::optional<std::string> Get(const std::string& path) const {
    const auto found = files_.find(path);
    if (found == files_.end()) return std::nullopt;
    return found->second.bytes;
  }
  // Content, or "" for a missing file.
  std::string Read(const std::string& path) const { return Get(path).value_or(""); }
  // How many choices a power cut has now: one per file, one per deletion.
  std::size_t PowerCutChoices() const { return files_.size() + removed_.size(); }
  std::vector<std::string> Paths() const {
    std::vector<std::string> paths;
    for (const auto& [path, node] : files_) paths.push_back(path);
    return paths;
  }

  FileStatus Open(const std::string& path, OpenMode mode, std::unique_ptr<File>& file) override {
    if (dead_) return FileStatus::kIoError;
    const bool writer = mode != OpenMode::kCreate;
    if (writer && (heldByOthers_.count(path) > 0 || locked_.count(path) > 0))
      return FileStatus::kBusy;
    files_.try_emplace(path);
    if (writer) locked_.insert(path);
    file = std::make_unique<MemFile>(*this, path, mode);
    return FileStatus::kOk;
  }
  bool LookUp(const std::string& path, std::uint64_t& sizeBytes) override {
    if (dead_) return false;
    const auto found = files_.find(path);
    if (found == files_.end()) return false;
    sizeBytes = found->second.bytes.size();
    return true;
  }
  FileStatus Remove(const std::string& path) override {
    if (!Count()) return FileStatus::kIoError;
    const auto found = files_.find(path);
    if (found == files_.end()) return FileStatus::kOk;
    removed_[path] = found->second.durable;
    files_.erase(found);
    return FileStatus::kOk;
  }
  FileStatus FreeSpace(const std::string&, std::uint64_t& freeBytes) override {
    freeBytes = std::uint64_t{1} << 40;
    return FileStatus::kOk;
  }

 private:
  struct Node {
    std::string bytes;
    std::optional<std::string> durable;
  };

  class MemFile final : public File {
   public:
    MemFile(CrashingFileSystem& owner, std::string path, OpenMode mode)
        : owner_(owner), path_(std::move(path)), mode_(mode), generation_(owner.generation_) {}
    ~MemFile() override {
      if (Alive() && mode_ != OpenMode::kCreate) owner_.locked_.erase(path_);
    }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;

    FileStatus Size(std::uint64_t& sizeBytes) override {
      if (!Alive()) return FileStatus::kIoError;
      sizeBytes = Bytes().size();
      return FileStatus::kOk;
    }
    FileStatus Seek(std::uint64_t offsetBytes) override {
      if (!Alive() || mode_ == OpenMode::kCreate) return FileStatus::kIoError;
      position_ = offsetBytes;
      return FileStatus::kOk;
    }
    FileStatus Read(std::span<std::uint8_t> buffer, std::size_t& readBytes) override {
      readBytes = 0;
      if (!Alive() || mode_ != OpenMode::kReadWrite) return FileStatus::kIoError;
      const std::string& bytes = Bytes();
      if (position_ < bytes.size()) {
        readBytes = std::min<std::size_t>(buffer.size(), bytes.size() - static_cast<std::size_t>(position_));
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(position_), readBytes,
                    buffer.begin());
        position_ += readBytes;
      }
      return FileStatus::kOk;
    }
    FileStatus Write(std::span<const std::uint8_t> bytes, std::size_t& writtenBytes) override {
      writtenBytes = 0;
      if (!Alive() || mode_ == OpenMode::kCreate) return FileStatus::kIoError;
      if (owner_.Refused(Op::kWrite, path_)) return FileStatus::kIoError;
      const bool survives = owner_.Count();
      // The write that the kill cuts short leaves its first half behind.
      const std::size_t keptBytes =
          survives ? bytes.size() : (owner_.TornNow() ? bytes.size() / 2 : 0);
      std::string& content = owner_.files_[path_].bytes;
      const auto at = static_cast<std::size_t>(position_);
      if (content.size() < at + keptBytes) content.resize(at + keptBytes, '\0');
      std::copy_n(bytes.begin(), keptBytes,
                  content.begin() + static_cast<std::ptrdiff_t>(position_));
      position_ += keptBytes;
      writtenBytes = keptBytes;
      return survives ? FileStatus::kOk : FileStatus::kIoError;
    }
    FileStatus Truncate(std::uint64_t lengthBytes) override {
      if (!Alive() || mode_ == OpenMode::kCreate || owner_.Refused(Op::kTruncate, path_) ||
          !owner_.Count())
        return FileStatus::kIoError;
      owner_.files_[path_].bytes.resize(static_cast<std::size_t>(lengthBytes), '\0');
      return FileStatus::kOk;
    }
    FileStatus Sync() override {
      if (!Alive() || mode_ == OpenMode::kCreate || owner_.Refused(Op::kSync, path_) ||
          !owner_.Count())
        return FileStatus::kIoError;
      Node& node = owner_.files_[path_];
      node.durable = node.bytes;
      return FileStatus::kOk;
    }

   private:
    bool Alive() const {
      return !owner_.dead_ && generation_ == owner_.generation_ && owner_.files_.count(path_) > 0;
    }
    const std::string& Bytes() const { return owner_.files_.at(path_).bytes; }

    CrashingFileSystem& owner_;
    std::string path_;
    OpenMode mode_;
    int generation_;
    std::uint64_t position_ = 0;
  };

  // Counts one call; false when it is the crash or comes after it.
  bool Count() {
    if (dead_) return false;
    ++calls_;
    if (crashAt_ != 0 && calls_ >= crashAt_) {
      dead_ = true;
      tornNow_ = true;
      return false;
    }
    return true;
  }
  // A one-time failure set by FailNext; counted like any call.
  bool Refused(Op op, const std::string& path) {
    if (failNext_.erase({op, path}) == 0) return false;
    Count();
    return true;
  }
  // True once, for the call that is the crash.
  bool TornNow() {
    const bool torn = tornNow_;
    tornNow_ = false;
    return torn && how_ == Crash::kKill;
  }

  std::map<std::string, Node> files_;
  std::map<std::string, std::optional<std::string>> removed_;  // as last flushed
  std::set<std::string> locked_;
  std::set<std::string> heldByOthers_;
  std::set<std::pair<Op, std::string>> failNext_;
  int calls_ = 0;
  int crashAt_ = 0;
  Crash how_ = Crash::kKill;
  bool dead_ = false;
  bool tornNow_ = false;
  int generation_ = 0;
};

}  // namespace vr::test
