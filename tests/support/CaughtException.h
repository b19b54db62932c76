#pragma once

#include <functional>
#include <optional>

#include "transport/TSMTPException.h"

// The TSMTPException the call throws, if any.
inline std::optional<TSMTPException> Catch(const std::function<void()>& call) {
    try {
        call();
    } catch (const TSMTPException& e) {
        return e;
    }
    return std::nullopt;
}

// The message of the exception a call threw, "(none)" when it threw none.
inline std::u16string Thrown(const std::optional<TSMTPException>& e) {
    return e ? e->m_strMessage : u"(none)";
}
