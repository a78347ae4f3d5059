// The trailer format on its own: Base32 and the Team ID against published
// vectors, the strict parser against every kind of damage, and what the
// signature covers.
#include <gtest/gtest.h>

#include <functional>

#include "platform/codesign/signature_trailer.h"
#include "platform/codesign/signing_key.h"

namespace helper::codesign {
namespace {

std::vector<std::uint8_t> bytes(std::string_view text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

TEST(SignatureTrailerTest, Base32FollowsRfc4648) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},           {"f", "MY======"},         {"fo", "MZXQ===="},
      {"foo", "MZXW6==="}, {"foob", "MZXW6YQ="},      {"fooba", "MZXW6YTB"},
      {"foobar", "MZXW6YTBOI======"},
  };
  for (const auto& [in, out] : vectors) EXPECT_EQ(base32(bytes(in)), out) << in;
}

TEST(SignatureTrailerTest, TeamIdentifierOfAKnownKey) {
  // The public keys of RFC 8032's first two Ed25519 test vectors; the Team
  // IDs were computed independently (Python's hashlib and base64).
  auto key = [](const char* hexText) {
    PublicKey k{};
    for (size_t i = 0; i < k.size(); ++i) {
      k[i] = static_cast<std::uint8_t>(std::stoi(std::string(hexText + 2 * i, 2), nullptr, 16));
    }
    return k;
  };
  EXPECT_EQ(teamIdentifier(key("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a")),
            "EH7DDX5BKS");
  EXPECT_EQ(teamIdentifier(key("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c")),
            "HH3RHUFGIQ");
}

// A file of `code` followed by a trailer for it.
struct SignedBytes {
  std::vector<std::uint8_t> file;
  Trailer trailer;
};

SignedBytes makeSigned(const std::string& code, const std::string& identifier,
                       const SigningKey* key) {
  Trailer t;
  t.kind = key ? SignatureKind::ed25519 : SignatureKind::adhoc;
  t.codeLength = code.size();
  t.codeHash.fill(0xab);  // the parser does not look at the hash
  t.identifier = identifier;
  if (key) {
    t.publicKey = key->publicKey();
    t.signature = key->sign(signedMessage(t));
  }
  SignedBytes out{bytes(code), t};
  const auto trailer = encodeTrailer(t);
  out.file.insert(out.file.end(), trailer.begin(), trailer.end());
  return out;
}

ParseResult parseFile(const std::vector<std::uint8_t>& file) {
  return parseTrailer(file, file.size());
}

TEST(SignatureTrailerTest, ParsesWhatItWrites) {
  const auto key = SigningKey::generate(nullptr);
  ASSERT_TRUE(key);
  for (const SigningKey* k : {static_cast<const SigningKey*>(nullptr), &*key}) {
    for (const std::string& id : std::vector<std::string>{"a", "tarn.CorvalethApp", std::string(255, '~')}) {
      for (const std::string& code : std::vector<std::string>{"", "\x7f" "ELF...", std::string(5000, 'x')}) {
        const SignedBytes s = makeSigned(code, id, k);
        EXPECT_EQ(s.file.size(), code.size() + trailerLength(s.trailer.kind, id.size()));
        const ParseResult r = parseFile(s.file);
        ASSERT_EQ(r.status, kStatusOK) << r.detail;
        EXPECT_EQ(r.trailer->kind, s.trailer.kind);
        EXPECT_EQ(r.trailer->identifier, id);
        EXPECT_EQ(r.trailer->codeLength, code.size());
        EXPECT_EQ(r.trailer->codeHash, s.trailer.codeHash);
        EXPECT_EQ(r.trailer->publicKey, s.trailer.publicKey);
        EXPECT_EQ(verifySignature(*r.trailer), k != nullptr);
      }
    }
  }
}

