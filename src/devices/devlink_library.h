#pragma once
// Loading the call-log library at run time. Windows: LoadLibrary of
// "DevLink.dll" (the system's search order, the program's folder first).
// POSIX: dlopen of libDevLink.so from the program directory, then through
// the dynamic loader's search path. Once loaded it stays loaded for the
// life of the process: its threads may still call back after DLClose, and
// unloading would pull code from under them.

#include <string>

#include "devices/devlink_api.h"

namespace vr {

struct DevLinkLibrary {
  enum class Status { kLoaded, kMissing, kCorrupted };
  Status status = Status::kMissing;
  DLOPEN open = nullptr;
  DLREGISTERCALLLOG registerCallLog = nullptr;
  DLCLOSE close = nullptr;
};

// The texts of the two loading reports.
inline constexpr const char* kDevLinkMissingText = "DevLink.dll is missing.";
inline constexpr const char* kDevLinkCorruptedText = "DevLink.dll is corrupted.";

// The file name looked for (libDevLink.so, DevLink.dll).
const char* DevLinkFileName();

// Loads the library (once; later calls give the same result unless the
// first failed) and resolves DLOpen, DLRegisterCallLog and DLClose.
DevLinkLibrary LoadDevLink(const std::string& programDir);

// Another entry of the library LoadDevLink loaded, by name; nullptr when
// there is none (tests drive their own library through such entries).
void* DevLinkEntry(const char* name);

}  // namespace vr
