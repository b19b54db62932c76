#include "platform/Uuid.h"

namespace platform {

std::u16string UuidToStringW(const UUID& uuid) {
    static const char16_t kHex[] = u"0123456789abcdef";
    std::u16string text;
    text.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text.push_back(u'-');
        text.push_back(kHex[uuid.bytes[i] >> 4]);
        text.push_back(kHex[uuid.bytes[i] & 0x0F]);
    }
    return text;
}

}  // namespace platform
