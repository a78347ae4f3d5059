// The trailer format on its own: Base32 and the Team ID against published
// vectors, the parser against each kind of damage, and what the signature
// covers. (Round trips and bounds are the fuzz target's invariants.)
#include <gtest/gtest.h>

#include <functional>

#include "platform/codesign/signature_trailer.h"
#include "platform/codesign/signing_key.h"

namespace helper::codesign {
namespace {

TEST(SignatureTrailerTest, Base32AndTeamIdentifierFollowTheirDefinitions) {
  const std::pair<std::string, std::string> rfc4648[] = {
      {"", ""}, {"f", "MY======"}, {"fo", "MZXQ===="}, {"foo", "MZXW6==="},
      {"foob", "MZXW6YQ="}, {"fooba", "MZXW6YTB"}, {"foobar", "MZXW6YTBOI======"}};
  for (const auto& [in, out] : rfc4648) {
    EXPECT_EQ(base32(std::vector<std::uint8_t>(in.begin(), in.end())), out) << in;
  }
  // RFC 8032's first Ed25519 test key; the Team ID computed independently
  // (Python hashlib + base64).
  PublicKey key{};
  const char* hexKey = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
  for (size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<std::uint8_t>(std::stoi(std::string(hexKey + 2 * i, 2), nullptr, 16));
  }
  EXPECT_EQ(teamIdentifier(key), "EH7DDX5BKS");
}

Trailer signedTrailer(const SigningKey& key, const std::string& code) {
  Trailer t;
  t.kind = SignatureKind::ed25519;
  t.codeLength = code.size();
  t.codeHash.fill(0xab);  // the parser does not look at the hash
  t.identifier = "tarn.CorvalethApp";
  t.publicKey = key.publicKey();
  t.signature = key.sign(signedMessage(t));
  return t;
}

TEST(SignatureTrailerTest, RefusesEveryKindOfDamage) {
  const auto key = SigningKey::generate(nullptr);
  ASSERT_TRUE(key);
  const std::string code = "program bytes";
  std::vector<std::uint8_t> base(code.begin(), code.end());
  const auto trailer = encodeTrailer(signedTrailer(*key, code));
  base.insert(base.end(), trailer.begin(), trailer.end());
  const size_t start = code.size(), end = base.size();
  using Edit = std::function<void(std::vector<std::uint8_t>&)>;
  auto set = [](size_t at, std::uint8_t v) -> Edit { return [=](auto& f) { f[at] = v; }; };
  const struct {
    std::string name;
    Edit edit;
    OSStatus status;
    std::string detail;  // a part of it
  } cases[] = {
      {"intact", [](auto&) {}, kStatusOK, ""},
      {"empty file", [](auto& f) { f.clear(); }, kStatusUnsigned, "no signature trailer"},
      {"last byte dropped", [](auto& f) { f.pop_back(); }, kStatusUnsigned, ""},
      {"a byte appended", [](auto& f) { f.push_back('\n'); }, kStatusUnsigned, ""},
      {"length below the minimum", set(end - 16, 60), kStatusMalformed, "outside"},
      {"length above the maximum", set(end - 15, 0x01), kStatusMalformed, "outside"},
      {"length in the high bytes", set(end - 13, 1), kStatusMalformed, "outside"},
      {"length beyond the file", [&](auto& f) { f.erase(f.begin(), f.begin() + 20); },
       kStatusMalformed, "longer than the file"},
      {"version 2", set(start, 2), kStatusSignatureUnsupported, "version 2"},
      {"unknown kind", set(start + 1, 3), kStatusMalformed, "kind 3"},
      {"ad-hoc kind with key bytes", set(start + 1, 1), kStatusMalformed, "does not match"},
      {"reserved byte set", set(start + 3, 1), kStatusMalformed, "reserved"},
      {"identifier length zero", set(start + 2, 0), kStatusMalformed, "empty"},
      {"identifier length off by one", set(start + 2, 18), kStatusMalformed, "does not match"},
      {"code length one less", set(start + 4, 12), kStatusMalformed, "code length"},
      {"code length in the high bytes", set(start + 11, 0x80), kStatusMalformed, "code length"},
      {"space in the identifier", set(start + 48, ' '), kStatusMalformed, "printable"},
      {"NUL in the identifier", set(start + 44, 0), kStatusMalformed, "printable"},
      {"UTF-8 in the identifier", set(start + 45, 0xc3), kStatusMalformed, "printable"},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> file = base;
    c.edit(file);
    const ParseResult r = parseTrailer(file, file.size());
    EXPECT_EQ(r.status, c.status) << c.name << ": " << r.detail;
    EXPECT_NE(r.detail.find(c.detail), std::string::npos) << c.name << ": " << r.detail;
    EXPECT_EQ(r.trailer.has_value(), c.status == kStatusOK) << c.name;
  }
}

TEST(SignatureTrailerTest, TheSignatureCoversEveryFieldButItself) {
  const auto key = SigningKey::generate(nullptr);
  const auto other = SigningKey::generate(nullptr);
  ASSERT_TRUE(key && other);
  const Trailer good = signedTrailer(*key, "code");
  ASSERT_TRUE(verifySignature(good));
  const std::pair<std::string, std::function<void(Trailer&)>> edits[] = {
      {"identifier", [](Trailer& t) { t.identifier = "tarn.CorvalethApq"; }},
      {"code length", [](Trailer& t) { t.codeLength += 1; }},
      {"code hash", [](Trailer& t) { t.codeHash[31] ^= 1; }},
      {"another team's public key", [&](Trailer& t) { t.publicKey = other->publicKey(); }},
      {"signature", [](Trailer& t) { t.signature[0] ^= 1; }},
  };
  for (const auto& [name, edit] : edits) {
    Trailer t = good;
    edit(t);
    EXPECT_FALSE(verifySignature(t)) << name;
  }
}

}  // namespace
}  // namespace helper::codesign
