// A reader's view of header text, for the oracles of the encoder targets:
// unfolding, RFC 2047 Q-encoded words, and the shape of the lines.
#pragma once

#include <cstddef>
#include <string>

namespace fuzzing {

// The text with every fold (CRLF before a blank or tab) removed, and the
// blank of a fold before the text.
std::string Unfold(const std::string& text);
// The text with its "=?charset?q?...?=" words decoded; blanks between two
// encoded words are dropped, all other text stays. False for a word that
// no reader could decode.
bool DecodeWords(const std::string& text, std::string& decoded);
// Every line break is a fold: CR LF followed by a blank or a tab.
bool OnlyFolds(const std::string& text);
// No line is longer than limit, the first counted from column nColumn.
bool LinesWithin(const std::string& text, std::size_t nColumn, std::size_t limit);
// No encoded word is longer than limit.
bool WordsWithin(const std::string& text, std::size_t limit);

}  // namespace fuzzing
