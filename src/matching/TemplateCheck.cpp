#include "matching/TemplateCheck.h"

#include "support/Formatar.h"

namespace matching {

namespace {

constexpr size_t kHeader = 26;

TTemplateCheck Malformed(std::string problem) {
  TTemplateCheck c;
  c.State = tsMalformed;
  c.Problem = std::move(problem);
  return c;
}

long long LL(size_t n) { return static_cast<long long>(n); }

// One block of items at `at`: count, record size, records. Offsets stay far
// from overflow: each block adds at most 2 + 255 * 255 bytes.
struct TBlock {
  const char* One;
  const char* Many;
  size_t Least;  // bytes read from each record
};

}  // namespace

TTemplateCheck ValidateTemplate(const uint8_t* data, size_t size) {
  if (!data || size == 0) return Malformed("it is empty");
  if (size < kHeader)
    return Malformed(Format("it is %lld bytes long, shorter than the %lld bytes of a template's header", LL(size),
                            LL(kHeader)));
  const uint8_t flags = data[22] & 7;
  const size_t n0 = data[24], s0 = data[25];
  const size_t step = 4 + (flags & 1) + ((flags >> 1) & 1) + ((flags >> 2) & 1);
  if (s0 != step)
    return Malformed(Format("its minutia records are %lld bytes long (byte 25), but its flags (byte 22: 0x%02X) "
                            "announce %lld-byte records",
                            LL(s0), static_cast<unsigned>(data[22]), LL(step)));
  const size_t a = kHeader + n0 * s0;
  if (a > size)
    return Malformed(Format("its %lld minutiae of %lld bytes (from byte 26) run past its end (%lld bytes)", LL(n0),
                            LL(s0), LL(size)));
  if (a + 3 > size)
    return Malformed(Format("the length of the block after its minutiae (bytes %lld and %lld) lies past its end "
                            "(%lld bytes)",
                            LL(a + 1), LL(a + 2), LL(size)));
  const int16_t length = static_cast<int16_t>(data[a + 1] | (data[a + 2] << 8));
  if (length < 0)
    return Malformed(Format("the block after its minutiae has a negative length, %d (bytes %lld and %lld)",
                            static_cast<int>(length), LL(a + 1), LL(a + 2)));
  size_t at = a + 3 + static_cast<size_t>(length);
  if (at > size)
    return Malformed(Format("the block of %d bytes after its minutiae (from byte %lld) runs past its end (%lld bytes)",
                            static_cast<int>(length), LL(a + 3), LL(size)));

  static constexpr TBlock kBlocks[] = {{"core", "cores", 4}, {"delta", "deltas", 7},
                                       {"double core", "double cores", 4}};
  for (const TBlock& b : kBlocks) {
    if (at + 2 > size)
      return Malformed(Format("its %s count and record size (bytes %lld and %lld) lie past its end (%lld bytes)",
                              b.One, LL(at), LL(at + 1), LL(size)));
    const size_t n = data[at], s = data[at + 1];
    if (n > 0 && s < b.Least)
      return Malformed(Format("its %s records are %lld bytes long (byte %lld), too short for the %lld bytes of a %s",
                              b.One, LL(s), LL(at + 1), LL(b.Least), b.One));
    if (at + 2 + n * s > size)
      return Malformed(Format("its %lld %s of %lld bytes (from byte %lld) run past its end (%lld bytes)", LL(n),
                              n == 1 ? b.One : b.Many, LL(s), LL(at + 2), LL(size)));
    at += 2 + n * s;
  }

  TTemplateCheck c;
  c.Minutiae = static_cast<int>(n0);
  if (n0 == 0) {
    c.State = tsNoMinutiae;
    c.Problem = "it holds no minutiae: it is readable, but the matcher has nothing to compare in it";
  } else {
    c.State = tsUsable;
  }
  return c;
}

}  // namespace matching
