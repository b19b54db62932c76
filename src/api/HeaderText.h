// Host texts that become header values (subject, display names, addresses)
// must stay on one line: a line break inside one would end the header early
// and let the rest pass for header lines of its own, or split an SMTP command.
#pragma once

#include <string>

// The text with every line break (CRLF, a lone CR or a lone LF, and runs of
// them) replaced by one blank.
std::u16string OneHeaderLine(const std::u16string& sText);
