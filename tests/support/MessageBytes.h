// The bytes a message's body part tree puts on the wire, in the session's
// emission order: a part's header (never the root's: its lines belong to the
// message header block), its body, its children, and its footer when it has
// children. Each piece comes from the part's own getter.
#pragma once

#include <stdexcept>
#include <string>

#include "mime/TSMTPBodyPart.h"

inline std::string EmittedBody(TSMTPBodyPart& part, bool bIsRoot = true) {
    using Get = bool (TSMTPBodyPart::*)(char*&, DWORD&);
    auto take = [&part](Get get, void (*release)(char*&), const char* what) {
        char* buffer = nullptr;
        DWORD size = 0;
        if (!(part.*get)(buffer, size))
            throw std::runtime_error(std::string("Getting body ") + what + " failed!");
        std::string bytes(buffer != nullptr ? buffer : "", size);
        release(buffer);
        return bytes;
    };
    std::string bytes;
    if (!bIsRoot)
        bytes += take(&TSMTPBodyPart::GetHeader, &TSMTPBodyPart::FreeHeader, "header");
    bytes += take(&TSMTPBodyPart::GetBody, &TSMTPBodyPart::FreeBody, "content");
    for (int i = 0; i < part.GetNumberOfChildBodyParts(); ++i)
        bytes += EmittedBody(*part.GetChildBodyPart(i), false);
    if (part.GetNumberOfChildBodyParts() > 0)
        bytes += take(&TSMTPBodyPart::GetFooter, &TSMTPBodyPart::FreeFooter, "footer");
    return bytes;
}
