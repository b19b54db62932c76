// Mail addresses whose domain is written in letters outside ASCII
// ("j\u00f6rg@b\u00fccher.example"): the domain goes on the wire as its A-labels
// ("xn--bcher-kva.example", RFC 5890), converted by the system's IDNA.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The address with its domain (what follows its last "@") in ASCII: a domain
// of ASCII characters, and an address without "@", stay exactly as they are;
// any other domain is converted by IDNA and must then be a host name of
// labels of letters, digits and hyphens (RFC 5321). The local part is left
// alone. False when IDNA refuses the domain.
bool AddressToAscii(std::u16string_view sAddress, std::u16string& sAscii);

// Labels of 1 to 63 letters, digits and hyphens, none at either end of a
// label, 253 characters at most: what a mail domain may be (RFC 5321, 4.1.2).
// The systems' IDNA lets an empty label, a trailing dot or an underscore pass.
bool IsHostName(std::u16string_view sName);

// What the backend does for AddressToAscii: the whole domain through the
// system's ToASCII (UTS #46 nontransitional processing where the system has
// it); false when it refuses the domain.
bool DomainToAscii(const std::u16string& sDomain, std::u16string& sAscii);

}  // namespace platform
