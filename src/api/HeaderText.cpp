#include "api/HeaderText.h"

std::u16string OneHeaderLine(const std::u16string& sText) {
    if (sText.find_first_of(u"\r\n") == std::u16string::npos)
        return sText;
    std::u16string sLine;
    sLine.reserve(sText.size());
    bool bInBreak = false;
    for (char16_t c : sText) {
        if (c == u'\r' || c == u'\n') {
            if (!bInBreak)
                sLine.push_back(u' ');
            bInBreak = true;
        } else {
            sLine.push_back(c);
            bInBreak = false;
        }
    }
    return sLine;
}
