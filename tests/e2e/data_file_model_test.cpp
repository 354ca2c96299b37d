// The end-to-end tests trust DataFileModel to say what a data file must
// hold; these cases pin it to the recorder's documented line processing.

#include <gtest/gtest.h>

#include "e2e/e2e_support.h"

namespace vr::e2e {
namespace {

TEST(DataFileModel, OneConnectionOfWholeRecords) {
  EXPECT_EQ(ExpectedData("0001", "ab\r\ncd\r\n"), "\r\n0001 ab\r\n0001 cd\r\n");
  EXPECT_EQ(ExpectedData("LONGCODE", "ab\r\n"), "\r\nLONG ab\r\n");
  EXPECT_EQ(ExpectedData("7", "ab\r\n"), "\r\n7    ab\r\n");
  EXPECT_EQ(ExpectedData("0001", ""), "");
}

TEST(DataFileModel, EveryLineEndBecomesCrLf) {
  EXPECT_EQ(ExpectedData("0001", "a\rb\nc\n\rd\r\n"),
            "\r\n0001 a\r\n0001 b\r\n0001 c\r\n0001 d\r\n");
}

TEST(DataFileModel, RecordCutByTheEndOfAConnection) {
  // The rest of the record goes on a line of its own in the next one.
  EXPECT_EQ(ExpectedData("0001", "abc\r\ndef\r\n", {7}),
            "\r\n0001 abc\r\n0001 de"
            "\r\n0001 f\r\n");
}

TEST(DataFileModel, CrLfCutBetweenConnectionsCountsOnce) {
  DataFileModel model("0001");
  EXPECT_EQ(model.Connection("ab\r"), "\r\n0001 ab\r\n");
  EXPECT_EQ(model.Carry(), '\n');
  EXPECT_EQ(model.Connection("\ncd\r\n"), "\r\n0001 cd\r\n");
  EXPECT_EQ(model.Carry(), 0);
}

TEST(DataFileModel, ConnectionStartingWithALineEndKeepsOneEmptyLine) {
  EXPECT_EQ(ExpectedData("0001", "ab\r\n", {2}), "\r\n0001 ab\r\n");
  EXPECT_EQ(ExpectedData("0001", "\r\n\r\nab"), "\r\n0001 \r\n0001 ab");
}

}  // namespace
}  // namespace vr::e2e
