// Composes one message with TSMTPMessage from the command line and writes it
// as a server stores it: the DATA stream the session sends (header block, an
// empty line, then the single-part text or the body part tree in emission
// order, then the end-of-data line), read back the way an SMTP server reads
// it: up to the line that holds only ".", with one leading "." taken off
// every other line.
//
//   mime-compose OUT [--charset C] [--from NAME ADDR] [--to|--cc|--bcc NAME ADDR]
//                [--subject-file F] [--text-file F] [--html-file F]
//                [--attach PATH NAME|-] [--priority N] [--header LINE]
//
// Texts are read from UTF-8 files so that they arrive byte for byte. Exit
// status 0 when the message was written, 1 with a reason on standard error.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "MessageBytes.h"
#include "mailapi.h"
#include "mime/TSMTPMessage.h"
#include "platform/Utf.h"

namespace {

using platform::Utf8ToUtf16;

struct Failure {
    std::string text;
};

std::u16string ReadUtf8File(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Failure{"cannot read " + path};
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return Utf8ToUtf16(bytes.str());
}

std::string DataStream(TSMTPMessage& message) {
    std::string data = message.getHeader();
    data += "\r\n";
    if (message.m_RootPart.GetNumberOfChildBodyParts() == 0 && !message.m_bMime) {
        std::string text = platform::Utf16ToUtf8(message.m_RootPart.GetText());
        TSMTPBodyPart::MakeTransparent(text);
        data += text;
    } else {
        data += EmittedBody(message.m_RootPart);
    }
    data += "\r\n.\r\n";
    return data;
}

// What the server keeps: the lines before the one that is only ".", each with
// one leading "." removed. The end line must be the last line of the stream.
std::string ReceiveData(const std::string& data) {
    std::string message;
    size_t from = 0;
    for (;;) {
        size_t end = data.find("\r\n", from);
        if (end == std::string::npos)
            throw Failure{"the data has no end-of-data line"};
        std::string line = data.substr(from, end - from);
        from = end + 2;
        if (line == ".") {
            if (from != data.size()) {
                throw Failure{"the data ended early, " + std::to_string(data.size() - from) +
                              " bytes were left over"};
            }
            return message;
        }
        if (!line.empty() && line[0] == '.')
            line.erase(0, 1);
        message += line + "\r\n";
    }
}

int Kind(const std::string& option) {
    if (option == "--to")
        return TSMTPMessage::TO;
    if (option == "--cc")
        return TSMTPMessage::CC;
    return TSMTPMessage::BCC;
}

int Run(int argc, char** argv) {
    if (argc < 2)
        throw Failure{"usage: mime-compose OUT [options]"};
    const std::string out = argv[1];
    TSMTPMessage message;
    message.m_sXMailer.clear();
    // Attachment paths and names ("-": none, the file's own name is shown).
    std::vector<std::pair<std::u16string, std::string>> attachments;
    std::u16string text;
    std::u16string html;
    bool bText = false;
    bool bHtml = false;
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc)
                throw Failure{option + " needs a value"};
            return argv[++i];
        };
        if (option == "--charset") {
            message.SetCharset(Utf8ToUtf16(next()));
        } else if (option == "--from") {
            std::u16string name = Utf8ToUtf16(next());
            message.m_From = TSMTPAddress(name, Utf8ToUtf16(next()));
        } else if (option == "--to" || option == "--cc" || option == "--bcc") {
            std::u16string name = Utf8ToUtf16(next());
            message.AddRecipient(TSMTPAddress(name, Utf8ToUtf16(next())), Kind(option));
        } else if (option == "--subject-file") {
            message.m_sSubject = ReadUtf8File(next());
        } else if (option == "--text-file") {
            text = ReadUtf8File(next());
            bText = true;
        } else if (option == "--html-file") {
            html = ReadUtf8File(next());
            bHtml = true;
        } else if (option == "--attach") {
            std::u16string path = Utf8ToUtf16(next());
            attachments.emplace_back(path, next());
        } else if (option == "--priority") {
            message.m_Priority = std::stoi(next());
        } else if (option == "--header") {
            message.AddCustomHeader(Utf8ToUtf16(next()));
        } else {
            throw Failure{"unknown option " + option};
        }
    }
    // The order of the send operation: the text, MIME for an HTML body, then
    // the attachments, which switch MIME on for a text body.
    if (bText)
        message.AddTextBody(text);
    if (bHtml) {
        message.SetMime(true);
        message.AddHTMLBody(html, u"");
    }
    std::vector<std::u16string> names;
    for (const auto& attachment : attachments)
        names.push_back(Utf8ToUtf16(attachment.second));
    std::vector<MAILATTACHMENT> records(attachments.size());
    for (size_t i = 0; i < records.size(); ++i) {
        records[i].pszPath = reinterpret_cast<const MAILWCHAR*>(attachments[i].first.c_str());
        if (attachments[i].second != "-")
            records[i].pszName = reinterpret_cast<const MAILWCHAR*>(names[i].c_str());
    }
    if (!records.empty()) {
        message.AddMultipleAttachments(records.data(), static_cast<int>(records.size()));
        message.SetMime(true);
    }

    const std::string received = ReceiveData(DataStream(message));
    std::ofstream file(out, std::ios::binary);
    file.write(received.data(), static_cast<std::streamsize>(received.size()));
    if (!file.flush())
        throw Failure{"cannot write " + out};
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const Failure& f) {
        std::cerr << "mime-compose: " << f.text << "\n";
    } catch (const std::exception& e) {
        std::cerr << "mime-compose: " << e.what() << "\n";
    }
    return 1;
}
