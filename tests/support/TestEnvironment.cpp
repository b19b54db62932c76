// Every POSIX test program's registry stand-in lives in a folder of its own
// (unless the caller chose one), gone when the program ends.
#if !defined(_WIN32)
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct TestEnvironment {
    TestEnvironment() {
        if (std::getenv("SMTPMAIL_REGISTRY_ROOT") != nullptr)
            return;
        const char* tmp = std::getenv("TMPDIR");
        m_root = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/smtpmail-test-registry-" +
                 std::to_string(::getpid());
        setenv("SMTPMAIL_REGISTRY_ROOT", m_root.c_str(), 0);
    }
    ~TestEnvironment() {
        std::error_code ec;  // (nothing to remove when the caller chose the folder)
        std::filesystem::remove_all(m_root, ec);
    }
    std::string m_root;
};

const TestEnvironment g_environment;

}  // namespace

#endif
