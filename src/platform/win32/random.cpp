// Random bytes on Windows, from the CryptoAPI's default provider.
#include "../platform.h"

#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

namespace {
// CryptGenRandom takes a 32-bit length; larger requests go in pieces.
constexpr size_t max_random_chunk = 1u << 30;
}  // namespace

bool platform_random_bytes(void *out, size_t n) {
    if (n == 0) return true;
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return false;
    auto *next = static_cast<BYTE *>(out);
    bool ok = true;
    while (ok && n > 0) {
        size_t chunk = n < max_random_chunk ? n : max_random_chunk;
        ok = CryptGenRandom(provider, static_cast<DWORD>(chunk), next) != FALSE;
        next += chunk;
        n -= chunk;
    }
    CryptReleaseContext(provider, 0);
    return ok;
}
