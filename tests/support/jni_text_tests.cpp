#include <gtest/gtest.h>

#include "jni/ModifiedUtf8.h"

TEST(ModifiedUtf8, BmpTextIsUnchangedAndPortugueseSurvives) {
  std::string s = "N\xC3\xA3o h\xC3\xA1 leitores. \xC3\x8Dndice j\xC3\xA1 est\xC3\xA1";
  EXPECT_EQ(Utf8ParaUtf8Modificado(s), s);
  EXPECT_EQ(Utf8ModificadoParaUtf8(s), s);
}

TEST(ModifiedUtf8, NulAndSupplementaryCharacters) {
  std::string withNul("a\0b", 3);
  EXPECT_EQ(Utf8ParaUtf8Modificado(withNul), std::string("a\xC0\x80" "b"));
  EXPECT_EQ(Utf8ModificadoParaUtf8("a\xC0\x80" "b"), withNul);

  std::string emoji = "\xF0\x9F\x98\x80";  // U+1F600
  std::string m = Utf8ParaUtf8Modificado(emoji);
  EXPECT_EQ(m, std::string("\xED\xA0\xBD\xED\xB8\x80"));
  EXPECT_EQ(Utf8ModificadoParaUtf8(m), emoji);
}

TEST(ModifiedUtf8, Utf16RoundTripAndInvalidBytes) {
  std::string s = "x\xC3\xA7\xF0\x9F\x98\x80";
  std::u16string w = Utf8ParaUtf16(s);
  ASSERT_EQ(w.size(), 4u);
  EXPECT_EQ(Utf16ParaUtf8(w), s);
  EXPECT_EQ(Utf8ParaUtf8Modificado("\xFF"), "\xEF\xBF\xBD");
}
