// One node of the MIME tree of an outgoing message: a text part, an
// attachment (a file) or a container of child parts. It produces the exact
// header, body and footer bytes the session writes after DATA.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

class TSMTPBodyPart {
public:
    TSMTPBodyPart();
    TSMTPBodyPart(const TSMTPBodyPart& source);
    TSMTPBodyPart& operator=(const TSMTPBodyPart& source);
    virtual ~TSMTPBodyPart();

    int AddChildBodyPart(const TSMTPBodyPart& part);
    TSMTPBodyPart* FindFirstBodyPart(std::u16string sContentType);
    TSMTPBodyPart* GetChildBodyPart(int nIndex) const;
    int GetNumberOfChildBodyParts() const;
    void RemoveChildBodyPart(int nIndex);
    bool SetFilename(const std::u16string& sPath);
    void SetText(const std::u16string& sText);

    std::u16string GetText() const { return m_sText; }
    std::u16string GetCharset() const { return m_sCharset; }
    // The text's bytes, and the charset they are in: the part's charset when
    // its name is known and it has every character of the text; UTF-8 (and
    // the name "utf-8") otherwise. "utf-8" in any case is UTF-8 at once.
    std::u16string EncodeText(std::string& bytes) const;
    // The charset EncodeText names.
    std::u16string TextCharset() const;
    std::u16string GetContentType() const { return m_sContentType; }
    std::u16string GetBoundary() const { return m_sBoundary; }

    // Each gives a new block of count + 1 bytes ending in NUL (count excludes
    // it); release it with the matching Free operation.
    bool GetHeader(char*& pBuffer, DWORD& dwSize);
    bool GetBody(char*& pBuffer, DWORD& dwSize);
    bool GetFooter(char*& pBuffer, DWORD& dwSize);
    static void FreeHeader(char*& pBuffer);
    static void FreeBody(char*& pBuffer);
    static void FreeFooter(char*& pBuffer);

    // Text encodings, shared with the message and the address record.
    static char HexDigit(int nDigit);
    static std::string QuotedPrintableEncode(const std::string& sText);
    static std::string QEncode(const char* pszText, const char* pszCharset);
    static std::string HeaderEncode(const std::u16string& sValue, const std::u16string& sCharset);
    // HeaderEncode for a header line on which nColumn characters come before
    // the text. An encoded word that would pass column 76 becomes several
    // words on folded lines; ASCII text that would pass column 998 is folded
    // at blanks, or encoded when it has none. Anything shorter comes out as
    // HeaderEncode writes it.
    static std::string HeaderEncode(const std::u16string& sValue, const std::u16string& sCharset,
                                    size_t nColumn);
    // The same for a display name (a phrase): a long name keeps its plain
    // words and encodes the rest, so that readers get the blanks between its
    // words back exactly.
    static std::string HeaderEncodePhrase(const std::u16string& sValue,
                                          const std::u16string& sCharset, size_t nColumn);
    // The name parameter of an attachment's Content-Type and the filename
    // parameter of its Content-Disposition, each for a line of its own that
    // starts with a blank: a quoted string for a short name of printable
    // ASCII; otherwise encoded words in the quoted string of name (as older
    // readers take them) and the RFC 2231 form of filename, split into
    // numbered sections on folded lines of at most 78 characters.
    static std::string NameParameter(const std::u16string& sName);
    static std::string FilenameParameter(const std::u16string& sName);
    static void FixSingleDotT(std::u16string& sText);
    static void FixSingleDotA(std::string& sText);
    // SMTP transparency of a body block on the wire: FixSingleDotA, and a "."
    // that starts the block gets its extra "." too. GetBody applies it to
    // quoted-printable and unencoded bodies; the stored text is never stuffed.
    // The session applies it to the UTF-8 text of a single-part message, which
    // it sends without GetBody.
    static void MakeTransparent(std::string& sBody);

    std::u16string m_sFilename;
    std::u16string m_sTitle;
    std::u16string m_sContentType;
    std::u16string m_sCharset;
    std::u16string m_sContentBase;
    std::u16string m_sContentID;
    std::u16string m_sContentLocation;
    std::u16string m_sText;
    std::vector<TSMTPBodyPart*> m_ChildBodyParts;
    TSMTPBodyPart* m_pParentBodyPart;
    std::u16string m_sBoundary;
    BOOL m_bQuotedPrintable;
    BOOL m_bBase64;
    DWORD m_dwMaxAttachmentSize;
};
