#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <limits>

#include "storage/file_system.h"

namespace vr {
namespace {

// The one place where errno becomes a FileStatus.
FileStatus SortErrno(int error) {
  switch (error) {
    case EWOULDBLOCK:  // flock held by another open file (the importer)
    case EACCES:
    case EPERM:
    case EBUSY:
    case ETXTBSY:
      return FileStatus::kBusy;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return FileStatus::kNoSpace;
    default:
      return FileStatus::kIoError;
  }
}

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }  // also drops the flock
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  FileStatus Size(std::uint64_t& sizeBytes) override {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return SortErrno(errno);
    sizeBytes = static_cast<std::uint64_t>(info.st_size);
    return FileStatus::kOk;
  }

  FileStatus Seek(std::uint64_t offsetBytes) override {
    if (offsetBytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
      return FileStatus::kIoError;
    if (::lseek(fd_, static_cast<off_t>(offsetBytes), SEEK_SET) < 0) return SortErrno(errno);
    return FileStatus::kOk;
  }

  FileStatus Read(std::span<std::uint8_t> buffer, std::size_t& readBytes) override {
    readBytes = 0;
    ssize_t got = 0;
    do {
      got = ::read(fd_, buffer.data(), buffer.size());
    } while (got < 0 && errno == EINTR);
    if (got < 0) return SortErrno(errno);
    readBytes = static_cast<std::size_t>(got);
    return FileStatus::kOk;
  }

  FileStatus Write(std::span<const std::uint8_t> bytes, std::size_t& writtenBytes) override {
    writtenBytes = 0;
    while (writtenBytes < bytes.size()) {
      const ssize_t put = ::write(fd_, bytes.data() + writtenBytes, bytes.size() - writtenBytes);
      if (put < 0) {
        if (errno == EINTR) continue;
        return SortErrno(errno);
      }
      // A regular file that takes nothing without an error is out of room.
      if (put == 0) return FileStatus::kNoSpace;
      writtenBytes += static_cast<std::size_t>(put);
    }
    return FileStatus::kOk;
  }

  FileStatus Truncate(std::uint64_t lengthBytes) override {
    if (lengthBytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
      return FileStatus::kIoError;
    int result = 0;
    do {
      result = ::ftruncate(fd_, static_cast<off_t>(lengthBytes));
    } while (result != 0 && errno == EINTR);
    return result == 0 ? FileStatus::kOk : SortErrno(errno);
  }

  FileStatus Sync() override {
    // fdatasync also writes a changed length: the data could not be read back without it.
    int result = 0;
    do {
      result = ::fdatasync(fd_);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? FileStatus::kOk : SortErrno(errno);
  }

 private:
  int fd_;
};

}  // namespace

PathStyle NativePathStyle() { return PathStyle::kPosix; }

FileStatus NativeFileSystem::Open(const std::string& path, OpenMode mode,
                                  std::unique_ptr<File>& file) {
  int flags = O_CLOEXEC | O_CREAT;
  switch (mode) {
    case OpenMode::kCreate:
      flags |= O_RDONLY;
      break;
    case OpenMode::kWrite:
      flags |= O_WRONLY;
      break;
    case OpenMode::kReadWrite:
      flags |= O_RDWR;
      break;
  }
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return SortErrno(errno);
  auto opened = std::make_unique<PosixFile>(fd);
  if (mode != OpenMode::kCreate) {
    // The importer takes this lock while it reads and empties the file.
    int result = 0;
    do {
      result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) return SortErrno(errno);
  }
  file = std::move(opened);
  return FileStatus::kOk;
}

bool NativeFileSystem::LookUp(const std::string& path, std::uint64_t& sizeBytes) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  sizeBytes = static_cast<std::uint64_t>(info.st_size);
  return true;
}

FileStatus NativeFileSystem::Remove(const std::string& path) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return FileStatus::kOk;
  return SortErrno(errno);
}

FileStatus NativeFileSystem::FreeSpace(const std::string& root, std::uint64_t& freeBytes) {
  struct statvfs info {};
  if (::statvfs(root.c_str(), &info) != 0) return SortErrno(errno);
  freeBytes = static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
  return FileStatus::kOk;
}

}  // namespace vr
