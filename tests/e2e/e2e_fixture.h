#pragma once
// What every end-to-end test starts from: a program folder of its own with
// a runtime folder (instance lock and control socket) that no other test or
// user shares, vesper-sim started there, and the keys of a test site.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "support/temp_dir.h"

namespace vr::e2e {

class EndToEndTest : public ::testing::Test {
 protected:
  static constexpr const char* kSite = "0001";

  void SetUp() override {
    runDir_ = dir_.File("run");
    ASSERT_EQ(::mkdir(runDir_.c_str(), 0700), 0);
  }

  std::vector<std::string> Env() const { return {"XDG_RUNTIME_DIR=" + runDir_}; }
  std::string File(const std::string& name) const { return dir_.File(name); }
  std::string Read(const std::string& name) const { return ReadFile(File(name)); }

  // Starts vesper-sim with `args` (it records what it hands over in
  // sent.txt); pty_ is the line it plays on.
  void StartSim(std::vector<std::string> args);

  // The keys of a COM site with XON/XOFF whose headers are only its code;
  // `continuous` or run every hour from a time long past (due at once).
  Keys ComSite(bool continuous) const;

  // VESPREC.INI for the port pty_ and the one site.
  std::string IniText(const Keys& site) const {
    return "[General]\r\nCom=" + pty_ + "\r\nLog=" + File("vrec.log") + "\r\n" +
           IniSection(kSite, site);
  }
  void WriteIni(const Keys& site) {
    ASSERT_TRUE(WriteFileAtomically(File("VESPREC.INI"), IniText(site)));
  }

  test::TempDir dir_;
  std::string runDir_;
  std::string pty_;
  std::unique_ptr<Process> sim_;
  std::unique_ptr<Process> recorder_;
};

}  // namespace vr::e2e
