// The list arguments of SendEmailWithContent: recipients, attachment files and
// custom header lines, each list joined with ";".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace oauthrelay {

struct MailAddress {
    std::string strName;     // display name, UTF-8, may be empty
    std::string strAddress;  // bare address as the envelope carries it
};

// Entries are separated by ";" (and "," as many users type it) outside quoted
// names and angle brackets. An entry is a bare address or a display name
// followed by the address in angle brackets; empty entries are skipped.
std::vector<MailAddress> SplitAddressList(std::string_view list);

// One entry: "addr", "Name <addr>" or "\"Name\" <addr>".
MailAddress ParseAddress(std::string_view entry);

// Why the address cannot go into an envelope, or an empty string when it can.
// A local part may hold UTF-8 (RFC 6531); the domain must be ASCII.
std::string AddressProblem(std::string_view address);

// File paths separated by ";"; blanks around a path and empty entries are
// dropped.
std::vector<std::string> SplitFileList(std::string_view list);

// Complete header lines joined with ";". Header values may hold ";" themselves
// ("Content-Language: de; q=1"), so a ";" only ends a line when a field name
// and its colon follow it.
std::vector<std::string> SplitHeaderList(std::string_view list);

// The base name of a path, with "/" and "\" both taken as separators.
std::string FileNameOfPath(std::string_view path);

}  // namespace oauthrelay
