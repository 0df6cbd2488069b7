#include "native/fernet.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <ctime>
#include <memory>

namespace ostrel::native {
namespace {

constexpr unsigned char kVersion = 0x80;
constexpr std::size_t kTimestampSize = 8;
constexpr std::size_t kHeaderSize = 1 + kTimestampSize + FernetKey::kIvSize;  // version | ts | iv
constexpr std::size_t kHmacSize = 32;
constexpr std::size_t kBlock = 16;
constexpr std::int64_t kMaxClockSkew = 60;

// ---- base64 -------------------------------------------------------------------------------------

constexpr unsigned char kSkip = 0xFF;  // outside the alphabet: ignored
constexpr unsigned char kPad = 0xFE;   // '='

struct DecodeTable {
  unsigned char v[256];
  constexpr DecodeTable() : v() {
    for (auto& e : v) e = kSkip;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (unsigned char i = 0; i < 64; ++i) v[static_cast<unsigned char>(alphabet[i])] = i;
    v[static_cast<unsigned char>('-')] = 62;  // URL-safe alphabet
    v[static_cast<unsigned char>('_')] = 63;
    v[static_cast<unsigned char>('=')] = kPad;
  }
};
constexpr DecodeTable kDecode{};

constexpr char kEncodeUrlSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Upper bound of the decoded size of `n` characters.
constexpr std::size_t decoded_capacity(std::size_t n) { return n / 4 * 3 + 3; }

// Collects 6-bit values into bytes, four values to three bytes.
struct GroupDecoder {
  unsigned char* o;
  int quad = 0;  // values of the current group seen so far
  unsigned left = 0;

