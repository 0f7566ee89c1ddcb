// Test tool: trusts (or forgets) a test certificate authority inside the machine it runs on —
// under Wine, only that prefix. Run it in a test prefix, never on a real machine.
//   trust_test_ca add <ca.der>      adds the DER certificate to the local machine's Root store
//   trust_test_ca remove <ca.der>   deletes it again
// Exits 0 on success, 1 on failure (with the error code on standard error), 2 on usage errors.
#include <windows.h>
#include <wincrypt.h>

#include "common/console.h"
#include "common/handle.h"

namespace {

struct CertStoreTraits {
    using value_type = HCERTSTORE;
    static HCERTSTORE empty() { return nullptr; }
    static bool valid(HCERTSTORE h) { return h != nullptr; }
    static void close(HCERTSTORE h) { CertCloseStore(h, 0); }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool add = argc == 3 && !lstrcmpW(argv[1], L"add");
    bool remove = argc == 3 && !lstrcmpW(argv[1], L"remove");
    if (!add && !remove) {
        console_eprint(L"usage: trust_test_ca add|remove <ca.der>\n");
        return 2;
    }
    static BYTE der[16384];
    DWORD cb = 0;
    {
        OwnedHandle file(CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file || !ReadFile(file.get(), der, sizeof der, &cb, nullptr) || cb == 0 || cb == sizeof der) {
            console_eprint(L"cannot read %s: %lu\n", argv[2], GetLastError());
            return 1;
        }
    }
    Owned<CertStoreTraits> store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
    if (!store) {
        console_eprint(L"cannot open the Root store: %lu\n", GetLastError());
        return 1;
    }
    if (add) {
        if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der, cb, CERT_STORE_ADD_REPLACE_EXISTING,
                                              nullptr)) {
            console_eprint(L"cannot add the certificate: %lu\n", GetLastError());
            return 1;
        }
        console_print(L"trusted\n");
        return 0;
    }
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, der, cb);
    if (!wanted) return 1;
    PCCERT_CONTEXT found = CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted,
                                                      nullptr);
    CertFreeCertificateContext(wanted);
    if (!found) return 0;  // nothing to forget
    bool ok = CertDeleteCertificateFromStore(found) != FALSE;  // frees found
    console_print(ok ? L"removed\n" : L"cannot remove\n");
    return ok ? 0 : 1;
}
