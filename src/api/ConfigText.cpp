#include "api/ConfigText.h"

#include <climits>

namespace {

size_t FirstNonSeparator(const std::u16string& text, size_t from) {
    for (size_t i = from; i < text.size(); ++i) {
        if (!IsConfigSeparatorChar(text[i]))
            return i;
    }
    return std::u16string::npos;
}

size_t NextSeparator(const std::u16string& text, size_t from) {
    for (size_t i = from; i < text.size(); ++i) {
        if (IsConfigSeparatorChar(text[i]))
            return i;
    }
    return std::u16string::npos;
}

}  // namespace

std::vector<std::u16string> SplitConfigText(const std::u16string& text) {
    std::vector<std::u16string> fields;
    size_t start = FirstNonSeparator(text, 0);
    size_t search = 0;
    for (;;) {
        size_t end = NextSeparator(text, search);
        if (end == std::u16string::npos)
            break;
        if (start != std::u16string::npos && start < end)
            fields.push_back(text.substr(start, end - start));
        else
            fields.emplace_back();
        search = end + kConfigSeparator.size();
        start = FirstNonSeparator(text, search);
    }
    if (start != std::u16string::npos)
        fields.push_back(text.substr(start));
    return fields;
}

std::u16string JoinConfigText(const std::vector<std::u16string>& fields) {
    std::u16string text;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i != 0)
            text += kConfigSeparator;
        text += fields[i];
    }
    return text;
}

int ConfigFieldToInt(const std::u16string& field) {
    size_t i = 0;
    while (i < field.size() && (field[i] == u' ' || field[i] == u'\t' || field[i] == u'\r' ||
                                field[i] == u'\n' || field[i] == u'\v' || field[i] == u'\f'))
        ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == u'+' || field[i] == u'-'))
        negative = field[i++] == u'-';
    long long value = 0;
    for (; i < field.size() && field[i] >= u'0' && field[i] <= u'9'; ++i) {
        value = value * 10 + (field[i] - u'0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}
