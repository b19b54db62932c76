// The Linux host: paths as they are, OpenSSL's default trust store made the
// test CA alone, and the NTLM user of the file that NTLM_USER_FILE names.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "Environment.h"
#include "GssMechanismLeaks.h"  // the NTLM rows acquire credentials
#include "SendFixture.h"

const char kHostSeparator = '/';

std::string HostPath(const std::string& path) {
    return path;
}

uint64_t PeakMemoryBytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<uint64_t>(usage.ru_maxrss) * 1024;
}

std::shared_ptr<void> HoldTestCaTrust() {
    const std::string certs = PeerValue("path.certs");
    return std::shared_ptr<ScopedEnv>(new ScopedEnv{{"SSL_CERT_FILE", (certs + "/ca.pem").c_str()},
                                                    {"SSL_CERT_DIR", (certs + "/empty").c_str()}});
}

// OpenSSL, inside the provider, checks the certificate: the system is asked nothing.
void ExpectSystemCertificateCheck(const char*, unsigned, bool) {}

struct SessionUser::Impl {
    const std::string file = PeerValue("path.scratch") + "/ntlm-user-" + std::to_string(::getpid());
    ScopedEnv env{{"NTLM_USER_FILE", file.c_str()}};
    ~Impl() { std::filesystem::remove(file); }
};

SessionUser::SessionUser() : m_impl(std::make_unique<Impl>()) {}
SessionUser::~SessionUser() = default;

bool SessionUser::LogOn(const char* account) {
    if (account == nullptr)
        std::filesystem::remove(m_impl->file);
    else
        WriteBytes(m_impl->file, std::string(account) + "\n");
    return true;
}

std::vector<std::string> SpecialFiles(const std::string& folder) {
    EXPECT_EQ(::mkfifo((folder + "fifo").c_str(), 0600), 0);
    return {folder + "fifo", "/dev/zero"};
}
