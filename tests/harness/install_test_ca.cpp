// Puts the test run's CA into the machine's Root store of the Wine prefix,
// so the plugin's WinHTTP client trusts the web peer with its full checks.
// CAs of earlier runs (same subject) are taken out first, so the store does
// not grow with every run.
//
//   install_test_ca.exe Z:/path/to/ca.pem [SUBJECT]   (default: the tests' CA)
#include <windows.h>
// After windows.h, which it builds on.
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {
constexpr const char *test_ca_subject = "Quorvane Voice Test CA";
constexpr const char *root_store_key = "Software\\Microsoft\\SystemCertificates\\Root";

int fail(const char *what) {
    std::fprintf(stderr, "install_test_ca: %s failed (error %lu)\n", what, GetLastError());
    return 1;
}
}  // namespace

int main(int argc, char **argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: install_test_ca CA.pem [SUBJECT]\n");
        return 2;
    }
    const char *subject = argc == 3 ? argv[2] : test_ca_subject;
    std::ifstream in(argv[1], std::ios::binary);
    std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (pem.empty()) {
        std::fprintf(stderr, "install_test_ca: cannot read %s\n", argv[1]);
        return 1;
    }
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
        return fail("decoding the PEM file");
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr))
        return fail("decoding the PEM file");

    // The registry half of the machine's Root store, opened directly: Wine
    // answers the system store with a copy in memory for its own roots, and
    // what is added there is gone with the process.
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, root_store_key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return fail("opening the machine Root store's key");
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_REG, 0, 0, 0, key);
    RegCloseKey(key);
    if (!root) return fail("opening the machine Root store");
    for (;;) {
        PCCERT_CONTEXT old =
            CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A, subject, nullptr);
        if (!old) break;
        CertDeleteCertificateFromStore(old);  // frees the context too
    }
    BOOL added = CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der.data(), size,
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(root, 0);
    if (!added) return fail("adding the CA");
    std::printf("install_test_ca: %s added to the machine Root store\n", argv[1]);
    return 0;
}
