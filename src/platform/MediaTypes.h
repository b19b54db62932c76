// The media type of a file, by the extension of its name: a table of the
// common types first, then the system's own (Windows: the "Content Type" of
// HKEY_CLASSES_ROOT\.ext; POSIX: /etc/mime.types when there is one).
#pragma once

#include <string>
#include <string_view>

namespace platform {

// "application/pdf" for "C:\Reports\Q1.PDF"; "application/octet-stream" when
// neither table knows the extension. Always a well-formed type in lower case,
// and never a message or multipart type: those allow no Base64 body (RFC 2046),
// and attachments are sent in Base64.
std::string MediaTypeOfFile(std::u16string_view sFileName);

// The system's table alone, for an extension in lower case without its dot;
// "" when the system has none. One backend per system.
std::string SystemMediaType(const std::string& sExtension);

}  // namespace platform
