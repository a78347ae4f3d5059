// Any bytes as a whole file: the trailer parser never reads outside what it
// is given, agrees with itself when handed only the file's tail, and whatever
// it accepts re-encodes to exactly the bytes it came from. The same bytes as
// a real (memory) file go through the full check.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <span>

#include "platform/codesign/code_file.h"
#include "platform/codesign/signature_trailer.h"

using namespace helper::codesign;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const std::uint8_t> file(data, size);
  const ParseResult whole = parseTrailer(file, size);
  const ParseResult tail = parseTrailer(file.last(std::min(size, kMaxTrailerLength)), size);
  if (whole.status != tail.status || whole.trailer.has_value() != tail.trailer.has_value()) {
    std::abort();
  }
  if (whole.trailer.has_value() != (whole.status == kStatusOK)) std::abort();
  if (whole.trailer) {
    const Trailer& t = *whole.trailer;
    const std::vector<std::uint8_t> encoded = encodeTrailer(t);
    if (encodeTrailer(*tail.trailer) != encoded) std::abort();  // the same fields
    if (t.codeLength + encoded.size() != size) std::abort();
    if (!std::equal(encoded.begin(), encoded.end(), data + t.codeLength)) std::abort();
    if (!identifierProblem(t.identifier).empty()) std::abort();
    (void)verifySignature(t);
  }

  const int fd = memfd_create("fuzz", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (write(fd, data, size) == static_cast<ssize_t>(size)) {
    const CodeEvaluation e = evaluateCode(fd);
    if (whole.status != kStatusOK && e.status != whole.status) std::abort();
    if (whole.status == kStatusOK && e.status != kStatusOK && e.status != kStatusSignatureFailed) {
      std::abort();
    }
    if (e.status == kStatusOK && e.identifier() != whole.trailer->identifier) std::abort();
  }
  close(fd);
  return 0;
}
