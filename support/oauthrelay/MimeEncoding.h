// The encodings a mail message needs on the way out: Base64 and quoted-printable
// bodies, RFC 2047 encoded words for header text, RFC 2231 parameters for file
// names, and the dot-stuffing of the SMTP DATA phase. Every function is linear
// in its input.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace oauthrelay {

// Base64 in lines of nLineLength characters joined with CRLF (no CRLF after the
// last line); 0 gives one unbroken run.
std::string EncodeBase64(std::string_view data, size_t nLineLength);
// The same, appended to out (no copy of a large attachment's text).
void AppendBase64(std::string& out, std::string_view data, size_t nLineLength);
// How many characters AppendBase64 adds.
size_t Base64Length(size_t nBytes, size_t nLineLength);

// Every CR, LF and CRLF becomes CRLF.
std::string NormalizeLineEnds(std::string_view text);

// Quoted-printable of CRLF-separated text: lines of at most 76 characters with
// soft breaks, blanks before a line end and every byte outside printable ASCII
// encoded, "=" encoded.
std::string EncodeQuotedPrintable(std::string_view text);

// Unstructured header text (a subject, a custom header value) ready to follow
// "Name: ", where nUsed characters of the first line are already taken.
// Line breaks in the text become blanks. Plain ASCII is folded at blanks;
// anything else (non-ASCII, control characters, a literal "=?", a word too long
// to fold) becomes UTF-8 encoded words, folded between words.
std::string EncodeHeaderText(std::string_view utf8, size_t nUsed);

// A display name for an address header, where nUsed characters of its line
// come before it: as it is when it is made of atoms, as a quoted string when it
// holds other ASCII, as an encoded word otherwise. A name too long for that is
// folded onto lines of 76 characters: its atoms stay as they are and the rest
// becomes encoded words. ASCII is left alone up to 998 characters a line and
// beyond that folded at blanks where it can be.
std::string EncodeDisplayName(std::string_view utf8, size_t nUsed);

// The column after text that starts at nColumn: the length of its last line.
size_t EndColumn(std::string_view text, size_t nColumn);

// A MIME parameter such as filename, for a folded line of its own (after a
// tab): name="value" for printable ASCII, else the RFC 2231 form
// name*=utf-8''%XX..., in numbered sections on folded lines when it would pass
// 78 characters.
std::string EncodeParameter(std::string_view name, std::string_view utf8);

// The name parameter of an attachment's Content-Type, for a folded line of its
// own: as EncodeParameter writes it when that is a quoted string, else UTF-8
// "B" words on folded lines in the quoted string, which older readers take.
std::string NameParameter(std::string_view utf8);

// SMTP dot-stuffing across any number of chunks: a "." that starts a line is
// doubled. The state (start of line or not) carries over between chunks.
class DotStuffer {
public:
    void Append(std::string& out, std::string_view chunk);

private:
    bool m_bLineStart = true;
    bool m_bAfterCR = false;
};

}  // namespace oauthrelay
