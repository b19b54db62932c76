// What only the Windows host shows: the provider asks the system's own chain
// engine and SSL policy, with the host name and the waivers of the store, and
// the chain of a delivery ends at the trusted test CA (Wine's SSL policy lets
// a chain that ends short of a root pass, so a delivery alone does not show
// that the certificate was verified).
#include <windows.h>
// After windows.h, whose types it uses.
#include <wincrypt.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ImportPatch.h"
#include "SendFixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The real SSL policy, noting the server name and the checks it was asked for.
struct PolicyRequests {
    static inline ImportPatch* patch = nullptr;
    static inline std::vector<std::wstring> serverNames;
    static inline std::vector<DWORD> checks;

    static BOOL WINAPI Verify(LPCSTR policy, PCCERT_CHAIN_CONTEXT chain,
                              PCERT_CHAIN_POLICY_PARA para, PCERT_CHAIN_POLICY_STATUS status) {
        if (policy == CERT_CHAIN_POLICY_SSL && para != nullptr &&
            para->pvExtraPolicyPara != nullptr) {
            const auto* ssl =
                static_cast<const SSL_EXTRA_CERT_CHAIN_POLICY_PARA*>(para->pvExtraPolicyPara);
            serverNames.push_back(ssl->pwszServerName != nullptr ? ssl->pwszServerName : L"");
            checks.push_back(ssl->fdwChecks);
        }
        return patch->Original<decltype(&::CertVerifyCertificateChainPolicy)>()(policy, chain, para,
                                                                                status);
    }
};

using SendWindowsTest = SendFixture;

TEST_F(SendWindowsTest, TheSystemsChainPolicyGetsTheHostNameAndTheWaivers) {
    ImportPatch patch(::GetModuleHandleW(L"smtpmail.dll"), "CRYPT32.dll",
                      "CertVerifyCertificateChainPolicy",
                      reinterpret_cast<const void*>(&PolicyRequests::Verify));
    ASSERT_EQ(patch.Error(), "");
    PolicyRequests::patch = &patch;
    const CertificateRow rows[] = {
        {"server", "localhost", 0, 0},
        {"wrongname", "127.0.0.1", 0x1000, 0},
        {"expired", "localhost", 0x2000, 0},
        {"selfsigned", "localhost", 0x4000, 0},  // nothing is examined
    };
    for (const CertificateRow& row : rows) {
        PolicyRequests::serverNames.clear();
        PolicyRequests::checks.clear();
        ExpectCertificateRows({row});
        if (row.flags == 0x4000) {
            EXPECT_THAT(PolicyRequests::checks, IsEmpty());
            continue;
        }
        if (std::strcmp(row.peer, "server") == 0) {
            EXPECT_EQ(LastChainProblems(), 0u) << "the chain did not end at the trusted test CA";
        }
        EXPECT_THAT(PolicyRequests::serverNames,
                    ElementsAre(std::wstring(row.host, row.host + std::strlen(row.host))));
        EXPECT_THAT(PolicyRequests::checks, ElementsAre(row.flags));
    }
}

}  // namespace
