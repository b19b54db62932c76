// The enciphered settings store from any bytes: as the stored text (Base64
// of Blowfish of Base64 of the record), as the record itself, and as a file
// holding either. Whatever loads saves to a store that loads again.
#include <cstdint>
#include <string>

#include "Require.h"
#include "ScratchFolder.h"
#include "config/CGrowingBuffer.h"
#include "config/CMailCfg.h"
#include "platform/Utf.h"

using namespace fuzzing;

namespace {

// The longest string a record holds (2048 bytes of UTF-16).
constexpr std::size_t kMaxChars = 1024;

void CheckSavesAgain(const CMailCfg& loaded) {
    if (loaded.m_strText1.size() > kMaxChars || loaded.m_strText2.size() > kMaxChars)
        return;
    CMailCfg copy;
    copy.m_strText1 = loaded.m_strText1;
    copy.m_strText2 = loaded.m_strText2;
    const std::u16string path = platform::Utf8ToUtf16(ScratchFolder() + "/saved.cfg");
    FUZZ_REQUIRE(copy.save(path.c_str()));
    CMailCfg again;
    FUZZ_REQUIRE(again.load(path.c_str()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    CMailCfg fromText;
    fromText.load(bytes);

    CGrowingBuffer record(1024);
    record.Write(bytes.data(), static_cast<DWORD>(bytes.size()));
    record.Rewind();
    CMailCfg fromRecord;
    if (fromRecord.deserialize(record))
        CheckSavesAgain(fromRecord);

    const std::u16string path = platform::Utf8ToUtf16(WriteScratchFile("smtp.cfg", bytes));
    CMailCfg fromFile;
    if (fromFile.load(path.c_str()))
        CheckSavesAgain(fromFile);
    return 0;
}
