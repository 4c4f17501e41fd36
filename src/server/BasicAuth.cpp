#include "server/BasicAuth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <vector>

namespace ulvarend::server {
namespace {

// Digests of equal length for any input, so that the comparison below neither stops early nor
// depends on the lengths.
std::array<unsigned char, 32> digest(const std::string& text) {
    std::array<unsigned char, 32> out{};
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out.data());
    return out;
}

} // namespace

std::string basicAuthorization(const std::string& username, const std::string& password) {
    const std::string pair = username + ":" + password;
    std::vector<unsigned char> out(4 * ((pair.size() + 2) / 3) + 1);
    const int length =
        EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(pair.data()),
                        static_cast<int>(pair.size()));
    return "Basic " +
           std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(length));
}

BasicAuth::BasicAuth(const std::string& username, const std::string& password)
    : expected(digest(basicAuthorization(username, password))) {}

bool BasicAuth::admits(const std::string& authorization) const {
    const auto given = digest(authorization);
    return CRYPTO_memcmp(given.data(), expected.data(), expected.size()) == 0;
}

} // namespace ulvarend::server