TEST(SignatureTrailerTest, RefusesEveryKindOfDamage) {
  const auto key = SigningKey::generate(nullptr);
  ASSERT_TRUE(key);
  const SignedBytes base = makeSigned("program bytes", "tarn.CorvalethApp", &*key);
  const size_t start = base.file.size() - trailerLength(SignatureKind::ed25519, 17);
  const size_t end = base.file.size();
  using Edit = std::function<void(std::vector<std::uint8_t>&)>;
  auto setByte = [](size_t at, std::uint8_t v) -> Edit {
    return [=](std::vector<std::uint8_t>& f) { f[at] = v; };
  };
  struct Case {
    std::string name;
    Edit edit;
    OSStatus status;
    std::string detail;  // a part of it
  };
  const std::vector<Case> cases = {
      {"intact", [](auto&) {}, kStatusOK, ""},
      {"empty file", [](auto& f) { f.clear(); }, kStatusUnsigned, "no signature trailer"},
      {"shorter than a footer", [](auto& f) { f.resize(15); }, kStatusUnsigned, ""},
      {"last byte dropped", [](auto& f) { f.pop_back(); }, kStatusUnsigned, ""},
      {"a byte appended", [](auto& f) { f.push_back('\n'); }, kStatusUnsigned, ""},
      {"magic changed", setByte(end - 2, 'g'), kStatusUnsigned, ""},
      {"length below the minimum", setByte(end - 16, 60), kStatusMalformed, "outside"},
      {"length above the maximum",
       [&](auto& f) { f[end - 16] = 0x9c; f[end - 15] = 0x01; }, kStatusMalformed, "outside"},
      {"length in the high bytes", setByte(end - 13, 1), kStatusMalformed, "outside"},
      {"length beyond the file",
       [&](auto& f) { f.erase(f.begin(), f.begin() + static_cast<long>(start) + 10); },
       kStatusMalformed, "longer than the file"},
      {"version 2", setByte(start, 2), kStatusSignatureUnsupported, "version 2"},
      {"version 0", setByte(start, 0), kStatusSignatureUnsupported, "version 0"},
      {"unknown kind", setByte(start + 1, 3), kStatusMalformed, "kind 3"},
      {"kind ad-hoc with key bytes", setByte(start + 1, 1), kStatusMalformed, "does not match"},
      {"reserved byte set", setByte(start + 3, 1), kStatusMalformed, "reserved"},
      {"identifier length zero", setByte(start + 2, 0), kStatusMalformed, "empty"},
      {"identifier length too long", setByte(start + 2, 18), kStatusMalformed, "does not match"},
      {"code length one less", setByte(start + 4, 12), kStatusMalformed, "code length"},
      {"code length in the high bytes", setByte(start + 11, 0x80), kStatusMalformed, "code length"},
      {"space in the identifier", setByte(start + 44 + 4, ' '), kStatusMalformed, "printable"},
      {"NUL in the identifier", setByte(start + 44, 0), kStatusMalformed, "printable"},
      {"DEL in the identifier", setByte(start + 44 + 16, 0x7f), kStatusMalformed, "printable"},
      {"UTF-8 in the identifier", setByte(start + 44 + 1, 0xc3), kStatusMalformed, "printable"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> file = base.file;
    c.edit(file);
    const ParseResult r = parseFile(file);
    EXPECT_EQ(r.status, c.status) << r.detail;
    EXPECT_NE(r.detail.find(c.detail), std::string::npos) << r.detail;
    EXPECT_EQ(r.trailer.has_value(), c.status == kStatusOK);
  }
}

TEST(SignatureTrailerTest, ReadsOnlyTheBytesItIsGiven) {
  // The caller hands the last bytes of a longer file; a trailer claiming
  // more than that is refused, not read past.
  const SignedBytes s = makeSigned(std::string(1000, 'c'), "id", nullptr);
  const std::span<const std::uint8_t> all(s.file);
  EXPECT_EQ(parseTrailer(all.last(trailerLength(SignatureKind::adhoc, 2)), s.file.size()).status,
            kStatusOK);
  EXPECT_EQ(parseTrailer(all.last(trailerLength(SignatureKind::adhoc, 2) - 1), s.file.size()).status,
            kStatusMalformed);
  EXPECT_EQ(parseTrailer(all, s.file.size() - 1).status, kStatusMalformed);
}

TEST(SignatureTrailerTest, TheSignatureCoversEveryFieldButItself) {
  const auto key = SigningKey::generate(nullptr);
  const auto other = SigningKey::generate(nullptr);
  ASSERT_TRUE(key && other);
  const Trailer good = makeSigned("code", "tarn.CorvalethApp", &*key).trailer;
  ASSERT_TRUE(verifySignature(good));
  const std::pair<std::string, std::function<void(Trailer&)>> edits[] = {
      {"identifier", [](Trailer& t) { t.identifier = "tarn.CorvalethApq"; }},
      {"code length", [](Trailer& t) { t.codeLength += 1; }},
      {"code hash", [](Trailer& t) { t.codeHash[31] ^= 1; }},
      {"public key (another team's)", [&](Trailer& t) { t.publicKey = other->publicKey(); }},
      {"kind", [](Trailer& t) { t.kind = SignatureKind::adhoc; }},
      {"signature", [](Trailer& t) { t.signature[0] ^= 1; }},
  };
  for (const auto& [name, edit] : edits) {
    Trailer t = good;
    edit(t);
    EXPECT_FALSE(verifySignature(t)) << name;
  }
}

TEST(SignatureTrailerTest, KeysSurviveTheirFile) {
  std::string error;
  const auto key = SigningKey::generate(&error);
  ASSERT_TRUE(key) << error;
  const auto again = SigningKey::fromPem(key->toPem(), &error);
  ASSERT_TRUE(again) << error;
  EXPECT_EQ(again->publicKey(), key->publicKey());
  EXPECT_EQ(again->teamIdentifier().size(), 10u);
  EXPECT_EQ(again->teamIdentifier().find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"),
            std::string::npos);

  EXPECT_FALSE(SigningKey::fromPem("not a key", &error));
  EXPECT_NE(error.find("not a PEM private key"), std::string::npos);
}

}  // namespace
}  // namespace helper::codesign
