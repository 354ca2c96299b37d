#include "app/command_line.h"

namespace vr {

CommandLine ParseCommandLine(std::string_view line) {
  CommandLine result;
  result.slave = line.find("/Slave") != std::string_view::npos;
  constexpr std::string_view kSite = "/Sito=";
  if (const auto at = line.find(kSite); at != std::string_view::npos) {
    std::string_view code = line.substr(at + kSite.size(), 4);
    code = code.substr(0, code.find('/'));
    result.siteCode = std::string(code);
  }
  return result;
}

PosixArguments ParsePosixArguments(const std::vector<std::string>& args) {
  PosixArguments parsed;
  std::string line;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--dir") {
      if (i + 1 >= args.size()) {
        parsed.error = "--dir needs a directory";
        return parsed;
      }
      parsed.dir = args[++i];
    } else if (arg.rfind("--dir=", 0) == 0) {
      parsed.dir = arg.substr(6);
    } else if (arg == "--check") {
      parsed.check = true;
    } else if (arg == "--help" || arg == "-h") {
      parsed.help = true;
    } else if (arg == "--version") {
      parsed.version = true;
    } else if (arg == "ctl" && !parsed.ctl && line.empty()) {
      parsed.ctl = true;
    } else if (parsed.ctl) {
      parsed.ctlArgs.push_back(arg);
    } else if (arg.rfind("--", 0) == 0) {
      parsed.error = "unknown option " + arg;
      return parsed;
    } else {
      if (!line.empty()) line += ' ';
      line += arg;
    }
  }
  parsed.commandLine = ParseCommandLine(line);
  return parsed;
}

}  // namespace vr
