#include "platform/MediaTypes.h"

#include <array>
#include <utility>

namespace platform {

namespace {

using TypeRow = std::pair<std::string_view, std::string_view>;

// The types mail clients preview or open directly. A system's table may say
// otherwise (an office suite claims .csv), so this one comes first.
constexpr std::array<TypeRow, 46> kCommonTypes = {{
    {"txt", "text/plain"},
    {"log", "text/plain"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"csv", "text/csv"},
    {"ics", "text/calendar"},
    {"vcf", "text/vcard"},
    {"pdf", "application/pdf"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"bmp", "image/bmp"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"svg", "image/svg+xml"},
    {"webp", "image/webp"},
    {"doc", "application/msword"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"xls", "application/vnd.ms-excel"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {"odt", "application/vnd.oasis.opendocument.text"},
    {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
    {"odp", "application/vnd.oasis.opendocument.presentation"},
    {"rtf", "application/rtf"},
    {"zip", "application/zip"},
    {"gz", "application/gzip"},
    {"7z", "application/x-7z-compressed"},
    {"tar", "application/x-tar"},
    {"rar", "application/vnd.rar"},
    {"mp3", "audio/mpeg"},
    {"wav", "audio/wav"},
    {"ogg", "audio/ogg"},
    {"m4a", "audio/mp4"},
    {"mp4", "video/mp4"},
    {"mpg", "video/mpeg"},
    {"mpeg", "video/mpeg"},
    {"mov", "video/quicktime"},
    {"avi", "video/x-msvideo"},
    {"webm", "video/webm"},
    {"json", "application/json"},
    {"xml", "application/xml"},
    {"msg", "application/vnd.ms-outlook"},
    {"mbox", "application/mbox"},
}};

// RFC 2045's token: printable ASCII but blanks and tspecials.
bool IsToken(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text) {
        if (c <= ' ' || c >= 0x7F ||
            std::string_view("()<>@,;:\\\"/[]?=").find(c) != std::string_view::npos)
            return false;
    }
    return true;
}

// A system's answer, lower-cased, when it is a type an attachment can have:
// a message (an .eml file: message/rfc822) or multipart part may not be
// Base64 (RFC 2046), so such a file goes as application/octet-stream.
std::string UsableType(std::string type) {
    for (char& c : type) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    const size_t slash = type.find('/');
    if (slash == std::string::npos || !IsToken(std::string_view(type).substr(0, slash)) ||
        !IsToken(std::string_view(type).substr(slash + 1)) ||
        type.compare(0, slash, "message") == 0 || type.compare(0, slash, "multipart") == 0)
        return std::string();
    return type;
}

}  // namespace

std::string MediaTypeOfFile(std::u16string_view sFileName) {
    // The extension: what follows the last "." of the name (not of a folder),
    // when it is short, plain ASCII.
    const size_t slash = sFileName.find_last_of(u"\\/");
    const std::u16string_view name =
        slash == std::u16string_view::npos ? sFileName : sFileName.substr(slash + 1);
    const size_t dot = name.rfind(u'.');
    std::string extension;
    if (dot != std::u16string_view::npos && name.size() - dot - 1 <= 16) {
        for (char16_t c : name.substr(dot + 1)) {
            if (!((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                  (c >= u'0' && c <= u'9') || c == u'-' || c == u'_' || c == u'+')) {
                extension.clear();
                break;
            }
            extension.push_back(static_cast<char>(c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c));
        }
    }
    if (!extension.empty()) {
        for (const auto& [ext, type] : kCommonTypes) {
            if (extension == ext)
                return std::string(type);
        }
        std::string type = UsableType(SystemMediaType(extension));
        if (!type.empty())
            return type;
    }
    return "application/octet-stream";
}

}  // namespace platform
