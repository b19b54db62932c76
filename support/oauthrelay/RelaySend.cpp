#include "RelaySend.h"

#include <array>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>
#include <utility>

#include "MessageComposer.h"
#include "RelayError.h"
#include "RelayLists.h"
#include "SmtpSubmission.h"
#include "TextConvert.h"
#include "TokenClient.h"
#include "platform/Idna.h"
#include "platform/MediaTypes.h"

namespace oauthrelay {

namespace {

std::string CheckedHost(const std::string& host) {
    const std::string out = Trim(host);
    if (out.empty()) {
        throw RelayError("No mail server host was given.");
    }
    for (char c : out) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= ' ' || b == 127 ||
            std::string_view("/\\?#@%\"<>").find(c) != std::string_view::npos) {
            throw RelayError("The mail server host \"" + out + "\" is not a host name.");
        }
    }
    return out;
}

int CheckedPort(int nPort, bool bStartTLS) {
    if (nPort == 0) {
        return bStartTLS ? 587 : 25;
    }
    if (nPort < 0 || nPort > 65535) {
        throw RelayError("The mail server port " + std::to_string(nPort) +
                         " is not a TCP port (1 to 65535).");
    }
    return nPort;
}

// The address with its domain as SMTP carries it: the A-labels of a domain
// written outside ASCII, converted here by the system's IDNA (libcurl's
// Windows build has none, and the envelope is written here anyway); throws
// naming the address when it cannot be used.
std::string CheckedAddress(const std::string& strAddress, const char* pszKind) {
    std::u16string sAscii;
    const bool bConverted = platform::AddressToAscii(Utf8ToUtf16(strAddress), sAscii);
    const std::string address = Utf16ToUtf8(sAscii);
    const std::string problem =
        bConverted ? AddressProblem(address)
                   : "its domain is not a valid internationalized domain name (IDNA)";
    if (!problem.empty()) {
        throw RelayError(std::string("The ") + pszKind + " address \"" + strAddress +
                         "\" cannot be used: " + problem + ".");
    }
    return address;
}

std::vector<MailAddress> CheckedList(const std::string& list, const char* pszKind) {
    std::vector<MailAddress> out = SplitAddressList(list);
    for (MailAddress& a : out) {
        a.strAddress = CheckedAddress(a.strAddress, pszKind);
    }
    return out;
}

std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(
        std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

RelayAttachment LoadAttachment(const std::string& path) {
    const std::filesystem::path file = PathOf(path);
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(file, ec);
    if (!std::filesystem::exists(status)) {
        throw RelayError("The attachment file \"" + path + "\" does not exist.");
    }
    if (!std::filesystem::is_regular_file(status)) {
        throw RelayError("The attachment \"" + path + "\" is not a file.");
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw RelayError("The attachment file \"" + path + "\" cannot be opened.");
    }
    RelayAttachment attachment;
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    if (!ec) {
        attachment.sData.reserve(static_cast<size_t>(size));
    }
    attachment.sData.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw RelayError("The attachment file \"" + path + "\" cannot be read.");
    }
    attachment.strName = FileNameOfPath(path);
    attachment.strContentType = platform::MediaTypeOfFile(Utf8ToUtf16(attachment.strName));
    return attachment;
}

std::string ComposeFromRequest(const SendRequest& request, RelayMessage message,
                               const std::string& strSender) {
    message.strSubject = request.strSubject;
    message.sBody = request.sBody;
    message.bHtml = request.bHtml;
    message.nPriority = request.nPriority;
    message.strCharset = request.strCharset;
    message.CustomHeaders = SplitHeaderList(request.strCustomHeaders);
    for (const std::string& path : SplitFileList(request.strAttachments)) {
        message.Attachments.push_back(LoadAttachment(path));
    }
    return ComposeMessage(message, NewMessageStamp(strSender));
}

}  // namespace

void RelaySend(const SendRequest& request) {
    // Everything that can fail without the network fails first.
    SmtpTarget target;
    target.strHost = CheckedHost(request.strHost);
    target.nPort = CheckedPort(request.nPort, request.bStartTLS);
    target.bStartTLS = request.bStartTLS;

    // The sender address may carry its display name ("Anne <anne@x.org>"); a
    // sender name given on its own wins.
    RelayMessage message;
    message.From = ParseAddress(request.strSenderAddress);
    if (!Trim(request.strSenderName).empty()) {
        message.From.strName = Trim(request.strSenderName);
    }
    if (message.From.strAddress.empty()) {
        throw RelayError("No sender address was given.");
    }
    message.From.strAddress = CheckedAddress(message.From.strAddress, "sender");
    message.To = CheckedList(request.strTo, "To");
    message.Cc = CheckedList(request.strCc, "Cc");
    const std::vector<MailAddress> bcc = CheckedList(request.strBcc, "Bcc");

    SmtpEnvelope envelope;
    envelope.strSender = message.From.strAddress;
    envelope.bNotifySuccess = request.bNotifySuccess;
    envelope.bNotifyFailure = request.bNotifyFailure;
    std::set<std::string> seen;
    const std::array<const std::vector<MailAddress>*, 3> lists = {&message.To, &message.Cc, &bcc};
    for (const std::vector<MailAddress>* list : lists) {
        for (const MailAddress& a : *list) {
            if (seen.insert(AsciiLower(a.strAddress)).second) {
                envelope.Recipients.push_back(a.strAddress);
            }
        }
    }
    if (envelope.Recipients.empty()) {
        throw RelayError("The message has no recipients: To, Cc and Bcc are all empty.");
    }

    TokenRequest tokenRequest;
    tokenRequest.strAuthority = request.strAuthority;
    tokenRequest.strTenant = request.strTenantId;
    tokenRequest.strClientId = request.strClientId;
    tokenRequest.strClientSecret = request.strClientSecret;
    tokenRequest.strScope = request.strScope;
    tokenRequest = CompleteTokenRequest(tokenRequest);

    // The message's parts (attachments included) are released once composed;
    // only the composed text stays for the transfer.
    const std::string content = ComposeFromRequest(request, std::move(message), envelope.strSender);

    // A cached token that the server refuses (revoked, or the server restarted
    // its key store) is dropped and the login tried once with a fresh one.
    TokenClient tokens(TokenCache::Instance());
    bool fromCache = false;
    target.strUser = envelope.strSender;
    target.strToken = tokens.GetToken(tokenRequest, false, fromCache);
    for (int attempt = 0;; ++attempt) {
        SmtpSubmission smtp;
        try {
            smtp.Connect(target);
        } catch (const RelayError& e) {
            if (e.Kind() != RelayFailure::LoginRefused) {
                throw;
            }
            tokens.Reject(tokenRequest, target.strToken);
            if (!fromCache || attempt > 0) {
                throw;
            }
            target.strToken = tokens.GetToken(tokenRequest, true, fromCache);
            continue;
        }
        smtp.Transfer(envelope, content);
        smtp.Quit();
        return;
    }
}

}  // namespace oauthrelay
