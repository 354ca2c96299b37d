#pragma once
// The call-log library's interface, as the recorder calls it and as any
// library standing in for the vendor's must export it: C linkage, plain
// names, and on Windows __stdcall for the functions and both callbacks
// (it matters on i686; x86_64 has one convention).

#include <cstdint>

#if defined(_WIN32)
#define VR_DEVLINK_CALL __stdcall
#define VR_DEVLINK_EXPORT __declspec(dllexport)
#else
#define VR_DEVLINK_CALL
#define VR_DEVLINK_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

typedef void(VR_DEVLINK_CALL* COMMSEVENT)(std::int32_t pbxh, std::uint32_t comms_state,
                                           std::uint32_t parm1);
// info: one zero-terminated call record.
typedef void(VR_DEVLINK_CALL* CALLLOGEVENT)(std::int32_t pbxh, const char* info);

typedef std::int32_t(VR_DEVLINK_CALL* DLOPEN)(std::int32_t pbxh, const char* pbx_address,
                                               const char* pbx_password, const char* reserved1,
                                               const char* reserved2, COMMSEVENT cb);
typedef std::int32_t(VR_DEVLINK_CALL* DLREGISTERCALLLOG)(std::int32_t pbxh, CALLLOGEVENT cb);
typedef std::int32_t(VR_DEVLINK_CALL* DLCLOSE)(std::int32_t pbxh);

}  // extern "C"
