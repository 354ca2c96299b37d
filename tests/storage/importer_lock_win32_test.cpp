// A stand-in importer opens the data file for reading and writing without
// sharing it, as the importer does while it reads and empties it; the
// recorder's open (write access, read sharing) then fails.

#include <windows.h>

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
      : handle_(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~StandInImporter() { Release(); }
  StandInImporter(const StandInImporter&) = delete;
  StandInImporter& operator=(const StandInImporter&) = delete;

  bool Holds() const { return handle_ != INVALID_HANDLE_VALUE; }
  void Release() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

TEST(ImporterLock, HeldDataFileSendsChunksToOverflowUntilReleased) {
  test::StorageTestEnv env;
  const std::string dataPath = env.dir.File("DATI.TXT");
  const std::string overflowPath = env.dir.File("S1DATI_D.TXT");
  DataFileSet set;
  ASSERT_TRUE(PrepareDataFiles(env.context, dataPath, overflowPath, set));

  StandInImporter importer(dataPath);
  ASSERT_TRUE(importer.Holds());
  const std::string chunks[] = {"S1   20240105 101500 uno\r\n", "S1   20240105 101501 due\r\n",
                                "S1   20240105 101502 tre\r\n"};
  std::string all;
  for (const std::string& chunk : chunks) {
    all += chunk;
    EXPECT_EQ(WriteRecords(env.context, dataPath, overflowPath, set, AsBytes(chunk)),
              msg::kDataFileUnavailable);
  }
  // While the importer holds the data file, preparing the set still works.
  EXPECT_TRUE(PrepareDataFiles(env.context, dataPath, overflowPath, set));
  importer.Release();
  EXPECT_EQ(env.dir.Read("DATI.TXT"), "");
  EXPECT_EQ(env.dir.Read("S1DATI_D.TXT"), all);

  const std::string last = "S1   20240105 101503 quattro\r\n";
  EXPECT_EQ(WriteRecords(env.context, dataPath, overflowPath, set, AsBytes(last)), 0);
  EXPECT_EQ(env.dir.Read("DATI.TXT"), all + last);
  EXPECT_EQ(env.dir.Read("S1DATI_D.TXT"), "");
}

}  // namespace
}  // namespace vr
