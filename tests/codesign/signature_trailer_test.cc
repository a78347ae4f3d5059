// The trailer format on its own: the Team ID of a published key, the
// parser's statuses, and what the signature covers. Reads out of bounds, and
// accepting anything that does not re-encode to the same bytes, are the fuzz
// target's invariants.
#include <gtest/gtest.h>

#include <functional>

#include "platform/codesign/signature_trailer.h"
#include "platform/codesign/signing_key.h"

namespace helper::codesign {
namespace {

// Only the first 10 Base32 characters reach any output: padding does not.
TEST(SignatureTrailerTest, TeamIdentifierIsBase32OfTheKeysHash) {
  // RFC 8032's first Ed25519 test key; the Team ID computed with Python.
  const char* hexKey = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
  PublicKey key{};
  for (size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<std::uint8_t>(std::stoi(std::string(hexKey + 2 * i, 2), nullptr, 16));
  }
  EXPECT_EQ(teamIdentifier(key), "EH7DDX5BKS");
}

Trailer signedTrailer(const SigningKey& key, std::uint64_t codeLength) {
  Trailer t{SignatureKind::ed25519, codeLength, {}, "tarn.CorvalethApp", key.publicKey(), {}};
  t.signature = key.sign(signedMessage(t));
  return t;
}

TEST(SignatureTrailerTest, ParserSaysWhatIsWrong) {
  const auto key = SigningKey::generate();
  ASSERT_TRUE(key);
  std::vector<std::uint8_t> base = {'c', 'o', 'd', 'e'};
  const auto trailer = encodeTrailer(signedTrailer(*key, base.size()));
  base.insert(base.end(), trailer.begin(), trailer.end());
  const size_t start = 4, end = base.size();
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
      {"no end mark", set(end - 1, 'x'), kStatusUnsigned, "no signature trailer"},
      {"length below the minimum", set(end - 16, 60), kStatusMalformed, "outside"},
      {"length beyond the file", [](auto& f) { f.erase(f.begin(), f.begin() + 20); }, kStatusMalformed,
       "longer than the file"},
      {"version 2", set(start, 2), kStatusSignatureUnsupported, "version 2"},
      {"unknown kind", set(start + 1, 3), kStatusMalformed, "kind 3"},
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

// A wrong key or signature is refused end to end (validator tests); these
// fields would be open to change if the signature did not cover them.
TEST(SignatureTrailerTest, TheSignatureCoversIdentifierLengthAndHash) {
  const auto key = SigningKey::generate();
  ASSERT_TRUE(key);
  const Trailer good = signedTrailer(*key, 4);
  ASSERT_TRUE(verifySignature(good));
  for (const auto& edit : std::vector<std::function<void(Trailer&)>>{
           [](Trailer& t) { t.identifier = "tarn.CorvalethApq"; }, [](Trailer& t) { t.codeLength += 1; },
           [](Trailer& t) { t.codeHash[31] ^= 1; }}) {
    Trailer t = good;
    edit(t);
    EXPECT_FALSE(verifySignature(t));
  }
}

}  // namespace
}  // namespace helper::codesign
