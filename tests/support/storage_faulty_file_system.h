#pragma once
// A FileSystem over the real one that fails on demand: an open refused or a
// lock held by the importer, a short write, a full disk, a failed read, cut
// or flush, a failure at the Nth write of a file. Faults are matched by exact
// path; a full disk fails every write. Records the size of every write it is
// asked for and counts the flushes, per path.

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "storage/file_system.h"

namespace vr::test {

class FaultyFileSystem final : public FileSystem {
 public:
  enum class Op { kOpen, kLockedOpen, kRead, kWrite, kTruncate, kSync };

  explicit FaultyFileSystem(FileSystem& real) : real_(real) {}

  // Another process holds path: opens for writing fail kBusy, a create-only
  // open still works (as with the importer's lock or share mode).
  void HoldLock(const std::string& path) { Add({Op::kLockedOpen, path, 0, -1, FileStatus::kBusy}); }
  void ReleaseLock(const std::string& path) { Remove(Op::kLockedOpen, path); }

  // Every open of path fails with status.
  void RefuseOpen(const std::string& path, FileStatus status = FileStatus::kIoError) {
    Add({Op::kOpen, path, 0, -1, status});
  }
  void AllowOpen(const std::string& path) { Remove(Op::kOpen, path); }

  // The nth write to path from now on (1 = the next) takes only keptBytes and
  // then fails with status; so do the times - 1 writes after it (-1: all).
  void FailWrite(const std::string& path, int nth = 1, std::size_t keptBytes = 0,
                 FileStatus status = FileStatus::kIoError, int times = 1) {
    Add({Op::kWrite, path, nth - 1, times, status, keptBytes});
  }
  void FailRead(const std::string& path, int nth = 1, int times = 1) {
    Add({Op::kRead, path, nth - 1, times, FileStatus::kIoError});
  }
  void FailTruncate(const std::string& path, int nth = 1, int times = 1) {
    Add({Op::kTruncate, path, nth - 1, times, FileStatus::kIoError});
  }
  void FailSync(const std::string& path, int nth = 1, int times = 1) {
    Add({Op::kSync, path, nth - 1, times, FileStatus::kIoError});
  }

  // While full, every write of every file takes at most keptBytes and then
  // fails with kNoSpace, as on a disk that has just run out.
  void FillDisk(std::size_t keptBytes = 0) { diskFullKeptBytes_ = keptBytes; }
  void FreeDisk() { diskFullKeptBytes_.reset(); }

  // The free space that FreeSpace reports; nullopt: it fails.
  void SetFreeBytes(std::optional<std::uint64_t> freeBytes) {
    fakeFreeSpace_ = true;
    freeBytes_ = freeBytes;
  }

  // Drops every fault; files behave normally again.
  void Heal() {
    faults_.clear();
    diskFullKeptBytes_.reset();
  }

  // The size of every write requested on path, in order.
  std::vector<std::size_t> WriteSizes(const std::string& path) const {
    const auto found = writeSizes_.find(path);
    return found == writeSizes_.end() ? std::vector<std::size_t>{} : found->second;
  }
  int OpenCount(const std::string& path) const {
    const auto found = openCounts_.find(path);
    return found == openCounts_.end() ? 0 : found->second;
  }
  // Flushes asked for on path, whether they worked or not.
  int SyncCount(const std::string& path) const {
    const auto found = syncCounts_.find(path);
    return found == syncCounts_.end() ? 0 : found->second;
  }

  FileStatus Open(const std::string& path, OpenMode mode, std::unique_ptr<File>& file) override {
    ++openCounts_[path];
    if (const Fault* fault = Trip(Op::kOpen, path)) return fault->status;
    if (mode != OpenMode::kCreate)
      if (const Fault* fault = Trip(Op::kLockedOpen, path)) return fault->status;
    std::unique_ptr<File> real;
    const FileStatus status = real_.Open(path, mode, real);
    if (status == FileStatus::kOk)
      file = std::make_unique<FaultyFile>(*this, path, std::move(real));
    return status;
  }
  bool LookUp(const std::string& path, std::uint64_t& sizeBytes) override {
    return real_.LookUp(path, sizeBytes);
  }
  FileStatus Remove(const std::string& path) override { return real_.Remove(path); }
  FileStatus FreeSpace(const std::string& root, std::uint64_t& freeBytes) override {
    if (!fakeFreeSpace_) return real_.FreeSpace(root, freeBytes);
    if (!freeBytes_) return FileStatus::kIoError;
    freeBytes = *freeBytes_;
    return FileStatus::kOk;
  }

