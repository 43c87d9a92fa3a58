#include <gtest/gtest.h>

#include <vector>

#include "templates/udOmfwTemplates.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Word(uint32_t x, uint32_t y, uint32_t type, uint32_t angle) { return x << 21 | y << 10 | type << 8 | angle; }
void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

struct Block {
  uint8_t size = 4;
  std::vector<Bytes> records;
};

// A template laid out field by field; each part can be overridden to break it.
struct Template {
  uint8_t flags = 0;
  std::vector<Bytes> minutiae;
  int s0 = -1;  // default: the record length the flags give
  Bytes lengthBlock = Bytes(3, 9);
  int l = -1;   // default: lengthBlock's size
  Block cores, deltas, doubleCores;

  static void Put(Bytes& b, const Block& k) {
    b.push_back(uint8_t(k.records.size()));
    b.push_back(k.size);
    for (auto& r : k.records) {
      Bytes rec = r;
      rec.resize(k.size, 0xCC);
      b.insert(b.end(), rec.begin(), rec.end());
    }
  }
  Bytes Build() const {
    Bytes b(22, 0xAB);
    b.push_back(flags);
    b.push_back(0xAB);
    b.push_back(uint8_t(minutiae.size()));
    int len = 4 + (flags & 1) + ((flags >> 1) & 1) + ((flags >> 2) & 1);
    b.push_back(uint8_t(s0 >= 0 ? s0 : len));
    for (auto& m : minutiae) b.insert(b.end(), m.begin(), m.end());
    b.push_back(0x5A);
    int16_t L = int16_t(l >= 0 ? l : int(lengthBlock.size()));
    b.push_back(uint8_t(L));
    b.push_back(uint8_t(uint16_t(L) >> 8));
    b.insert(b.end(), lengthBlock.begin(), lengthBlock.end());
    Put(b, cores);
    Put(b, deltas);
    Put(b, doubleCores);
    return b;
  }
};

Bytes Rec(uint32_t w, Bytes extra = {}) {
  Bytes b;
  Put32(b, w);
  b.insert(b.end(), extra.begin(), extra.end());
  return b;
}

int32_t Count(const Bytes& b, int32_t kind) { return ContarItensNF(b.data(), b.size(), kind); }

std::vector<TItemNF> Read(const Bytes& b, int32_t kind) {
  std::vector<TItemNF> r;
  auto l = LocalizarItensNF(b.data(), b.size(), kind);
  if (!l) return r;
  for (int32_t i = 0; i < l->Quantidade; ++i) r.push_back(LerItemNF(b.data(), *l, i));
  return r;
}

Template Full() {
  Template t;
  t.flags = 7;
  t.minutiae = {Rec(Word(100, 200, 1, 30), {10, 20, 30}), Rec(Word(2047, 0, 2, 255), {40, 50, 60})};
  t.cores = {8, {Rec(Word(300, 400, 0, 77))}};
  t.deltas = {7, {Rec(Word(500, 600, 3, 0xFF), {1, 2, 3}), Rec(Word(7, 8, 0, 0), {4, 5, 6})}};
  t.doubleCores = {4, {Rec(Word(9, 10, 0, 0)), Rec(Word(11, 12, 0, 0)), Rec(Word(13, 14, 0, 0))}};
  return t;
}

}  // namespace

TEST(NFRecord, ReadsEveryKind) {
  Bytes b = Full().Build();
  EXPECT_EQ(Count(b, tiMinucia), 2);
  EXPECT_EQ(Count(b, tiNucleo), 1);
  EXPECT_EQ(Count(b, tiDelta), 2);
  EXPECT_EQ(Count(b, tiNucleoDuplo), 3);

  auto m = Read(b, tiMinucia);
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0].X, 100);
  EXPECT_EQ(m[0].Y, 200);
  EXPECT_EQ(m[0].Tipo, 1);
  EXPECT_EQ(m[0].Angulo, 30);
  EXPECT_EQ(m[0].Qualidade, 10);
  EXPECT_EQ(m[0].Curvatura, 20);
  EXPECT_EQ(m[0].G, 30);
  EXPECT_EQ(m[1].X, 2047);
  EXPECT_EQ(m[1].Tipo, 2);
  EXPECT_EQ(m[1].G, 60);

  auto c = Read(b, tiNucleo);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].X, 300);
  EXPECT_EQ(c[0].Y, 400);
  EXPECT_EQ(c[0].Angulo, 77);

  auto d = Read(b, tiDelta);
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].X, 500);
  EXPECT_EQ(d[0].Y, 600);
  EXPECT_EQ(d[0].Angulo1, 1);
  EXPECT_EQ(d[0].Angulo3, 3);
  EXPECT_EQ(d[1].X, 7);
  EXPECT_EQ(d[1].Angulo2, 5);

  auto dc = Read(b, tiNucleoDuplo);
  ASSERT_EQ(dc.size(), 3u);
  EXPECT_EQ(dc[2].X, 13);
  EXPECT_EQ(dc[2].Y, 14);
}

