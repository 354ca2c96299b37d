// A stand-in importer takes a real flock on the data file, as the importer
// does while it reads and empties it. flock locks belong to an open file
// description, so a second open in this process competes like another
// process would.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "log/strings.h"
#include "storage/data_files.h"
#include "support/storage_test_env.h"

namespace vr {
namespace {

using test::AsBytes;

class StandInImporter {
 public:
  explicit StandInImporter(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {}
  ~StandInImporter() { Release(); }
  StandInImporter(const StandInImporter&) = delete;
  StandInImporter& operator=(const StandInImporter&) = delete;

  bool Lock() { return fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0; }
  void Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

TEST(ImporterLock, LockedDataFileSendsChunksToOverflowUntilReleased) {
  test::StorageTestEnv env;
  const std::string dataPath = env.dir.File("DATI.TXT");
  const std::string overflowPath = env.dir.File("S1DATI_D.TXT");
  DataFileSet set;
  ASSERT_TRUE(PrepareDataFiles(env.context, dataPath, overflowPath, set));

  StandInImporter importer(dataPath);
  ASSERT_TRUE(importer.Lock());
  const std::string chunks[] = {"S1   20240105 101500 uno\r\n", "S1   20240105 101501 due\r\n",
                                "S1   20240105 101502 tre\r\n"};
  std::string all;
  for (const std::string& chunk : chunks) {
    all += chunk;
    EXPECT_EQ(WriteRecords(env.context, dataPath, overflowPath, set, AsBytes(chunk)),
              msg::kDataFileUnavailable);
  }
  EXPECT_EQ(env.dir.Read("DATI.TXT"), "");
  EXPECT_EQ(env.dir.Read("S1DATI_D.TXT"), all);

  importer.Release();
  const std::string last = "S1   20240105 101503 quattro\r\n";
  EXPECT_EQ(WriteRecords(env.context, dataPath, overflowPath, set, AsBytes(last)), 0);
  EXPECT_EQ(env.dir.Read("DATI.TXT"), all + last);
  EXPECT_EQ(env.dir.Read("S1DATI_D.TXT"), "");
}

}  // namespace
}  // namespace vr
