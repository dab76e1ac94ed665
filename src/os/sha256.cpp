#include "os/sha256.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>
#else
#include <nettle/sha2.h>
#endif

#include <algorithm>
#include <cstdlib>

namespace kq::os {

#ifdef _WIN32
// A provider that cannot be had, or a hash that fails, is a broken system library: nothing a
// caller could do better than stop.
Sha256Digest Sha256(std::span<const uint8_t> bytes) {
    Sha256Digest digest{};
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0 &&
              BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
    // BCryptHashData takes at most 4 GiB at once.
    for (size_t done = 0; ok && done < bytes.size();) {
        const auto chunk = static_cast<ULONG>(std::min<size_t>(bytes.size() - done, 1u << 30));
        ok = BCryptHashData(hash, const_cast<PUCHAR>(bytes.data() + done), chunk, 0) >= 0;
        done += chunk;
    }
    ok = ok && BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0) >= 0;
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!ok) std::abort();
    return digest;
}
#else
Sha256Digest Sha256(std::span<const uint8_t> bytes) {
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, bytes.size(), bytes.data());
    Sha256Digest digest{};
    sha256_digest(&context, digest.size(), digest.data());
    return digest;
}
#endif

}  // namespace kq::os
