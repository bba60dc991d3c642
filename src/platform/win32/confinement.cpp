// Confinement on Windows: the process mitigation policies.
#include "platform/win32/lean_windows.h"

#include "platform/platform.h"

namespace platform {
namespace {

// The flags of each policy, named for the fields of its structure in winnt.h,
// bit 0 the first.
constexpr DWORD kNoChildProcessCreation = 1U << 0;
constexpr DWORD kProhibitDynamicCode = 1U << 0;
constexpr DWORD kNoRemoteImages = 1U << 0;
constexpr DWORD kNoLowMandatoryLabelImages = 1U << 1;
constexpr DWORD kDisableExtensionPoints = 1U << 0;
constexpr DWORD kRaiseExceptionOnInvalidHandleReference = 1U << 0;
constexpr DWORD kHandleExceptionsPermanentlyEnabled = 1U << 1;

struct Mitigation {
  PROCESS_MITIGATION_POLICY kind;
  DWORD flags;
};
constexpr Mitigation kMitigations[] = {
    {ProcessChildProcessPolicy, kNoChildProcessCreation},
    {ProcessDynamicCodePolicy, kProhibitDynamicCode},
    {ProcessImageLoadPolicy, kNoRemoteImages | kNoLowMandatoryLabelImages},
    {ProcessExtensionPointDisablePolicy, kDisableExtensionPoints},
    {ProcessStrictHandleCheckPolicy,
     kRaiseExceptionOnInvalidHandleReference | kHandleExceptionsPermanentlyEnabled},
};

}  // namespace

// Windows lets a running process restrict itself only by these policies, so
// the file rule does not hold here.
bool confineToPagesFolder(const char*) {
  for (const Mitigation& mitigation : kMitigations) {
    // Each policy is one DWORD of flags; mingw-w64 declares the dynamic-code
    // one wider, a size that Windows refuses. A policy this Windows refuses (or
    // Wine ignores) is skipped: the rest still hold.
    DWORD flags = mitigation.flags;
    SetProcessMitigationPolicy(mitigation.kind, &flags, sizeof flags);
  }
  return false;
}

}  // namespace platform
