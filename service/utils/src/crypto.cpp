#include "crypto.h"

#include <Poco/Crypto/Cipher.h>
#include <Poco/Crypto/CipherFactory.h>
#include <Poco/Crypto/CipherKey.h>

namespace korvane::Utils::Crypto {

namespace {

// Every installation that shares a database must use this same value; changing it makes the
// stored secrets unreadable.
constexpr char kPassphrase[] = "Kv7#pLx2!qR9@mZ4$wT6^nB8&hJ3*dF5";
static_assert(sizeof(kPassphrase) - 1 == 32, "the passphrase is 32 bytes");

constexpr int kIterations = 2000;

// An empty salt makes Poco derive key and IV without salt, as EVP_BytesToKey with NULL.
Poco::Crypto::Cipher::Ptr makeCipher() {
    Poco::Crypto::CipherKey key("aes-256-cbc", std::string(kPassphrase, sizeof(kPassphrase) - 1),
                                "", kIterations, "md5");
    return Poco::Crypto::CipherFactory::defaultFactory().createCipher(key);
}

}  // namespace

std::string encrypt(const std::string& plain) {
    return makeCipher()->encryptString(plain, Poco::Crypto::Cipher::ENC_BASE64);
}

std::string decrypt(const std::string& base64) {
    return makeCipher()->decryptString(base64, Poco::Crypto::Cipher::ENC_BASE64);
}

}  // namespace korvane::Utils::Crypto
