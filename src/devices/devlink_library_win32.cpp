#include "devices/devlink_library.h"

#include <windows.h>

#include <mutex>

namespace vr {
namespace {

template <typename Function>
Function Entry(HMODULE module, const char* name) {
  // GetProcAddress gives a generic pointer; the entry's real type is the
  // interface's.
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::mutex g_mutex;
HMODULE g_module = nullptr;  // never freed: see the header

}  // namespace

const char* DevLinkFileName() { return "DevLink.dll"; }

DevLinkLibrary LoadDevLink(const std::string&) {
  std::lock_guard lock(g_mutex);
  HMODULE& module = g_module;
  if (module == nullptr) module = LoadLibraryW(L"DevLink.dll");
  if (module == nullptr) return {};
  DevLinkLibrary library;
  library.open = Entry<DLOPEN>(module, "DLOpen");
  library.registerCallLog = Entry<DLREGISTERCALLLOG>(module, "DLRegisterCallLog");
  library.close = Entry<DLCLOSE>(module, "DLClose");
  library.status = library.open && library.registerCallLog && library.close
                       ? DevLinkLibrary::Status::kLoaded
                       : DevLinkLibrary::Status::kCorrupted;
  return library;
}

void* DevLinkEntry(const char* name) {
  std::lock_guard lock(g_mutex);
  return g_module ? reinterpret_cast<void*>(GetProcAddress(g_module, name)) : nullptr;
}

}  // namespace vr
