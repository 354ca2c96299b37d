#include "app/service_setup.h"

#include <cctype>

namespace vr {

ServiceOption ServiceOptionOf(std::string_view line) {
  struct Entry {
    std::string_view text;
    ServiceOption option;
  };
  // /Disinstalla holds no /Installa ("/D..."), so the order only matters
  // for lines that name two options; /Ctl first, as its request is free text.
  constexpr Entry kOptions[] = {{"/Ctl", ServiceOption::kControl},
                                {"/Installa", ServiceOption::kInstall},
                                {"/Disinstalla", ServiceOption::kUninstall},
                                {"/Servizio", ServiceOption::kRun},
                                {"/Stato", ServiceOption::kStatus}};
  for (const Entry& entry : kOptions)
    if (line.find(entry.text) != std::string_view::npos) return entry.option;
  return ServiceOption::kNone;
}

std::string ServiceName(std::string_view com) {
  std::string name = "VesperRecorder_";
  for (const char c : com) {
    const bool kept = std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' ||
                      c == '.' || c == ':';
    name += kept ? c : '_';
  }
  return name;
}

std::string ServiceDisplayName(std::string_view com) {
  return "Vesper Recorder " + std::string(com);
}

std::string ServiceCommandLine(std::string_view exePath) {
  // Appended piece by piece: GCC 12 at -O3 takes "\"" + std::string(...) for
  // an overlapping copy (-Wrestrict).
  std::string line = "\"";
  line.append(exePath);
  line.append("\" /Servizio");
  return line;
}

std::string ServiceSetupText(ServiceSetupResult result, std::string_view com,
                             std::string_view systemText) {
  const std::string name = ServiceName(com);
  switch (result) {
    case ServiceSetupResult::kInstalled:
      return "Servizio " + name + " (" + ServiceDisplayName(com) +
             ") installato: si avvia all'accensione del computer e riparte dopo un errore. "
             "Per avviarlo ora: sc start " + name;
    case ServiceSetupResult::kRemoved:
      return "Servizio " + name + " fermato e rimosso.";
    case ServiceSetupResult::kExists:
      return "Il servizio " + name + " è già installato.";
    case ServiceSetupResult::kNotInstalled:
      return "Il servizio " + name + " non è installato.";
    case ServiceSetupResult::kNoRights:
      return "Permessi insufficienti per modificare il servizio " + name +
             ": eseguire VESPREC.EXE come amministratore.";
    case ServiceSetupResult::kStillRunning:
      return "Il servizio " + name +
             " non si è fermato in tempo: sarà rimosso quando si ferma.";
    case ServiceSetupResult::kFailed:
      return "Operazione sul servizio " + name + " non riuscita: " + std::string(systemText);
    case ServiceSetupResult::kNotFromTheManager:
      return "VESPREC.EXE /Servizio è avviato dal gestore dei servizi; per installare il "
             "servizio: VESPREC.EXE /Installa";
  }
  return {};
}

int ServiceSetupExitCode(ServiceSetupResult result) {
  switch (result) {
    case ServiceSetupResult::kInstalled:
    case ServiceSetupResult::kRemoved:
      return 0;
    case ServiceSetupResult::kExists:
    case ServiceSetupResult::kNotInstalled:
      return 2;
    case ServiceSetupResult::kNoRights:
      return 5;  // the system's own code for a refused access
    case ServiceSetupResult::kStillRunning:
    case ServiceSetupResult::kFailed:
    case ServiceSetupResult::kNotFromTheManager:
      return 1;
  }
  return 1;
}

std::string ControlPipeName(std::string_view com) {
  return "\\\\.\\pipe\\" + ServiceName(com);
}

std::string ControlRequestOf(std::string_view line, ServiceOption option) {
  if (option == ServiceOption::kStatus) return "status --json";
  if (option != ServiceOption::kControl) return {};
  constexpr std::string_view kOption = "/Ctl";
  const std::size_t at = line.find(kOption);
  if (at == std::string_view::npos) return {};
  std::string request;
  for (const char c : line.substr(at + kOption.size()))
    if (c != '"') request += c;
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!request.empty() && blank(request.back())) request.pop_back();
  std::size_t first = 0;
  while (first < request.size() && blank(request[first])) ++first;
  request.erase(0, first);
  // One request line: the channel reads up to the first line end.
  if (request.find_first_of("\r\n") != std::string::npos) return {};
  return request;
}

std::string ControlClientText(ControlClientResult result, std::string_view com,
                              std::string_view message) {
  const std::string port(com);
  switch (result) {
    case ControlClientResult::kAnswered:
      return {};
    case ControlClientResult::kRefused:
      return "Richiesta rifiutata da Vesper Recorder per " + port + ": " + std::string(message);
    case ControlClientResult::kNoInstance:
      return "Vesper Recorder non è in esecuzione per " + port +
             " (né sul desktop né come servizio " + ServiceName(com) + ").";
    case ControlClientResult::kNoAnswer:
      return "Vesper Recorder per " + port + " non ha risposto in tempo.";
    case ControlClientResult::kDenied:
      return "Accesso negato a Vesper Recorder per " + port +
             ": eseguire VESPREC.EXE come amministratore.";
    case ControlClientResult::kUsage:
      return "Uso: VESPREC.EXE /Stato, oppure VESPREC.EXE /Ctl status | stop | start SITO | "
             "reload | wake | ack | quit";
  }
  return {};
}

int ControlClientExitCode(ControlClientResult result) {
  switch (result) {
    case ControlClientResult::kAnswered:
      return 0;
    case ControlClientResult::kNoInstance:
    case ControlClientResult::kNoAnswer:
      return 1;
    case ControlClientResult::kRefused:
    case ControlClientResult::kUsage:
      return 2;
    case ControlClientResult::kDenied:
      return 5;
  }
  return 1;
}

std::string NoRecoveryText(std::string_view systemText) {
  return "Attenzione. Il gestore dei servizi non ha accettato il riavvio dopo un errore: " +
         std::string(systemText);
}

}  // namespace vr