  void push(unsigned v) {
    switch (quad) {
      case 0:
        left = v;
        quad = 1;
        break;
      case 1:
        *o++ = static_cast<unsigned char>(left << 2 | v >> 4);
        left = v & 0x0F;
        quad = 2;
        break;
      case 2:
        *o++ = static_cast<unsigned char>(left << 4 | v >> 2);
        left = v & 0x03;
        quad = 3;
        break;
      default:
        *o++ = static_cast<unsigned char>(left << 6 | v);
        quad = 0;
        break;
    }
  }
};

// Decodes runs of eight characters that are all in the alphabet (and, for kUrlSafeOnly, not '+' or
// '/') eight at a time; stops at the first run that is not. Returns the new input position.
template <bool kUrlSafeOnly>
const unsigned char* decode_clean_runs(const unsigned char* p, const unsigned char* end, unsigned char*& o) {
  const unsigned char* const t = kDecode.v;
  while (end - p >= 8) {
    std::uint32_t any = 0;
    bool url_safe = true;
    for (int i = 0; i < 8; ++i) {
      any |= t[p[i]];
      if constexpr (kUrlSafeOnly) url_safe = url_safe && p[i] != '+' && p[i] != '/';
    }
    if ((any & 0xC0) != 0 || !url_safe) break;
    const std::uint32_t v =
        std::uint32_t{t[p[0]]} << 18 | std::uint32_t{t[p[1]]} << 12 | std::uint32_t{t[p[2]]} << 6 | t[p[3]];
    const std::uint32_t w =
        std::uint32_t{t[p[4]]} << 18 | std::uint32_t{t[p[5]]} << 12 | std::uint32_t{t[p[6]]} << 6 | t[p[7]];
    o[0] = static_cast<unsigned char>(v >> 16);
    o[1] = static_cast<unsigned char>(v >> 8);
    o[2] = static_cast<unsigned char>(v);
    o[3] = static_cast<unsigned char>(w >> 16);
    o[4] = static_cast<unsigned char>(w >> 8);
    o[5] = static_cast<unsigned char>(w);
    o += 6;
    p += 8;
  }
  return p;
}

// Decodes into `out` (at least decoded_capacity(n) bytes). Returns the decoded length, or -1 where
// Python's non-strict decoder raises. One pass: a fast loop over clean runs, then the general state
// machine from the first run holding a pad or a character outside the alphabet.
std::ptrdiff_t decode_into(const unsigned char* in, std::size_t n, unsigned char* out) {
  const unsigned char* const end = in + n;
  unsigned char* o = out;
  const unsigned char* p = decode_clean_runs<false>(in, end, o);
  GroupDecoder g{o};
  int pads = 0;  // consecutive pads since the last data character
  for (; p < end; ++p) {
    const unsigned char v = kDecode.v[*p];
    if (v == kPad) {
      // A pad completes the group once two or more data characters stand before it; the decoding stops
      // there and ignores the rest. Pads anywhere else are skipped.
      if (g.quad >= 2 && g.quad + ++pads >= 4) return g.o - out;
      continue;
    }
    if (v == kSkip) continue;
    pads = 0;
    g.push(v);
  }
  return g.quad == 0 ? g.o - out : -1;
}

// Decodes Fernet key and token text the way the `cryptography` package reads them: the URL-safe alphabet
// only; ASCII blanks (space, tab, newline, form feed, carriage return) skipped anywhere; padding optional,
// but a pad may only close the final group and be followed by blanks; a final group of one character is
// an error. Returns the decoded length or -1.
std::ptrdiff_t decode_fernet_text(const unsigned char* in, std::size_t n, unsigned char* out) {
  const unsigned char* const end = in + n;
  unsigned char* o = out;
  const unsigned char* p = decode_clean_runs<true>(in, end, o);
  GroupDecoder g{o};
  int pads = 0;
  for (; p < end; ++p) {
    const unsigned char c = *p;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r') continue;
    const unsigned char v = kDecode.v[c];
    if (v == kPad) {
      // Pads close the final group: at most 4 - quad of them, and only after two or more characters.
      if (g.quad < 2 || g.quad + ++pads > 4) return -1;
      continue;
    }
    if (v == kSkip || c == '+' || c == '/' || pads > 0) return -1;
    g.push(v);
  }
  return g.quad == 1 ? -1 : g.o - out;
}

void encode_into(const unsigned char* in, std::size_t n, char* out) {
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const std::uint32_t v = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2];
    out[0] = kEncodeUrlSafe[v >> 18];
    out[1] = kEncodeUrlSafe[(v >> 12) & 63];
    out[2] = kEncodeUrlSafe[(v >> 6) & 63];
    out[3] = kEncodeUrlSafe[v & 63];
    out += 4;
  }
  if (n - i == 1) {
    const std::uint32_t v = std::uint32_t{in[i]} << 16;
    out[0] = kEncodeUrlSafe[v >> 18];
    out[1] = kEncodeUrlSafe[(v >> 12) & 63];
    out[2] = '=';
    out[3] = '=';
  } else if (n - i == 2) {
    const std::uint32_t v = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8;
    out[0] = kEncodeUrlSafe[v >> 18];
    out[1] = kEncodeUrlSafe[(v >> 12) & 63];
    out[2] = kEncodeUrlSafe[(v >> 6) & 63];
    out[3] = '=';
  }
}

std::string encode(const unsigned char* in, std::size_t n) {
  std::string out((n + 2) / 3 * 4, '\0');
  encode_into(in, n, out.data());
  return out;
}

const unsigned char* bytes_of(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }
unsigned char* bytes_of(std::string& s) { return reinterpret_cast<unsigned char*>(s.data()); }

// ---- libcrypto ----------------------------------------------------------------------------------

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

CipherCtx new_cipher_ctx() {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) throw std::runtime_error("Fernet: cannot allocate a cipher context");
  return ctx;
}

void hmac_sha256(const std::array<unsigned char, 16>& key, const unsigned char* data, std::size_t n,
                 unsigned char* mac) {
  unsigned int len = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data, n, mac, &len) == nullptr ||
      len != kHmacSize) {
    throw std::runtime_error("Fernet: HMAC-SHA256 failed");
  }
}

// EVP_*Update takes an int length: feed large buffers in pieces. Returns the bytes written, or -1.
template <class Update>
std::ptrdiff_t update_in_chunks(Update update, EVP_CIPHER_CTX* ctx, unsigned char* out,
                                const unsigned char* in, std::size_t n) {
  constexpr std::size_t kChunk = std::size_t{1} << 30;  // a multiple of the block size
  std::ptrdiff_t written = 0;
  for (std::size_t done = 0; done < n; done += kChunk) {
    const int len = static_cast<int>(std::min(kChunk, n - done));
    int w = 0;
    if (update(ctx, out + written, &w, in + done, len) != 1) return -1;
    written += w;
  }
  return written;
}

