#pragma once
// Call records as an exchange prints them: about 80 bytes of text per call
// (date, time, extension, trunk, dialled number, duration, meter units,
// cost), made up deterministically from a seed so that a test or a run of
// vesper-sim can be repeated byte for byte.
//
//   vr::sim::CallRecordGenerator records(/*seed=*/7);
//   std::string line = records.Next() + std::string(LineEndBytes(LineEnd::kCrLf));
//   auto batch = vr::sim::MakeCallRecords(10, 7);  // the same ten every time

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vr::sim {

enum class LineEnd : std::uint8_t { kCr, kLf, kCrLf };

std::string_view LineEndBytes(LineEnd lineEnd);

class CallRecordGenerator {
 public:
  explicit CallRecordGenerator(std::uint32_t seed = 1);
  // The next record's text, without a line end.
  std::string Next();

 private:
  // A small generator of our own: the standard distributions differ between
  // library implementations, and the records must not.
  std::uint32_t Below(std::uint32_t bound);

  std::uint64_t state_;
  std::int64_t callSeconds_;  // start of the current call, seconds since 1601
};

// `count` records from a fresh generator, without line ends.
std::vector<std::string> MakeCallRecords(int count, std::uint32_t seed = 1);

// The lines of a text file without their line ends (CR, LF or CR LF); false
// when the file cannot be read.
bool ReadRecordLines(const std::string& path, std::vector<std::string>& lines);

}  // namespace vr::sim
