#include "e2e/e2e_fixture.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <optional>

namespace vr::e2e {

using namespace std::chrono_literals;

void EndToEndTest::TearDown() {
  if (HasFailure()) std::cerr << Diagnostics();
  if (recorder_) recorder_->Stop(10s);
  if (sim_) sim_->Stop(5s);
}

void EndToEndTest::StartSim(std::vector<std::string> args) {
  args.insert(args.begin(), VesperSimPath());
  args.insert(args.end(), {"--sent", File("sent.txt")});
  sim_ = std::make_unique<Process>(args, Env(), File("sim.out"), File("sim.err"));
  ASSERT_GT(sim_->pid(), 0) << VesperSimPath();
  PollUntil(
      [&] {
        const std::string out = Read("sim.out");
        const std::size_t end = out.find('\n');
        if (end == std::string::npos) return !sim_->Running();
        pty_ = out.substr(0, end);
        return true;
      },
      kStartDeadline);
  ASSERT_EQ(pty_.rfind("/dev/", 0), 0u) << "vesper-sim printed no pty path";
}

Keys EndToEndTest::ComSite(bool continuous) const {
  return {
      {"Ogni", "3600"},
      {"SitoAbilitato", "1"},
      {"Ricorrenza", continuous ? "0" : "-1"},
      {"Ora", "10.00 01-01-2010p"},
      {"Dispositivo", "COM"},
      {"Dati", File("dati.txt")},
      {"Dati2", File("dati2.txt")},
      {"Storico", File("storico.txt")},
      {"AggData", "0"},
      {"AggOra", "0"},
      {"EliminaNull", "0"},
      {"CorreggiCR", "1"},
      {"FlagCRLF", "0"},
      {"Importazione", "2"},
      // Reads of 1 s: the recorder's unit is the tenth of a second.
      {"STimeRead", "10"},
      {"STimeWrite", "10"},
      {"MTimeRead", "10"},
      {"MTimeWrite", "10"},
      {"FileTimeout", "60"},
      {"SpazioTimeout", "0"},
      {"Modem", "0"},
      {"Baud", "9600"},
      {"BitDati", "8"},
      {"Parita", "N"},
      {"Stop", "1"},
      {"Handshake", "XON"},
      {"Xon", "17"},
      {"Xoff", "19"},
      {"TimeoutFineImp", "2"},
  };
}

std::unique_ptr<Process> EndToEndTest::StartRecorderProcess(const std::string& name) {
  auto process =
      std::make_unique<Process>(std::vector<std::string>{VesprecPath(), "--dir", ProgramDir()},
                                Env(), File(name + ".out"), File(name + ".err"));
  EXPECT_GT(process->pid(), 0) << VesprecPath();
  return process;
}

void EndToEndTest::StartRecorder(const std::string& name) {
  recorder_ = StartRecorderProcess(name);
  ASSERT_GT(recorder_->pid(), 0);
}

CommandResult EndToEndTest::Ctl(const std::vector<std::string>& command) {
  std::vector<std::string> argv = {VesprecPath(), "ctl", "--dir", ProgramDir()};
  argv.insert(argv.end(), command.begin(), command.end());
  return RunCommand(argv, Env(), dir_.Path(), kCtlDeadline);
}

std::map<std::string, std::string> EndToEndTest::Status() {
  const CommandResult r = Ctl({"status"});
  return r.status == 0 ? ParseStatus(r.out) : std::map<std::string, std::string>{};
}

std::uint64_t EndToEndTest::Lines() {
  const auto status = Status();
  const auto it = status.find("lines");
  return it == status.end() ? 0 : std::stoull("0" + it->second);
}

bool EndToEndTest::WaitForLines(std::uint64_t lines, std::chrono::milliseconds deadline) {
  return PollUntil([&] { return Lines() >= lines; }, deadline);
}

bool EndToEndTest::WaitForLog(const std::string& text, int count,
                              std::chrono::milliseconds deadline) {
  return PollUntil([&] { return CountOf(Log(), text) >= count; }, deadline);
}

int EndToEndTest::Quit() {
  const CommandResult r = Ctl({"quit"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::optional<int> status = recorder_->WaitForExit(kStopDeadline);
  EXPECT_TRUE(status.has_value()) << "vesprec did not end after ctl quit";
  return status.value_or(-1);
}

std::string EndToEndTest::Tail(const std::string& text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  return "[... " + std::to_string(text.size() - bytes) + " bytes before]\n" +
         text.substr(text.size() - bytes);
}

namespace {

// The files of `folder` with their sizes, and the standard error files
// (*.err) among them, by name.
std::string Listing(const std::string& folder, std::vector<std::string>* errFiles) {
  std::vector<std::filesystem::directory_entry> entries;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    entries.push_back(entry);
  std::sort(entries.begin(), entries.end());
  std::string text;
  for (const auto& entry : entries) {
    const std::string name = entry.path().filename().string();
    text += "  " + name;
    if (entry.is_regular_file(ec)) {
      text += " (" + std::to_string(FileSize(entry.path().string())) + " bytes)";
      if (errFiles != nullptr && name.size() > 4 && name.substr(name.size() - 4) == ".err")
        errFiles->push_back(entry.path().string());
    }
    text += "\n";
  }
  return text;
}

}  // namespace

std::string EndToEndTest::Diagnostics() const {
  constexpr std::size_t kLogBytes = 6000;
  constexpr std::size_t kTextBytes = 3000;
  std::vector<std::string> errFiles;
  std::string text = "--- " + dir_.Path() + "\n" + Listing(dir_.Path(), &errFiles);
  if (ProgramDir() != dir_.Path())
    text += "--- program folder " + ProgramDir() + "\n" + Listing(ProgramDir(), nullptr);
  text += "--- VESPREC.INI\n" + Tail(ReadFile(ProgramDir() + "/VESPREC.INI"), kTextBytes);
  text += "--- log\n" + Tail(Log(), kLogBytes);
  // vesprec*.err of every recorder started, the simulators' own.
  for (const std::string& path : errFiles) {
    text += "--- " + std::filesystem::path(path).filename().string() + "\n" +
            Tail(ReadFile(path), kTextBytes);
  }
  text += "--- service log\n" + Tail(ReadFile(ProgramDir() + "/CorvinaServiceNT.log"), kTextBytes);
  return text + MoreDiagnostics() + "---\n";
}

}  // namespace vr::e2e
