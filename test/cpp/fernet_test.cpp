#include "native/fernet.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <string>
#include <vector>

namespace ostrel::native {
namespace {

// Vectors made once with cryptography 48's Fernet under kKey: `_encrypt_from_parts(msg, 1700000000,
// bytes(range(16)))` for the fixed ones, `encrypt()` for the random one.
constexpr std::string_view kKey = "cw_0x689RpI-jtRR7oYpuyq2x9Z2Tr3MUuJGyfFHCKs=";
constexpr std::uint64_t kVectorTime = 1700000000;

std::string multi_block_message() {
  std::string m;
  for (int i = 0; i < 100; ++i) m.push_back(static_cast<char>((i * 7 + 3) % 256));
  return m;
}

struct Vector {
  std::string plain;
  std::string token;
};

std::vector<Vector> fixed_vectors() {
  return {
      {"",
       "gAAAAABlU_EAAAECAwQFBgcICQoLDA0OD4ysACl420LCO2jEcV9W-qnmS0JE5du4ByEiCJP2xVwjCxyT9LieZOgUNwJQGiH9JA="
       "="},
      {"hello",
       "gAAAAABlU_EAAAECAwQFBgcICQoLDA0ODzkWDRwK__-UgvVnoaxP7c_2GgngnK8xDgS4Kkq1xVGe4ZyDJysq4tVrLWM6-NZEtA="
       "="},
      {"0123456789abcdef",
       "gAAAAABlU_"
       "EAAAECAwQFBgcICQoLDA0ODzYzo7LLHhzz19jnQRKDUXOhH08n0gB2QxGt4Y8qnbkaAbuH83lmXwkmj7z7E0UWDJyIKyuwU"
       "cVe1j4JLa-buIo="},
      {multi_block_message(),
       "gAAAAABlU_EAAAECAwQFBgcICQoLDA0OD_"
       "QpnngpYlbHuDOexjIIsuviU1i1nB7ioyVmUol94NBm5ydCzKWOV46TnuTU4gGwwBhwRddph"
       "WUYP40x_aTfFbSNAqtA9A0cG-PldPULwK7R-XZC3q2LYqVvm2h5166u2PvFxapKpu2EgBXROCSt-"
       "MvfhP19JiillXFiytCQA13hsQqx2K-"
       "WVLlphl7SEq9IKA=="},
  };
}

FernetKey::Iv vector_iv() {
  FernetKey::Iv iv;
  for (unsigned i = 0; i < iv.size(); ++i) iv[i] = static_cast<unsigned char>(i);
  return iv;
}

TEST(Fernet, TokensOfThePublishedFormatMatchByteForByte) {
  const FernetKey key(kKey);
  for (const Vector& v : fixed_vectors()) {
    SCOPED_TRACE(v.plain.size());
    EXPECT_EQ(key.decrypt(v.token), v.plain);
    EXPECT_EQ(key.encrypt_at(v.plain, kVectorTime, vector_iv()), v.token);
    EXPECT_EQ(key.extract_timestamp(v.token), kVectorTime);
  }
  EXPECT_EQ(fernet_decrypt(
                kKey,
                "gAAAAABrGqChVcAqOaxSOerbQ7D4NovF3ZwOvY3RsrLN-j9jaAJJPHeUu5GoadZDrUBWe5LmSXw7rsHo-lE1xBvn"
                "CT9OA6vpJ0DDcN9W7kHj_tLF3FrjunQ="),
            "ostrel fernet vector");
}

TEST(Fernet, RoundTripsEveryBufferWithFreshTokens) {
  const FernetKey key = FernetKey::generate();
  EXPECT_EQ(FernetKey(key.text()).text(), key.text());
  EXPECT_EQ(key.text().size(), 44u);
  std::string binary;
  for (int i = 0; i < 4099; ++i) binary.push_back(static_cast<char>(i * 31));
  for (const std::string& plain : {std::string(), std::string("x"), std::string(15, 'a'),
                                   std::string(16, 'b'), std::string(17, '\0'), binary}) {
    const std::string a = key.encrypt(plain);
    const std::string b = key.encrypt(plain);
    EXPECT_NE(a, b);  // random IV
    EXPECT_EQ(key.decrypt(a), plain);
    EXPECT_EQ(key.decrypt(b), plain);
    EXPECT_EQ(a.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_="),
              std::string::npos);
  }
}

TEST(Fernet, BuiltInCheckpointKeyIsAWorkingKeyKeptAsBase64OfItsText) {
  std::string decoded;
  ASSERT_TRUE(base64_decode_lenient(kCheckpointsEncryptionKeyBase64, decoded));
  EXPECT_EQ(decoded, kCheckpointsEncryptionKey);
  EXPECT_EQ(kCheckpointsEncryptionKeyBase64.size(), 60u);
  EXPECT_EQ(kCheckpointsEncryptionKey.size(), 44u);
  // Made by cryptography's Fernet under the built-in key.
  EXPECT_EQ(fernet_decrypt(
                kCheckpointsEncryptionKey,
                "gAAAAABrGqChHWZ1XixCqkxf04n9zhvbkVQpCWRUHkVtXQ_HCznY9AJ_SuFPHFLM9Bbdglm4hha8QSwBBt03d7FU"
                "10gq7Zp5DXwEdNwaS_NN17THmycQ4O8="),
            "checkpoint record");
}

// Token texts that cryptography's Fernet accepts although they are not the canonical text.
TEST(Fernet, AcceptsTheTokenTextsThatCryptographyAccepts) {
  const FernetKey key(kKey);
  const std::string token = fixed_vectors()[0].token;
  std::string wrapped = "\n ";
  for (std::size_t i = 0; i < token.size(); i += 10) wrapped += token.substr(i, 10) + "\n";
  wrapped += "\r\n";
  std::string unpadded = token.substr(0, token.find('='));
  std::string half_padded = unpadded + (token.size() - unpadded.size() == 2 ? "=" : "");
  for (const std::string& t : {wrapped, unpadded, half_padded, token + "\t\f"}) {
    EXPECT_EQ(key.decrypt(t), "") << t;
  }
}

// ...and the ones it refuses although Python's plain base64 decoder would read them.
TEST(Fernet, RefusesTheTokenTextsThatCryptographyRefuses) {
  const FernetKey key(kKey);
  const std::string token = fixed_vectors()[0].token;
  std::string standard_alphabet = token;
  for (char& c : standard_alphabet) c = c == '-' ? '+' : c == '_' ? '/' : c;
  ASSERT_NE(standard_alphabet, token);
  const std::string middle = token.substr(0, 20);
  for (const std::string& t :
       {standard_alphabet, token + "trailing junk after the pad", token + "=",
        middle + "=" + token.substr(20), middle + "\v" + token.substr(20), middle + "!" + token.substr(20)}) {
    EXPECT_THROW(key.decrypt(t), InvalidFernetToken) << t;
  }
}

TEST(Fernet, RefusesDamagedForeignAndMalformedTokens) {
  const FernetKey key(kKey);
  const std::string token = fixed_vectors()[3].token;
  std::string raw;
  ASSERT_TRUE(base64_decode_lenient(token, raw));
  auto with_raw_byte_flipped = [&](std::size_t at) {
    std::string r = raw;
    r[at] = static_cast<char>(r[at] ^ 0x01);
    return base64_urlsafe_encode(r);
  };
  const struct {
    const char* what;
    std::string token;
  } cases[] = {
      {"version byte", with_raw_byte_flipped(0)},
      {"time stamp", with_raw_byte_flipped(3)},
      {"iv", with_raw_byte_flipped(12)},
      {"cipher text", with_raw_byte_flipped(40)},
      {"hmac", with_raw_byte_flipped(raw.size() - 1)},
      {"truncated by one block", base64_urlsafe_encode(raw.substr(0, raw.size() - 16))},
      {"truncated text", token.substr(0, token.size() - 3)},
      {"header only", base64_urlsafe_encode(raw.substr(0, 9))},
      {"version alone", base64_urlsafe_encode(raw.substr(0, 1))},
      {"empty", ""},
      {"bad base64: one dangling character", token.substr(0, token.size() - 2) + "A"},
      {"bad base64: missing pad", token.substr(0, token.size() - 2) + "!!"},
      {"plain text", "a model description in plain text"},
      {"another key", fernet_encrypt("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", "secret")},
  };
  for (const auto& c : cases) {
    EXPECT_THROW(key.decrypt(c.token), InvalidFernetToken) << c.what;
  }
}

TEST(Fernet, SignedTokenWithBrokenPaddingIsInvalid) {
  // Only a key holder can make one: drop the all-padding block of a 16-byte message and sign again, so
  // the last plain block ends in 'f' (0x66), which is no PKCS#7 padding.
  const FernetKey key(kKey);
  std::string raw, key_bytes;
  ASSERT_TRUE(base64_decode_lenient(fixed_vectors()[2].token, raw));
  ASSERT_TRUE(base64_decode_lenient(kKey, key_bytes));
  std::string body = raw.substr(0, raw.size() - 32 - 16);
  unsigned char mac[32];
  unsigned int mac_len = 0;
  ASSERT_NE(HMAC(EVP_sha256(), key_bytes.data(), 16, reinterpret_cast<const unsigned char*>(body.data()),
                 body.size(), mac, &mac_len),
            nullptr);
  const std::string forged = body + std::string(reinterpret_cast<const char*>(mac), mac_len);
  EXPECT_EQ(key.extract_timestamp(base64_urlsafe_encode(forged)), kVectorTime);  // the signature holds
  EXPECT_THROW(key.decrypt(base64_urlsafe_encode(forged)), InvalidFernetToken);
}

TEST(Fernet, TimeToLive) {
  const FernetKey key(kKey);
  const std::string token = fixed_vectors()[1].token;
  const std::int64_t t = kVectorTime;
  EXPECT_EQ(key.decrypt_at(token, 10, t + 10), "hello");
  EXPECT_THROW(key.decrypt_at(token, 10, t + 11), InvalidFernetToken);
  EXPECT_EQ(key.decrypt_at(token, 10, t - 60), "hello");  // clock skew allowance
  EXPECT_THROW(key.decrypt_at(token, 10, t - 61), InvalidFernetToken);
  EXPECT_EQ(key.decrypt(token), "hello");  // no TTL: any age
}

TEST(Fernet, KeyTexts) {
  EXPECT_NO_THROW(FernetKey(" cw_0x689RpI-jtRR7oYpuyq2x9Z2Tr3MUuJGyfFHCKs=\n"));
  EXPECT_NO_THROW(FernetKey("cw_0x689RpI-jtRR7oYpuyq2x9Z2Tr3MUuJGyfFHCKs"));  // padding is optional
  for (std::string_view bad :
       {"", "short", "cw+0x689RpI-jtRR7oYpuyq2x9Z2Tr3MUuJGyfFHCKs=",
        "cw_0x689RpI-jtRR7oYpuyq2x9Z2Tr3MUuJGyfFHCK==", "cw_0x689RpI-jtRR7oYpuyq2x9Z2Tr3MUuJGyfFHCKsAAAA="}) {
    try {
      FernetKey k(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const InvalidFernetKey& e) {
      EXPECT_STREQ(e.what(), "Fernet key must be 32 url-safe base64-encoded bytes.");
    }
  }
  EXPECT_THROW(fernet_encrypt("short", "x"), InvalidFernetKey);
  EXPECT_THROW(fernet_decrypt("short", fixed_vectors()[0].token), InvalidFernetKey);
}

// Outputs of Python's base64.urlsafe_b64decode, by experiment ("!" = binascii.Error).
TEST(Fernet, LenientBase64MatchesPythonsDecoder) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"QQ==", "A"},
      {"QQ", "!"},
      {"QQ=", "!"},
      {"QQ=x=", std::string("A\x0c", 2)},
      {"QQ=A==", std::string("A\0", 2)},
      {"Q=Q==", "A"},
      {"QUJD=", "ABC"},
      {"QUJDRA=", "!"},
      {"QUJDRA==x", "ABCD"},
      {"QUJD==QQ==", "ABCA"},
      {"Q", "!"},
      {"QUJDR", "!"},
      {"=QQ==", "A"},
      {"QR==", "A"},
      {"Q Q\n=\t=", "A"},
      {"QQ=!=", "A"},
      {"QQ=A", "!"},
      {"QUI=QUJD", "AB"},
      {"QUIx=", "AB1"},
      {"Q===", "!"},
      {"", ""},
      {"====", ""},
      {"QUJD====QUJD", "ABCABC"},
      {"QQ=QQQQ=", "!"},
      {"QQ=QQQQ==", std::string("A\x04\x10"
                                "A",
                                4)},
      {"QQ\xffQQ", std::string("A\x04\x10", 3)},
      {std::string("QQ==\0", 5), "A"},
      {"Q-_+/A==", "C\xef\xfe\xfc"},
      {"QUJDREVGR0hJSktM", "ABCDEFGHIJKL"},       // fast path only
      {"QUJDREVGR0hJSktMTQ==", "ABCDEFGHIJKLM"},  // fast path, then the pad
      {"QUJDREVG R0hJSktMTQ==", "ABCDEFGHIJKLM"},
  };
  for (const auto& c : cases) {
    std::string out;
    const bool ok = base64_decode_lenient(c.in, out);
    if (c.out == "!") {
      EXPECT_FALSE(ok) << c.in;
    } else {
      EXPECT_TRUE(ok) << c.in;
      EXPECT_EQ(out, c.out) << c.in;
    }
  }
  EXPECT_EQ(base64_urlsafe_encode(std::string("\xfb\xff", 2)), "-_8=");
  EXPECT_EQ(base64_urlsafe_encode("A"), "QQ==");
}

}  // namespace
}  // namespace ostrel::native
