#include "crypto.h"

#include <Poco/Crypto/CipherKey.h>
#include <Poco/Exception.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

namespace {

namespace Crypto = korvane::Utils::Crypto;

// Must equal the passphrase compiled into the Agent: databases written by earlier builds are
// only readable with the same one.
const std::string kPassphrase = "Kv7#pLx2!qR9@mZ4$wT6^nB8&hJ3*dF5";

std::string withoutLineBreaks(std::string text) {
    std::erase(text, '\r');
    std::erase(text, '\n');
    return text;
}

// What the cipher must produce, computed with OpenSSL alone: key and IV from EVP_BytesToKey
// without salt, AES-256-CBC with PKCS#7 padding, plain Base64.
std::string opensslReference(const std::string& plain) {
    unsigned char key[32];
    unsigned char iv[16];
    const int keyLength = EVP_BytesToKey(EVP_aes_256_cbc(), EVP_md5(), nullptr,
                                         reinterpret_cast<const unsigned char*>(kPassphrase.data()),
                                         static_cast<int>(kPassphrase.size()), 2000, key, iv);
    EXPECT_EQ(keyLength, 32);

    std::vector<unsigned char> cipher(plain.size() + 32);
    int written = 0;
    int finalWritten = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv);
    EVP_EncryptUpdate(ctx, cipher.data(), &written,
                      reinterpret_cast<const unsigned char*>(plain.data()),
                      static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, cipher.data() + written, &finalWritten);
    EVP_CIPHER_CTX_free(ctx);

    const int cipherLength = written + finalWritten;
    std::string base64(4 * ((cipherLength + 2) / 3) + 1, '\0');
    const int base64Length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()),
                                             cipher.data(), cipherLength);
    base64.resize(base64Length);
    return base64;
}

TEST(Crypto, SaltlessKeyMatchesOpenSsl) {
    unsigned char key[32];
    unsigned char iv[16];
    EVP_BytesToKey(EVP_aes_256_cbc(), EVP_md5(), nullptr,
                   reinterpret_cast<const unsigned char*>(kPassphrase.data()),
                   static_cast<int>(kPassphrase.size()), 2000, key, iv);
    const Poco::Crypto::CipherKey pocoKey("aes-256-cbc", kPassphrase, "", 2000, "md5");
    EXPECT_EQ(pocoKey.getKey(), std::vector<unsigned char>(key, key + 32));
    EXPECT_EQ(pocoKey.getIV(), std::vector<unsigned char>(iv, iv + 16));
}

TEST(Crypto, CipherTextIsTheOpenSslOneWithLineBreaks) {
    const std::vector<std::string> plains = {
        "",
        "abc",
        "exactly 16 bytes",
        "seventeen bytes!!",
        std::string(100, 'x'),
        "пароль с пробелом",
        std::string("nul\0inside", 10),
    };
    for (const auto& plain : plains) {
        const std::string encrypted = Crypto::encrypt(plain);
        EXPECT_EQ(withoutLineBreaks(encrypted), opensslReference(plain)) << plain;
        EXPECT_EQ(Crypto::decrypt(encrypted), plain);
        EXPECT_EQ(Crypto::decrypt(withoutLineBreaks(encrypted)), plain);
    }
}

TEST(Crypto, LongCipherTextBreaksLinesEvery72Characters) {
    const std::string encrypted = Crypto::encrypt(std::string(100, 'y'));  // 112 bytes, 152 chars
    const auto first = encrypted.find("\r\n");
    ASSERT_EQ(first, 72u) << encrypted;
    const auto second = encrypted.find("\r\n", first + 2);
    ASSERT_EQ(second, 72u + 2 + 72u) << encrypted;
    EXPECT_EQ(withoutLineBreaks(encrypted).size(), 152u);
}

TEST(Crypto, UnreadableCipherTextThrows) {
    const std::string valid = Crypto::encrypt("some secret");
    const std::vector<std::string> bad = {
        "not base64 !!", "orchard",
        valid.substr(0, valid.size() - 4),  // not a whole number of blocks
        "AAAAAAAAAAAAAAAAAAAAAA==",         // one block whose padding is wrong
    };
    for (const auto& text : bad) {
        EXPECT_ANY_THROW(Crypto::decrypt(text)) << text;
    }
}

}  // namespace