// Decodes a token and verifies version, length and signature. `data` receives the raw token.
void verify_token(std::string_view token, const std::array<unsigned char, 16>& signing, std::string& data) {
  data.resize(decoded_capacity(token.size()));
  const std::ptrdiff_t n = decode_fernet_text(bytes_of(token), token.size(), bytes_of(data));
  if (n < 0) throw InvalidFernetToken("invalid Fernet token: not base64 text");
  data.resize(static_cast<std::size_t>(n));
  if (data.empty() || static_cast<unsigned char>(data[0]) != kVersion) {
    throw InvalidFernetToken("invalid Fernet token: unknown version");
  }
  if (data.size() < 1 + kTimestampSize + kHmacSize)
    throw InvalidFernetToken("invalid Fernet token: too short");
  unsigned char mac[kHmacSize];
  const std::size_t signed_size = data.size() - kHmacSize;
  hmac_sha256(signing, bytes_of(data), signed_size, mac);
  if (CRYPTO_memcmp(mac, bytes_of(data) + signed_size, kHmacSize) != 0) {
    throw InvalidFernetToken("invalid Fernet token: signature mismatch");
  }
}

std::uint64_t timestamp_of(const std::string& data) {
  std::uint64_t ts = 0;
  for (std::size_t i = 1; i <= kTimestampSize; ++i) ts = ts << 8 | static_cast<unsigned char>(data[i]);
  return ts;
}

}  // namespace

// ---- FernetKey ----------------------------------------------------------------------------------

FernetKey::FernetKey(std::string_view key_text) {
  unsigned char raw[decoded_capacity(64)];
  // A 32-byte key has at most 44 data characters; longer texts can only be valid with skipped
  // characters, so decode those through a heap buffer.
  std::string heap;
  unsigned char* buf = raw;
  if (decoded_capacity(key_text.size()) > sizeof(raw)) {
    heap.resize(decoded_capacity(key_text.size()));
    buf = bytes_of(heap);
  }
  const std::ptrdiff_t n = decode_fernet_text(bytes_of(key_text), key_text.size(), buf);
  if (n != static_cast<std::ptrdiff_t>(kSize)) {
    OPENSSL_cleanse(buf, decoded_capacity(key_text.size()));
    throw InvalidFernetKey();
  }
  std::copy(buf, buf + 16, signing_.begin());
  std::copy(buf + 16, buf + 32, encryption_.begin());
  OPENSSL_cleanse(buf, kSize);
}

FernetKey::~FernetKey() {
  OPENSSL_cleanse(signing_.data(), signing_.size());
  OPENSSL_cleanse(encryption_.data(), encryption_.size());
}

FernetKey FernetKey::generate() {
  FernetKey key;
  if (RAND_bytes(key.signing_.data(), 16) != 1 || RAND_bytes(key.encryption_.data(), 16) != 1) {
    throw std::runtime_error("Fernet: the random generator failed");
  }
  return key;
}

std::string FernetKey::text() const {
  unsigned char raw[kSize];
  std::copy(signing_.begin(), signing_.end(), raw);
  std::copy(encryption_.begin(), encryption_.end(), raw + 16);
  std::string out = encode(raw, kSize);
  OPENSSL_cleanse(raw, kSize);
  return out;
}

std::string FernetKey::encrypt(std::string_view plain) const {
  Iv iv;
  if (RAND_bytes(iv.data(), static_cast<int>(iv.size())) != 1) {
    throw std::runtime_error("Fernet: the random generator failed");
  }
  return encrypt_at(plain, static_cast<std::uint64_t>(std::time(nullptr)), iv);
}

