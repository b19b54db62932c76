// trust-test-ca add|remove CA.der: puts the test CA into the local machine's
// Root store of the Wine prefix (or takes it out again), as an administrator
// would, so that the real chain engine trusts the test servers. Every earlier
// test CA of the same subject goes first: each test run makes a new one.
#include <windows.h>
// After windows.h, whose types it uses.
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "UnixPath.h"

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "trust-test-ca: %s (error 0x%lx)\n", what, ::GetLastError());
    return 1;
}

// Deletes every certificate of the store whose subject is the CA's. The
// search ends before the first deletion: a store that changes under a search
// may start it again.
void RemoveSameSubject(HCERTSTORE store, PCCERT_CONTEXT ca) {
    std::vector<PCCERT_CONTEXT> same;
    PCCERT_CONTEXT found = nullptr;
    while (
        (found = ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME,
                                              &ca->pCertInfo->Subject, found)) != nullptr)
        same.push_back(::CertDuplicateCertificateContext(found));
    for (PCCERT_CONTEXT c : same)
        ::CertDeleteCertificateFromStore(c);  // frees the context it is given
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::string(argv[1]) != "add" && std::string(argv[1]) != "remove")) {
        std::fprintf(stderr, "usage: trust-test-ca add|remove CA.der\n");
        return 2;
    }
    std::ifstream file(WindowsPathOf(argv[2]), std::ios::binary);
    const std::vector<BYTE> der((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
    if (der.empty())
        return Fail("cannot read the CA certificate");
    PCCERT_CONTEXT ca = ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                       static_cast<DWORD>(der.size()));
    if (ca == nullptr)
        return Fail("not a DER certificate");
    HCERTSTORE root =
        ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (root == nullptr)
        return Fail("cannot open the local machine's Root store");
    RemoveSameSubject(root, ca);
    int rc = 0;
    if (std::string(argv[1]) == "add" &&
        !::CertAddCertificateContextToStore(root, ca, CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
        rc = Fail("cannot add the CA to the Root store");
    ::CertCloseStore(root, 0);
    ::CertFreeCertificateContext(ca);
    return rc;
}
