// The TSMTPException a call throws, for tests that look at its parts.
#pragma once

#include <functional>
#include <optional>

#include "transport/TSMTPException.h"

// The exception; nothing when the call throws none.
inline std::optional<TSMTPException> Catch(const std::function<void()>& call) {
    try {
        call();
    } catch (const TSMTPException& e) {
        return e;
    }
    return std::nullopt;
}