std::string FernetKey::encrypt_at(std::string_view plain, std::uint64_t timestamp, const Iv& iv) const {
  const std::size_t cipher_len = (plain.size() / kBlock + 1) * kBlock;  // PKCS#7 always adds a pad
  std::string data(kHeaderSize + cipher_len + kHmacSize, '\0');
  unsigned char* d = bytes_of(data);
  d[0] = kVersion;
  for (std::size_t i = 0; i < kTimestampSize; ++i) {
    d[1 + i] = static_cast<unsigned char>(timestamp >> (8 * (kTimestampSize - 1 - i)));
  }
  std::copy(iv.begin(), iv.end(), d + 1 + kTimestampSize);

  CipherCtx ctx = new_cipher_ctx();
  std::ptrdiff_t n1 = -1;
  int n2 = 0;
  if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, encryption_.data(), iv.data()) != 1 ||
      (n1 = update_in_chunks(EVP_EncryptUpdate, ctx.get(), d + kHeaderSize, bytes_of(plain), plain.size())) <
          0 ||
      EVP_EncryptFinal_ex(ctx.get(), d + kHeaderSize + n1, &n2) != 1 ||
      static_cast<std::size_t>(n1 + n2) != cipher_len) {
    throw std::runtime_error("Fernet: AES-128-CBC encryption failed");
  }
  hmac_sha256(signing_, d, kHeaderSize + cipher_len, d + kHeaderSize + cipher_len);
  return encode(d, data.size());
}

std::string FernetKey::decrypt(std::string_view token, std::optional<std::int64_t> ttl_seconds) const {
  return decrypt_at(token, ttl_seconds, static_cast<std::int64_t>(std::time(nullptr)));
}

std::string FernetKey::decrypt_at(std::string_view token, std::optional<std::int64_t> ttl_seconds,
                                  std::int64_t now) const {
  std::string data;
  verify_token(token, signing_, data);
  // A sound token carries an IV and at least one cipher block, in whole blocks.
  if (data.size() < kHeaderSize + kBlock + kHmacSize ||
      (data.size() - kHeaderSize - kHmacSize) % kBlock != 0) {
    throw InvalidFernetToken("invalid Fernet token: wrong length");
  }
  if (ttl_seconds) {
    const __int128 ts = timestamp_of(data);
    if (ts + *ttl_seconds < now) throw InvalidFernetToken("invalid Fernet token: expired");
    if (__int128{now} + kMaxClockSkew < ts)
      throw InvalidFernetToken("invalid Fernet token: stamped in the future");
  }

  const unsigned char* iv = bytes_of(data) + 1 + kTimestampSize;
  const unsigned char* cipher = bytes_of(data) + kHeaderSize;
  const std::size_t cipher_len = data.size() - kHeaderSize - kHmacSize;
  // EVP_DecryptUpdate may write up to one block beyond its input while it holds back the last block.
  std::string plain(cipher_len + kBlock, '\0');
  CipherCtx ctx = new_cipher_ctx();
  std::ptrdiff_t n1 = -1;
  int n2 = 0;
  if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, encryption_.data(), iv) != 1 ||
      (n1 = update_in_chunks(EVP_DecryptUpdate, ctx.get(), bytes_of(plain), cipher, cipher_len)) < 0) {
    throw std::runtime_error("Fernet: AES-128-CBC decryption failed");
  }
  if (EVP_DecryptFinal_ex(ctx.get(), bytes_of(plain) + n1, &n2) != 1) {
    throw InvalidFernetToken("invalid Fernet token: bad padding");
  }
  plain.resize(static_cast<std::size_t>(n1 + n2));
  return plain;
}

std::uint64_t FernetKey::extract_timestamp(std::string_view token) const {
  std::string data;
  verify_token(token, signing_, data);
  return timestamp_of(data);
}

// ---- free functions -----------------------------------------------------------------------------

std::string fernet_encrypt(std::string_view key_text, std::string_view plain) {
  return FernetKey(key_text).encrypt(plain);
}

std::string fernet_decrypt(std::string_view key_text, std::string_view token,
                           std::optional<std::int64_t> ttl_seconds) {
  return FernetKey(key_text).decrypt(token, ttl_seconds);
}

bool base64_decode_lenient(std::string_view text, std::string& out) {
  out.resize(decoded_capacity(text.size()));
  const std::ptrdiff_t n = decode_into(bytes_of(text), text.size(), bytes_of(out));
  if (n < 0) return false;
  out.resize(static_cast<std::size_t>(n));
  return true;
}

std::string base64_urlsafe_encode(std::string_view bytes) { return encode(bytes_of(bytes), bytes.size()); }

}  // namespace ostrel::native
