// Fernet tokens (the published format: version 0x80, 64-bit big-endian time stamp, 16-byte IV,
// AES-128-CBC with PKCS#7 padding, HMAC-SHA256 over everything before it, URL-safe base64 text with
// padding) over OpenSSL's libcrypto.
//
// Key and token texts are decoded the way the current `cryptography` package reads them: the URL-safe
// alphabet only, ASCII blanks (space, tab, newline, form feed, carriage return) skipped anywhere, padding
// optional but only at the very end, and a final group of one character refused. So every token and key
// text that `cryptography.fernet.Fernet` accepts is accepted here and every one it refuses is refused.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ostrel::native {

// The key built into the runtime for checkpoint records: a Fernet key in its 44-character text form.
// Writer and reader of encrypted checkpoint records rely on this one value.
inline constexpr std::string_view kCheckpointsEncryptionKey = "qPQywg0nCX4OPRAeirj4CW5Hai5tFJ8OMuUHcGnGDdQ=";
// The same key as the Python module keeps it: standard base64 of the text form above (60 characters,
// one pad). `base64.b64decode` of this gives kCheckpointsEncryptionKey.
inline constexpr std::string_view kCheckpointsEncryptionKeyBase64 =
    "cVBReXdnMG5DWDRPUFJBZWlyajRDVzVIYWk1dEZKOE9NdVVIY0duR0RkUT0=";

// The token is no valid Fernet token under the key: text that is no base64, a wrong version byte, too
// short, a signature mismatch (damaged token or another key), bad padding, or expired under a TTL.
// what() names the reason, for diagnostics only.
class InvalidFernetToken : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The key text does not decode to exactly 32 bytes. what() is always kInvalidFernetKeyMessage, the text
// the `cryptography` package gives its ValueError in the same case.
inline constexpr std::string_view kInvalidFernetKeyMessage =
    "Fernet key must be 32 url-safe base64-encoded bytes.";
class InvalidFernetKey : public std::invalid_argument {
 public:
  InvalidFernetKey() : std::invalid_argument(std::string(kInvalidFernetKeyMessage)) {}
};

class FernetKey {
 public:
  static constexpr std::size_t kSize = 32;
  static constexpr std::size_t kIvSize = 16;
  using Iv = std::array<unsigned char, kIvSize>;

  // Decodes a key text (normally 44 URL-safe base64 characters). Throws InvalidFernetKey.
  explicit FernetKey(std::string_view key_text);
  ~FernetKey();
  FernetKey(const FernetKey&) = default;
  FernetKey& operator=(const FernetKey&) = default;

  // A fresh random key (RAND_bytes).
  static FernetKey generate();
  // The key's text form: 44 URL-safe base64 characters.
  std::string text() const;

  // Encrypts `plain` into a token, stamped with the current time and a fresh random IV: two calls on the
  // same buffer give different tokens.
  std::string encrypt(std::string_view plain) const;
  // Same, with the time stamp (seconds since the epoch) and the IV given: deterministic.
  std::string encrypt_at(std::string_view plain, std::uint64_t timestamp, const Iv& iv) const;

  // Verifies and decrypts a token. Without `ttl_seconds` a token of any age decrypts; with it, a token
  // older than `ttl_seconds` or stamped more than 60 s in the future is refused.
  // Throws InvalidFernetToken.
  std::string decrypt(std::string_view token, std::optional<std::int64_t> ttl_seconds = std::nullopt) const;
  // Same, with "now" given (seconds since the epoch) for the TTL test.
  std::string decrypt_at(std::string_view token, std::optional<std::int64_t> ttl_seconds,
                         std::int64_t now) const;

  // The time stamp of a token whose signature verifies under this key. Throws InvalidFernetToken.
  std::uint64_t extract_timestamp(std::string_view token) const;

 private:
  FernetKey() = default;
  std::array<unsigned char, 16> signing_{};
  std::array<unsigned char, 16> encryption_{};
};

// Convenience forms over a key text: decode the key (InvalidFernetKey), then encrypt or decrypt
// (InvalidFernetToken).
std::string fernet_encrypt(std::string_view key_text, std::string_view plain);
std::string fernet_decrypt(std::string_view key_text, std::string_view token,
                           std::optional<std::int64_t> ttl_seconds = std::nullopt);

// Base64 decoding as Python's `base64.urlsafe_b64decode` does it (both alphabets, foreign characters
// skipped, decoding stops at the first complete pad). Returns false (leaving `out` unspecified) where
// Python's decoder raises binascii.Error. Used for the stored form of the built-in key.
bool base64_decode_lenient(std::string_view text, std::string& out);
// URL-safe base64 with padding.
std::string base64_urlsafe_encode(std::string_view bytes);

}  // namespace ostrel::native