 private:
  struct Fault {
    Op op;
    std::string path;
    int skip;   // matching calls that still pass before the fault trips
    int times;  // failures left; -1 for ever
    FileStatus status;
    std::size_t keptBytes = 0;
  };

  class FaultyFile final : public File {
   public:
    FaultyFile(FaultyFileSystem& owner, std::string path, std::unique_ptr<File> real)
        : owner_(owner), path_(std::move(path)), real_(std::move(real)) {}

    FileStatus Size(std::uint64_t& sizeBytes) override { return real_->Size(sizeBytes); }
    FileStatus Seek(std::uint64_t offsetBytes) override { return real_->Seek(offsetBytes); }
    FileStatus Read(std::span<std::uint8_t> buffer, std::size_t& readBytes) override {
      readBytes = 0;
      if (const Fault* fault = owner_.Trip(Op::kRead, path_)) return fault->status;
      return real_->Read(buffer, readBytes);
    }
    FileStatus Write(std::span<const std::uint8_t> bytes, std::size_t& writtenBytes) override {
      owner_.writeSizes_[path_].push_back(bytes.size());
      writtenBytes = 0;
      std::optional<std::pair<std::size_t, FileStatus>> failure;
      if (const Fault* fault = owner_.Trip(Op::kWrite, path_))
        failure = {fault->keptBytes, fault->status};
      else if (owner_.diskFullKeptBytes_)
        failure = {*owner_.diskFullKeptBytes_, FileStatus::kNoSpace};
      if (!failure) return real_->Write(bytes, writtenBytes);
      const std::size_t kept = std::min(failure->first, bytes.size());
      if (kept > 0) {
        const FileStatus status = real_->Write(bytes.first(kept), writtenBytes);
        if (status != FileStatus::kOk) return status;
      }
      return failure->second;
    }
    FileStatus Truncate(std::uint64_t lengthBytes) override {
      if (const Fault* fault = owner_.Trip(Op::kTruncate, path_)) return fault->status;
      return real_->Truncate(lengthBytes);
    }
    FileStatus Sync() override {
      ++owner_.syncCounts_[path_];
      if (const Fault* fault = owner_.Trip(Op::kSync, path_)) return fault->status;
      return real_->Sync();
    }

   private:
    FaultyFileSystem& owner_;
    std::string path_;
    std::unique_ptr<File> real_;
  };

  void Add(Fault fault) { faults_.push_back(std::move(fault)); }
  void Remove(Op op, const std::string& path) {
    std::erase_if(faults_, [&](const Fault& f) { return f.op == op && f.path == path; });
  }

  // The fault that this call trips, or nullptr when it passes.
  const Fault* Trip(Op op, const std::string& path) {
    // Every matching fault counts the call, so nth means the same for each.
    Fault* tripped = nullptr;
    for (Fault& fault : faults_) {
      if (fault.op != op || fault.path != path || fault.times == 0) continue;
      if (fault.skip > 0) {
        --fault.skip;
      } else if (tripped == nullptr) {
        if (fault.times > 0) --fault.times;
        tripped = &fault;
      }
    }
    return tripped;
  }

  FileSystem& real_;
  std::vector<Fault> faults_;
  std::map<std::string, std::vector<std::size_t>> writeSizes_;
  std::map<std::string, int> openCounts_;
  std::map<std::string, int> syncCounts_;
  std::optional<std::size_t> diskFullKeptBytes_;
  bool fakeFreeSpace_ = false;
  std::optional<std::uint64_t> freeBytes_;
};

}  // namespace vr::test
