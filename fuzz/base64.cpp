// DecodeBase64 never writes past the size its callers give and agrees with
// EncodeBase64 on what it accepts.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "vxutil.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string text(data, data + size);
    std::vector<unsigned char> out((text.size() * 3) / 4 + 3);
    int n = DecodeBase64(out.data(), text.c_str(), static_cast<int>(text.size()));
    if (n > static_cast<int>((text.size() * 3) / 4)) std::abort();
    std::string encoded;
    EncodeBase64(encoded, data, size);
    std::u16string wide(encoded.begin(), encoded.end());
    std::vector<unsigned char> back((wide.size() * 3) / 4 + 3);
    int m = DecodeBase64(back.data(), wide.c_str(), static_cast<int>(wide.size()));
    if (m != static_cast<int>(size) || (size > 0 && std::string(back.begin(), back.begin() + m) !=
                                                        std::string(data, data + size)))
        std::abort();
    return 0;
}
