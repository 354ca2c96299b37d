#pragma once
// What every end-to-end test starts from: a program folder of its own with
// a runtime folder (instance lock and control socket) that no other test or
// user shares, vesper-sim started there, the keys of a test site, and the
// ways a user talks to the recorder and waits for it. Every wait is here
// once, so that a waiting rule mended here is mended for every test.
//
// Real processes need real time: every wait polls with a generous deadline
// (only a failure waits it out), and no assertion is about how long
// something took.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "support/temp_dir.h"

namespace vr::e2e {

class EndToEndTest : public ::testing::Test {
 protected:
  static constexpr const char* kSite = "0001";

  // A program is up: vesper-sim has printed where it plays, a (re)started
  // recorder has taken its site or is receiving again.
  static constexpr std::chrono::seconds kStartDeadline{20};
  // Records that take seconds to print have arrived, on a loaded machine.
  static constexpr std::chrono::seconds kReceiveDeadline{60};
  // A connection or a program has ended in order.
  static constexpr std::chrono::seconds kStopDeadline{20};
  // One `vesprec ctl` command has answered.
  static constexpr std::chrono::seconds kCtlDeadline{20};

  static constexpr const char* kStartLine = "Avvio Vesper Recorder.";        // 5002
  static constexpr const char* kCloseLine = "Chiusura di Vesper Recorder.";  // 5003
  static constexpr const char* kPortClosedLine = "Disconnessa porta COM.";   // 5012

  void SetUp() override {
    runDir_ = dir_.File("run");
    ASSERT_EQ(::mkdir(runDir_.c_str(), 0700), 0);
  }
  // On a failure, what the programs left; then both programs are stopped.
  void TearDown() override;

  std::vector<std::string> Env() const { return {"XDG_RUNTIME_DIR=" + runDir_}; }
  std::string File(const std::string& name) const { return dir_.File(name); }
  std::string Read(const std::string& name) const { return ReadFile(File(name)); }
  // The folder vesprec runs in (its --dir, with VESPREC.INI, the overflow
  // files and the service log): the test's folder unless programDir_ says
  // otherwise. The log and the programs' output stay in the test's folder.
  std::string ProgramDir() const { return programDir_.empty() ? dir_.Path() : programDir_; }

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
    ASSERT_TRUE(WriteFileAtomically(ProgramDir() + "/VESPREC.INI", IniText(site)));
  }

  // vesprec on ProgramDir(), its standard output and error in `name`.out
  // and `name`.err.
  std::unique_ptr<Process> StartRecorderProcess(const std::string& name);
  // The same as recorder_.
  void StartRecorder(const std::string& name = "vesprec");

  // `vesprec ctl` with `command`, as a user types it.
  CommandResult Ctl(const std::vector<std::string>& command);
  // `ctl status` parsed; empty when no instance answered.
  std::map<std::string, std::string> Status();
  // The lines received so far, by the status; 0 when no instance answered.
  std::uint64_t Lines();
  bool WaitForLines(std::uint64_t lines, std::chrono::milliseconds deadline = kReceiveDeadline);

  std::string Log() const { return Read("vrec.log"); }
  // Until the log holds `text` at least `count` times.
  bool WaitForLog(const std::string& text, int count = 1,
                  std::chrono::milliseconds deadline = kReceiveDeadline);

  // Ends the recorder in order with `ctl quit`; its exit status (-1 when it
  // did not end).
  int Quit();

  // The folder, VESPREC.INI, the log, every program's standard error and
  // the service log; long texts cut to their end.
  std::string Diagnostics() const;
  // What a test's own files add to that.
  virtual std::string MoreDiagnostics() const { return {}; }
  // The last `bytes` of `text`, saying how much was cut.
  static std::string Tail(const std::string& text, std::size_t bytes);

  test::TempDir dir_;
  std::string runDir_;
  std::string programDir_;
  std::string pty_;
  std::unique_ptr<Process> sim_;
  std::unique_ptr<Process> recorder_;
};

}  // namespace vr::e2e
