// The sample configuration of the README, examples/VESPREC.INI, as an
// installer copies it: every key of its site is read without a problem or a
// warning, and the README shows the file as it is.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "app/check.h"
#include "base/civil_time.h"
#include "support/temp_dir.h"

namespace vr {
namespace {

std::string ReadSource(const std::string& relative) {
  std::ifstream in(std::string(VR_SOURCE_DIR) + "/" + relative, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ExampleConfigurationTest, TheSampleChecksWithoutAProblemOrAWarning) {
  const std::string sample = ReadSource("examples/VESPREC.INI");
  ASSERT_FALSE(sample.empty());
  test::TempDir dir;
  dir.Write("VESPREC.INI", sample);
  // The port and the folders it names belong to the customer's machine:
  // here they are taken as there.
  CheckProbes probes;
  std::string portLookedAt;
  probes.port = [&](const std::string& com) {
    portLookedAt = com;
    return ProbeResult{};
  };
  probes.appendableFile = [](const std::string&) { return ProbeResult{}; };
  ManualClock clock{ToSeconds(CivilTime{2026, 1, 1, 8, 30, 0, 0})};
  std::ostringstream out, err;
  EXPECT_EQ(RunConfigurationCheck(dir.Path(), out, err, clock, probes), 0) << out.str();
  EXPECT_EQ(out.str(), "0001  09.00 01-01-2026p  periodic\n");
  EXPECT_EQ(portLookedAt, "/dev/ttyUSB0");
}

TEST(ExampleConfigurationTest, TheReadmeShowsTheSampleAsItIs) {
  const std::string sample = ReadSource("examples/VESPREC.INI");
  const std::string readme = ReadSource("README.md");
  EXPECT_NE(readme.find("```ini\n" + sample + "```\n"), std::string::npos);
}

}  // namespace
}  // namespace vr
