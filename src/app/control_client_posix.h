#pragma once
// `vesprec ctl [--dir DIR] COMMAND`: asks the instance that serves the port
// of DIR/VESPREC.INI. `config` is done here, in the user's terminal: the
// configuration program runs and is waited for, then the instance is asked
// to reload; the recorder itself never starts an editor.

#include <ostream>
#include <string>
#include <vector>

namespace vr {

// Exit statuses of `ctl`.
inline constexpr int kCtlAnswered = 0;
inline constexpr int kCtlNoInstance = 1;  // none runs for the port (or it does not answer)
inline constexpr int kCtlRefused = 2;     // a usage error, or the instance refused the command

inline constexpr const char* kConfigProgramName = "vreccfg";

// The configuration program: in the program directory, else beside the
// running executable; empty when neither has one.
std::string FindConfigurationProgram(const std::string& programDir);

int RunControlClient(const std::string& programDir, const std::vector<std::string>& args,
                     std::ostream& out, std::ostream& err);

}  // namespace vr
