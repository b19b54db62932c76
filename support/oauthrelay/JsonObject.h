// The members of a JSON object, as far as a token endpoint's answer needs
// them: strings and numbers of the top level. Nested objects and arrays are
// checked for correct syntax and skipped. Parse refuses anything that is not
// one complete, well-formed JSON object.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace oauthrelay {

class JsonObject {
public:
    static std::optional<JsonObject> Parse(std::string_view text);

    // A string member (escapes decoded, UTF-8).
    std::optional<std::string> GetString(const std::string& strName) const;
    // An integer member, given as a number or as a string of digits (some
    // endpoints send "expires_in": "3599").
    std::optional<long long> GetInteger(const std::string& strName) const;

private:
    enum class Kind { String, Number, Other };
    struct Member {
        Kind nKind;
        std::string strValue;  // decoded string, or the number as written
    };
    std::map<std::string, Member> m_Members;

    friend class JsonParser;
};

}  // namespace oauthrelay
