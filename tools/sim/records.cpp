#include "sim/records.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "base/civil_time.h"

namespace vr::sim {

std::string_view LineEndBytes(LineEnd lineEnd) {
  switch (lineEnd) {
    case LineEnd::kCr:
      return "\r";
    case LineEnd::kLf:
      return "\n";
    case LineEnd::kCrLf:
      break;
  }
  return "\r\n";
}

CallRecordGenerator::CallRecordGenerator(std::uint32_t seed)
    : state_(0x9E3779B97F4A7C15ull ^ seed),
      callSeconds_(ToSeconds(CivilTime{2024, 3, 14, 8, 0, 0, 0})) {
  callSeconds_ += Below(3600);
}

std::uint32_t CallRecordGenerator::Below(std::uint32_t bound) {
  // splitmix64
  state_ += 0x9E3779B97F4A7C15ull;
  std::uint64_t z = state_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<std::uint32_t>(z % bound);
}

std::string CallRecordGenerator::Next() {
  callSeconds_ += 5 + Below(600);
  const CivilTime at = FromSeconds(callSeconds_);

  char dialled[24];
  switch (Below(5)) {
    case 0:  // international
      std::snprintf(dialled, sizeof dialled, "00%u%09u", 30 + Below(20), Below(1000000000));
      break;
    case 1:  // mobile
      std::snprintf(dialled, sizeof dialled, "3%02u%07u", 20 + Below(80), Below(10000000));
      break;
    case 2:  // internal
      std::snprintf(dialled, sizeof dialled, "%u", 200 + Below(800));
      break;
    default:  // national
      std::snprintf(dialled, sizeof dialled, "0%u%07u", 2 + Below(98), Below(10000000));
      break;
  }
  const std::uint32_t durationS = 3 + Below(1800);
  const std::uint32_t units = durationS / 60 + 1 + Below(3);
  const std::uint32_t costCents = units * 12;

  char text[128];
  std::snprintf(text, sizeof text,
                "%02d/%02d/%02d %02d:%02d:%02d  EXT %4u  TRK %02u  %-14s %02u:%02u:%02u  "
                "%4u  EUR %3u.%02u",
                at.day, at.month, at.year % 100, at.hour, at.minute, at.second,
                2000 + Below(300), 1 + Below(24), dialled, durationS / 3600,
                durationS / 60 % 60, durationS % 60, units, costCents / 100, costCents % 100);
  return text;
}

std::vector<std::string> MakeCallRecords(int count, std::uint32_t seed) {
  CallRecordGenerator generator(seed);
  std::vector<std::string> records;
  for (int i = 0; i < count; ++i) records.push_back(generator.Next());
  return records;
}

bool ReadRecordLines(const std::string& path, std::vector<std::string>& lines) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  lines.clear();
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return true;
}

}  // namespace vr::sim
