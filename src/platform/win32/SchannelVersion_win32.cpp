// Which credential record the system's Schannel takes, by the system's true
// version: RtlGetVersion answers what it is, where GetVersionEx and the
// version helpers answer what the host's manifest claims to know.
#include "platform/Sspi.h"

namespace platform {

namespace {

// The first Windows whose Schannel takes SCH_CREDENTIALS: Windows 10 1809.
constexpr DWORD kSchCredentialsBuild = 17763;

using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);

}  // namespace

bool SchannelTakesSchCredentials() {
    // ntdll is in every process: nothing is loaded.
    const HMODULE hNtdll = ::GetModuleHandleW(L"ntdll.dll");
    const auto pRtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
        hNtdll != nullptr ? reinterpret_cast<void*>(::GetProcAddress(hNtdll, "RtlGetVersion"))
                          : nullptr);
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (pRtlGetVersion == nullptr || pRtlGetVersion(&version) != 0)
        return false;
    return version.dwMajorVersion > 10 ||
           (version.dwMajorVersion == 10 && version.dwBuildNumber >= kSchCredentialsBuild);
}

}  // namespace platform
