#include "platform/Uuid.h"

#include "platform/win32/WideText_win32.h"

namespace platform {

std::u16string UuidToStringW(const UUID& uuid) {
    RPC_WSTR text = nullptr;
    // Older headers declare the UUID argument writable; it is only read.
    if (::UuidToStringW(const_cast<UUID*>(&uuid), &text) != RPC_S_OK || text == nullptr)
        return std::u16string();
    std::u16string result(OwnText(reinterpret_cast<const wchar_t*>(text)));
    ::RpcStringFreeW(&text);
    return result;
}

}  // namespace platform
