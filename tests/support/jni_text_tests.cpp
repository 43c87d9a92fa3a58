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

// Found by support_text_fuzz: a four-byte form above U+10FFFF became two low
// surrogates, and an encoded surrogate stayed a lone one in UTF-16.
TEST(ModifiedUtf8, ValuesBeyondUnicodeBecomeOneReplacementCharacter) {
  EXPECT_EQ(Utf8ParaUtf8Modificado("a\xF4\x90\x80\x80" "b"), "a\xEF\xBF\xBD" "b");  // would be U+110000
  EXPECT_EQ(Utf8ParaUtf8Modificado("\xF7\xBF\xBF\xBF"), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf8ModificadoParaUtf8("\xF4\x90\x80\x80"), "\xEF\xBF\xBD");
  // The last character of Unicode is still one surrogate pair.
  EXPECT_EQ(Utf8ParaUtf8Modificado("\xF4\x8F\xBF\xBF"), "\xED\xAF\xBF\xED\xBF\xBF");
}

TEST(ModifiedUtf8, Utf16HoldsNoLoneSurrogateWhateverTheBytes) {
  EXPECT_EQ(Utf8ParaUtf16("x\xED\xA0\x80y"), u"x\uFFFDy");   // a lone high surrogate, as Java texts may hold
  EXPECT_EQ(Utf8ParaUtf16("\xED\xB0\x80"), u"\uFFFD");       // a lone low one
  EXPECT_EQ(Utf8ParaUtf16("a\xF4\x90\x80\x80" "b"), u"a\uFFFDb");
  EXPECT_EQ(Utf8ParaUtf16("\xF4\x8F\xBF\xBF"), u"\U0010FFFF");
  // A pair that arrived as two encoded halves is still one character.
  EXPECT_EQ(Utf8ParaUtf16(Utf8ModificadoParaUtf8("\xED\xA0\xBD\xED\xB8\x80")), u"\U0001F600");
}
