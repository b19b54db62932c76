// Registry value files of any content, read as the provider reads them: the
// size query and the read agree, no read passes its buffer, a short buffer
// gets ERROR_MORE_DATA, and the settings store loads from the value or
// refuses it.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Require.h"
#include "ScratchFolder.h"
#include "config/CMailCfg.h"
#include "platform/Registry.h"

using namespace fuzzing;

namespace {

constexpr LONG kMoreData = 234;  // ERROR_MORE_DATA

struct Hive {
    Hive() {
        platform::SetRegistryRoot(ScratchFolder() + "/registry");
        key = ScratchFolder() + "/registry/HKEY_CURRENT_USER/Software/Fuzz";
        std::filesystem::create_directories(key);
    }
    std::string key;
};

template <typename Query>
void CheckValue(Query query) {
    DWORD type = 0;
    DWORD cb = 0;
    if (query(&type, nullptr, &cb) != 0)
        return;
    std::vector<BYTE> data(cb);
    DWORD got = cb;
    FUZZ_REQUIRE(query(&type, data.data(), &got) == 0);
    FUZZ_REQUIRE(got <= cb);
    if (cb > 0) {
        // new[] of nothing still gives a buffer (a null one asks for the size).
        std::unique_ptr<BYTE[]> small(new BYTE[cb - 1]);
        DWORD smallCb = cb - 1;
        FUZZ_REQUIRE(query(&type, small.get(), &smallCb) == kMoreData);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Hive hive;
    WriteScratchFile("registry/HKEY_CURRENT_USER/Software/Fuzz/@Value",
                     std::string(reinterpret_cast<const char*>(data), size));
    platform::HKEY hKey = nullptr;
    FUZZ_REQUIRE(
        platform::RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Fuzz", 0, KEY_READ, &hKey) == 0);
    CheckValue([&](DWORD* pType, BYTE* pData, DWORD* pcb) {
        return platform::RegQueryValueExW(hKey, u"Value", pType, pData, pcb);
    });
    CheckValue([&](DWORD* pType, BYTE* pData, DWORD* pcb) {
        return platform::RegQueryValueExA(hKey, "value", pType, pData, pcb);
    });
    platform::RegCloseKey(hKey);
    CMailCfg cfg;
    cfg.loadRegistry(HKEY_CURRENT_USER, u"Software\\Fuzz", u"Value");
    return 0;
}
