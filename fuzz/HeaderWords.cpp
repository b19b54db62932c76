#include "HeaderWords.h"

namespace fuzzing {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The encoded word at pos: its end (one past "?=") and its decoded bytes.
// npos when no word starts there.
std::size_t ReadWord(const std::string& text, std::size_t pos, std::string& bytes) {
    if (text.compare(pos, 2, "=?") != 0)
        return std::string::npos;
    const std::size_t charsetEnd = text.find('?', pos + 2);
    if (charsetEnd == std::string::npos || charsetEnd + 2 >= text.size() ||
        (text[charsetEnd + 1] != 'q' && text[charsetEnd + 1] != 'Q') || text[charsetEnd + 2] != '?')
        return std::string::npos;
    const std::size_t end = text.find("?=", charsetEnd + 3);
    if (end == std::string::npos)
        return std::string::npos;
    bytes.clear();
    for (std::size_t i = charsetEnd + 3; i < end; ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\r' || c == '\n')
            return std::string::npos;
        if (c == '_') {
            bytes.push_back(' ');
        } else if (c == '=') {
            if (i + 2 >= end || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0)
                return std::string::npos;
            bytes.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else {
            bytes.push_back(c);
        }
    }
    return end + 2;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::string Unfold(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    // A fold before the first word leaves only the blank after the header's
    // colon, which readers drop.
    const std::size_t first = text.compare(0, 3, "\r\n ") == 0 ? 3 : 0;
    for (std::size_t i = first; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 2 < text.size() && text[i + 1] == '\n' && IsBlank(text[i + 2])) {
            ++i;
            continue;
        }
        out.push_back(text[i]);
    }
    return out;
}

bool DecodeWords(const std::string& text, std::string& decoded) {
    decoded.clear();
    std::string bytes;
    bool bAfterWord = false;
    std::size_t blanks = 0;  // blanks held back after a word
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t end = ReadWord(text, i, bytes);
        if (end != std::string::npos) {
            if (!bAfterWord)
                decoded.append(blanks, ' ');
            decoded += bytes;
            blanks = 0;
            bAfterWord = true;
            i = end;
            continue;
        }
        if (text.compare(i, 2, "=?") == 0 && text.find("?=", i + 2) != std::string::npos)
            return false;
        if (bAfterWord && text[i] == ' ') {
            ++blanks;
        } else {
            decoded.append(blanks, ' ');
            blanks = 0;
            bAfterWord = false;
            decoded.push_back(text[i]);
        }
        ++i;
    }
    decoded.append(blanks, ' ');
    return true;
}

bool OnlyFolds(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            return false;
        if (text[i] == '\r' &&
            (i + 2 >= text.size() || text[i + 1] != '\n' || !IsBlank(text[i + 2])))
            return false;
    }
    return true;
}

bool LinesWithin(const std::string& text, std::size_t nColumn, std::size_t limit) {
    std::size_t column = nColumn;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            if (column > limit)
                return false;
            column = 0;
            ++i;
        } else {
            ++column;
        }
    }
    return column <= limit;
}

bool WordsWithin(const std::string& text, std::size_t limit) {
    std::string bytes;
    for (std::size_t i = text.find("=?"); i != std::string::npos; i = text.find("=?", i + 1)) {
        const std::size_t end = ReadWord(text, i, bytes);
        if (end != std::string::npos && end - i > limit)
            return false;
    }
    return true;
}

}  // namespace fuzzing
