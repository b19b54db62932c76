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
