// Setting and clearing environment variables in tests, on POSIX and Windows.
#pragma once

#include <cstdlib>

inline void SetEnv(const char* name, const char* value) {
#if defined(_WIN32)
    ::_putenv_s(name, value);
#else
    ::setenv(name, value, 1);
#endif
}

inline void UnsetEnv(const char* name) {
#if defined(_WIN32)
    ::_putenv_s(name, "");
#else
    ::unsetenv(name);
#endif
}
