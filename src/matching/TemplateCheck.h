// Whether bytes form an NFRecord template: the one check that the matcher,
// the fingerprint base, NFMatcher and the command-line tool make before they
// use bytes that came from outside.
//
// The bytes form a template when, reading them as the template reader does
// (little-endian; N and S unsigned bytes, L a signed 16-bit length):
//  1. they hold the 26 bytes of the header. Bytes 0 to 21 and 23 belong to
//     the writer and are not looked at, so templates of other engines pass;
//  2. the minutia record size S0 (byte 25) is exactly 4 plus one byte for
//     each optional value that the flags (bits 0 to 2 of byte 22: quality,
//     curvature, G) announce: the reader steps by that length and finds what
//     follows by S0, so the two must agree;
//  3. the N0 minutiae (byte 24) of S0 bytes lie inside the bytes;
//  4. after them, at A, lie one free byte, the length L (byte A+1), which is
//     not negative, and the L bytes it announces;
//  5. then the cores, the deltas and the double cores, in this order, each a
//     count N, a record size S and N records of S bytes, all inside the bytes;
//     when N is not 0, S holds what is read from a record: 4 bytes (the word)
//     for a core and a double core, 7 for a delta (the word and three angles);
//  6. bytes after the double cores are free.
// Every value inside a record is legal: all four minutia types, every
// position and angle. Every block must be whole, so a template cut short at
// any length is refused.
//
// A template that passes with no minutiae is readable, but the matcher has
// nothing to compare in it (the template of a blank image): its state says
// so, apart from templates that are not templates at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace matching {

enum TTemplateState { tsUsable, tsNoMinutiae, tsMalformed };

struct TTemplateCheck {
  TTemplateState State = tsMalformed;
  int Minutiae = 0;     // the minutia count, when the bytes form a template
  std::string Problem;  // what is wrong, or that there are no minutiae; empty when usable
};

// Checks `size` bytes at `data` (null only with size 0) by the rules above;
// reads nothing outside them.
TTemplateCheck ValidateTemplate(const uint8_t* data, size_t size);

}  // namespace matching
