// Confinement on Windows: the process mitigation policies.
#include "platform/win32/lean_windows.h"

#include "platform/platform.h"

namespace platform {
namespace {

template <typename Policy>
void setMitigation(PROCESS_MITIGATION_POLICY kind, Policy policy) {
  // Each policy is one DWORD of flags; mingw-w64 declares the dynamic-code
  // one wider, a size that Windows refuses. A policy this Windows refuses (or
  // Wine ignores) is skipped: the rest still hold.
  DWORD flags = policy.Flags;
  SetProcessMitigationPolicy(kind, &flags, sizeof flags);
}

}  // namespace

// Windows lets a running process restrict itself only by these policies, so
// the file rule does not hold here.
bool confineToPagesFolder(const char*) {
  PROCESS_MITIGATION_CHILD_PROCESS_POLICY noChildren{};
  noChildren.NoChildProcessCreation = 1;
  setMitigation(ProcessChildProcessPolicy, noChildren);
  PROCESS_MITIGATION_DYNAMIC_CODE_POLICY noDynamicCode{};
  noDynamicCode.ProhibitDynamicCode = 1;
  setMitigation(ProcessDynamicCodePolicy, noDynamicCode);
  PROCESS_MITIGATION_IMAGE_LOAD_POLICY localImages{};
  localImages.NoRemoteImages = 1;
  localImages.NoLowMandatoryLabelImages = 1;
  setMitigation(ProcessImageLoadPolicy, localImages);
  PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY noExtensionPoints{};
  noExtensionPoints.DisableExtensionPoints = 1;
  setMitigation(ProcessExtensionPointDisablePolicy, noExtensionPoints);
  PROCESS_MITIGATION_STRICT_HANDLE_CHECK_POLICY strictHandles{};
  strictHandles.RaiseExceptionOnInvalidHandleReference = 1;
  strictHandles.HandleExceptionsPermanentlyEnabled = 1;
  setMitigation(ProcessStrictHandleCheckPolicy, strictHandles);
  return false;
}

}  // namespace platform