TEST(NFRecord, OptionalMinutiaBytesFollowTheFlags) {
  struct Case {
    uint8_t flags;
    Bytes extra;
    int q, c, g;
  };
  for (const Case& k : {Case{0, {}, 255, 255, 255}, Case{7, {1, 2, 3}, 1, 2, 3}, Case{2, {5}, 255, 5, 255},
                        Case{1, {6}, 6, 255, 255}, Case{5, {7, 8}, 7, 255, 8}, Case{0xF8, {}, 255, 255, 255}}) {
    Template t;
    t.flags = k.flags;
    t.minutiae = {Rec(0xFFFFFFFF, k.extra), Rec(Word(1, 2, 0, 3), k.extra)};
    Bytes b = t.Build();
    auto m = Read(b, tiMinucia);
    ASSERT_EQ(m.size(), 2u) << int(k.flags);
    EXPECT_EQ(m[0].X, 2047);
    EXPECT_EQ(m[0].Y, 2047);
    EXPECT_EQ(m[0].Tipo, 3);
    EXPECT_EQ(m[0].Angulo, 255);
    EXPECT_EQ(m[1].X, 1);  // stepped by the flag-given length
    EXPECT_EQ(m[1].Y, 2);
    EXPECT_EQ(m[1].Angulo, 3);
    EXPECT_EQ(m[1].Qualidade, k.q) << int(k.flags);
    EXPECT_EQ(m[1].Curvatura, k.c) << int(k.flags);
    EXPECT_EQ(m[1].G, k.g) << int(k.flags);
    EXPECT_EQ(Count(b, tiNucleo), 0);  // the later blocks are still found through S0
  }
}

TEST(NFRecord, ShortTemplatesAndUnknownKindsHoldNothing) {
  Bytes b26(26, 0);
  for (int k = -1; k <= 4; ++k) EXPECT_EQ(Count(b26, k), 0) << k;
  EXPECT_EQ(Count(Bytes(25, 0), tiMinucia), 0);
  EXPECT_EQ(ContarItensNF(nullptr, 0, tiMinucia), 0);

  Bytes b = Full().Build();
  EXPECT_EQ(Count(b, 4), 0);
  EXPECT_EQ(Count(b, -1), 0);
  EXPECT_EQ(Count(b, INT32_MIN), 0);

  // Cut right after the double-core count (len = D + 1): only that kind is lost.
  Template t = Full();
  Bytes whole = t.Build();
  Bytes cut(whole.begin(), whole.end() - 1 - 3 * 4);
  EXPECT_EQ(Count(cut, tiDelta), 2);
  EXPECT_EQ(Count(cut, tiNucleoDuplo), 0);

  // Every prefix is safe and never reports items that are not all there.
  for (size_t n = 0; n <= whole.size(); ++n) {
    Bytes p(whole.begin(), whole.begin() + n);
    for (int k = 0; k <= 3; ++k) {
      auto l = LocalizarItensNF(p.data(), p.size(), k);
      if (l && l->Quantidade > 0) {
        EXPECT_LE(l->Inicio + l->Quantidade * l->Passo, n);
      }
    }
  }
  EXPECT_EQ(Count(Bytes(whole.begin(), whole.end() - 1), tiNucleoDuplo), 0);  // last record cut
}

TEST(NFRecord, LengthBlock) {
  Template t = Full();
  t.lengthBlock = {};
  Bytes b = t.Build();  // L = 0: the core count right at A + 3
  EXPECT_EQ(Count(b, tiNucleo), 1);
  EXPECT_EQ(Read(b, tiNucleo)[0].X, 300);

  t.lengthBlock = Bytes(1000, 0);
  b = t.Build();
  EXPECT_EQ(Count(b, tiNucleoDuplo), 3);

  // A negative length would point back into the minutiae: nothing after it is read.
  t = Full();
  t.l = 0xFFFC;  // -4
  b = t.Build();
  EXPECT_EQ(Count(b, tiMinucia), 2);
  for (int k = 1; k <= 3; ++k) EXPECT_EQ(Count(b, k), 0) << k;

  // A length past the end.
  t.l = 0x7FFF;
  b = t.Build();
  for (int k = 1; k <= 3; ++k) EXPECT_EQ(Count(b, k), 0) << k;
}

TEST(NFRecord, RecordsRunningPastTheEnd) {
  // Counts that claim more records than the bytes hold give nothing for that kind.
  Template t = Full();
  Bytes b = t.Build();
  b[24] = 200;  // minutia count
  EXPECT_EQ(Count(b, tiMinucia), 0);

  // Records shorter than what is read from them: the last read must still fit.
  Template small;
  small.doubleCores = {1, {Bytes{1}, Bytes{2}, Bytes{3}}};
  b = small.Build();
  EXPECT_EQ(Count(b, tiNucleoDuplo), 0);
  b.push_back(0);
  b.push_back(0);
  b.push_back(0);  // now the third 4-byte word fits
  EXPECT_EQ(Count(b, tiNucleoDuplo), 3);

  Template deltas;
  deltas.deltas = {4, {Rec(Word(1, 1, 0, 0))}};  // the angles lie beyond the 4-byte record
  deltas.doubleCores = {4, {}};
  b = deltas.Build();
  b.push_back(0);  // the double-core count and size, then this byte: 7 bytes readable
  EXPECT_EQ(Count(b, tiDelta), 1);
  b.resize(b.size() - 3);  // without them the angles would be read past the end
  EXPECT_EQ(Count(b, tiDelta), 0);

  // Zero-sized records all read the same word, which must itself be there.
  Template zero;
  zero.cores = {0, {Bytes{}, Bytes{}}};
  b = zero.Build();  // four bytes of delta and double-core counts follow
  ASSERT_EQ(Count(b, tiNucleo), 2);
  auto c = Read(b, tiNucleo);
  EXPECT_EQ(c[0].X, c[1].X);
  b.pop_back();
  EXPECT_EQ(Count(b, tiNucleo), 0);
}
