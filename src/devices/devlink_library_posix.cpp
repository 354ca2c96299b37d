#include "devices/devlink_library.h"

#include <dlfcn.h>

#include <mutex>

#include "base/path.h"

namespace vr {
namespace {

DevLinkLibrary Resolve(void* handle) {
  DevLinkLibrary library;
  library.open = reinterpret_cast<DLOPEN>(dlsym(handle, "DLOpen"));
  library.registerCallLog = reinterpret_cast<DLREGISTERCALLLOG>(dlsym(handle, "DLRegisterCallLog"));
  library.close = reinterpret_cast<DLCLOSE>(dlsym(handle, "DLClose"));
  library.status = library.open && library.registerCallLog && library.close
                       ? DevLinkLibrary::Status::kLoaded
                       : DevLinkLibrary::Status::kCorrupted;
  return library;
}

std::mutex g_mutex;
void* g_handle = nullptr;  // never closed: see the header

}  // namespace

const char* DevLinkFileName() { return "libDevLink.so"; }

DevLinkLibrary LoadDevLink(const std::string& programDir) {
  std::lock_guard lock(g_mutex);
  void*& handle = g_handle;
  if (handle == nullptr) {
    const std::string beside = JoinPath(programDir, DevLinkFileName());
    handle = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) handle = dlopen(DevLinkFileName(), RTLD_NOW | RTLD_LOCAL);
  }
  if (handle == nullptr) return {};
  return Resolve(handle);
}

void* DevLinkEntry(const char* name) {
  std::lock_guard lock(g_mutex);
  return g_handle ? dlsym(g_handle, name) : nullptr;
}

}  // namespace vr
