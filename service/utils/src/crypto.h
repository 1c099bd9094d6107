#pragma once
// Cipher for the secrets stored in the configuration table: AES-256-CBC with key and IV derived
// from a passphrase compiled into the program (EVP_BytesToKey, md5, 2000 iterations, no salt).
// Cipher text is Base64 with CR LF after every 72 characters. Safe from any thread.

#include <string>

namespace korvane::Utils::Crypto {

std::string encrypt(const std::string& plain);
// Accepts the text encrypt() produces, line breaks included. Throws on bad Base64 or padding.
std::string decrypt(const std::string& base64);

}  // namespace korvane::Utils::Crypto
