#pragma once
// Every file operation that data storage performs goes through this seam, so
// a test can refuse an open, hold a lock, cut a write short or fill the disk.
// The operating system's files sit behind NativeFileSystem
// (file_system_posix.cpp / file_system_win32.cpp).
//
// Errors are sorted once, where the system reports them, into three kinds.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace vr {

enum class FileStatus : std::uint8_t {
  kOk = 0,
  kBusy,     // someone else holds the file (lock, sharing, permission): try again later
  kIoError,  // anything else: missing directory, medium gone, device error
  kNoSpace,  // the disk or the user's quota is full
};

enum class OpenMode : std::uint8_t {
  // Creates the file when missing, without access to its data; never conflicts
  // with another process that holds the file. For preparing a set and sizes.
  kCreate,
  // Write access, created when missing; no other process may write meanwhile
  // (Windows: share read only; POSIX: non-blocking exclusive flock). A file
  // that the importer holds fails with kBusy.
  kWrite,
  // Read and write access, otherwise as kWrite (the overflow file while it is
  // poured back).
  kReadWrite,
};

// An open file; the destructor closes it and so releases its lock.
class File {
 public:
  virtual ~File() = default;

  virtual FileStatus Size(std::uint64_t& sizeBytes) = 0;
  virtual FileStatus Seek(std::uint64_t offsetBytes) = 0;
  // One read of up to buffer.size() bytes at the current position;
  // readBytes is 0 at the end of the file.
  virtual FileStatus Read(std::span<std::uint8_t> buffer, std::size_t& readBytes) = 0;
  // Writes all of bytes at the current position, finishing partial writes
  // without sending any byte twice. writtenBytes tells how many went, also
  // when the write fails part way.
  virtual FileStatus Write(std::span<const std::uint8_t> bytes, std::size_t& writtenBytes) = 0;
  // Sets the file's length (cuts or extends it); the position is unchanged.
  virtual FileStatus Truncate(std::uint64_t lengthBytes) = 0;
  // Returns once the file's data and length are on the disk (POSIX
  // fdatasync, Windows FlushFileBuffers), so a power cut cannot take them.
  virtual FileStatus Sync() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens path (creating it when missing); file is set only on kOk.
  virtual FileStatus Open(const std::string& path, OpenMode mode, std::unique_ptr<File>& file) = 0;
  // Looks a file up by name without opening it: false when it does not exist
  // or cannot be looked up.
  virtual bool LookUp(const std::string& path, std::uint64_t& sizeBytes) = 0;
  // Deletes path; a file that is not there counts as deleted.
  virtual FileStatus Remove(const std::string& path) = 0;
  // Bytes free for this user on the volume of root (see DiskRootOf,
  // disk_space.h).
  virtual FileStatus FreeSpace(const std::string& root, std::uint64_t& freeBytes) = 0;
};

// The operating system's files.
class NativeFileSystem final : public FileSystem {
 public:
  FileStatus Open(const std::string& path, OpenMode mode, std::unique_ptr<File>& file) override;
  bool LookUp(const std::string& path, std::uint64_t& sizeBytes) override;
  FileStatus Remove(const std::string& path) override;
  FileStatus FreeSpace(const std::string& root, std::uint64_t& freeBytes) override;
};

enum class PathStyle : std::uint8_t { kPosix, kWindows };

// The path style of the platform the program runs on.
PathStyle NativePathStyle();

}  // namespace vr
