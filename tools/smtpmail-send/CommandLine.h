// The command line of the sample host: one message and where the provider's
// configuration lives.
#pragma once

#include <string>
#include <vector>

namespace sendtool {

struct Address {
    bool bHasName = false;  // "Name <address>" form; a bare address has no name
    std::string name;
    std::string address;
};

enum class BodySource { None, Text, File };
enum class BodyFormat { Configured, Html, Plain };

struct Options {
    std::vector<Address> to, cc, bcc;
    bool bHasFrom = false;
    Address from;
    std::string subject;
    BodySource bodySource = BodySource::None;
    std::string body;  // the text itself, or the body file's path
    BodyFormat format = BodyFormat::Configured;
    std::vector<std::string> attachments;
    int priority = 0;  // 0: none given; 1 low, 2 normal, 3 high
    bool bReceipt = false;
    bool bNotifySuccess = false;
    bool bNotifyFailure = false;
    std::string configDir;  // with a trailing separator
    bool bHelp = false;
};

// Splits "Name <address>", "\"Name\" <address>" or a bare address. False with
// a reason for text that is neither.
bool ParseAddress(const std::string& text, Address& out, std::string& error);

// Parses argv (without the program name). False with a reason in error.
// Relative file and folder names are made absolute, because the provider
// reads them while the host's current directory may differ.
bool ParseCommandLine(const std::vector<std::string>& args, Options& out, std::string& error);

// The --help text.
std::string HelpText(const std::string& program);

}  // namespace sendtool
