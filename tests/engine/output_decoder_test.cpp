#include "corvane/engine/output_decoder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace corvane {
namespace {

// Decodes the chunks in turn; `pieces` gets what each call gave.
std::string Decoded(const std::vector<std::string>& chunks,
                    std::vector<std::string>* pieces = nullptr) {
  OutputDecoder decoder;
  std::string all;
  for (const auto& chunk : chunks) {
    std::string text = decoder.decode(chunk);
    if (pieces) pieces->push_back(text);
    all += text;
  }
  return all + decoder.finish();
}

TEST(Utf8, AcceptsOnlyWellFormedText) {
  EXPECT_TRUE(IsValidUtf8("plain ASCII, long enough for the word-at-a-time path"));
  EXPECT_TRUE(IsValidUtf8("セットアップ \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF \xEF\xBF\xBF"));
  EXPECT_TRUE(IsValidUtf8(std::string("nul \0 inside", 12)));
  for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF",  // overlong
                          "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\x80", "\xFF",
                          "ab\xE3\x81", "\xE3\x81x", "12345678\xE3"}) {
    EXPECT_FALSE(IsValidUtf8(bad)) << bad;
  }
}

TEST(Utf8, IncompleteTailIsOnlyAPrefixThatCouldBeCompleted) {
  EXPECT_EQ(IncompleteUtf8Tail("ok\xE3\x81"), 2U);
  EXPECT_EQ(IncompleteUtf8Tail("\xF0\x9F\x98"), 3U);
  EXPECT_EQ(IncompleteUtf8Tail("ok\xE3\x81\x82"), 0U);
  EXPECT_EQ(IncompleteUtf8Tail("\x81\x82"), 0U);  // no lead byte
  EXPECT_EQ(IncompleteUtf8Tail("\xED\xA0"), 0U);  // would be a surrogate
  EXPECT_EQ(IncompleteUtf8Tail("\xC0"), 0U);      // can never lead
}

TEST(MacRoman, MatchesPythonsCodecForAllHighBytes) {
  FILE* python = ::popen(
      "python3 -c \"import sys; sys.stdout.buffer.write(bytes(range(128, 256))"
      ".decode('mac_roman').encode('utf-8'))\"",
      "r");
  ASSERT_NE(python, nullptr);
  std::string expected;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, python)) > 0;)
    expected.append(buffer, n);
  ASSERT_EQ(::pclose(python), 0) << "python3 is needed for this check";
  std::string high;
  for (int b = 0x80; b <= 0xFF; ++b) high += static_cast<char>(b);
  EXPECT_EQ(DecodeMacRoman(high), expected);
  EXPECT_EQ(DecodeMacRoman("\xDB\xC6\xF0"), "\u20AC\u2206\uF8FF") << "Apple's, not iconv's";
}

TEST(DecodeLeniently, KeepsCharactersAndMapsOnlyStrayBytes) {
  EXPECT_EQ(DecodeLeniently("/Users/ホーム/caf\xE9/\xE3\x81"),
            "/Users/ホーム/caf\u00C8/\u201E\u00C5");
  EXPECT_EQ(DecodeLeniently("\xED\xA0\x80 \xF0\x9F\x98\x80"),
            DecodeMacRoman("\xED\xA0\x80") + " 😀");
}

// Each character on its own: a stray byte is its Mac OS Roman character and
// leaves the valid text around it alone, wherever the reads fall.
TEST(OutputDecoder, StrayBytesAreMacRomanAndTheTextIsTheSameForEveryCut) {
  const std::string write = "インストール ok \xFF";
  EXPECT_EQ(Decoded({write}), "インストール ok \u02C7");
  std::vector<std::string> pieces;
  EXPECT_EQ(Decoded({"ok\xE3\x81", "\x82\n"}, &pieces), "okあ\n");
  EXPECT_EQ(pieces, (std::vector<std::string>{"ok", "あ\n"}));
  // A carried prefix that the next read does not complete is Mac OS Roman,
  // and so is one still carried at end of stream.
  EXPECT_EQ(Decoded({"ok\xE3\x81", "AB"}), "ok\u201E\u00C5AB");
  EXPECT_EQ(Decoded({"caf\xE9"}), "caf\u00C8");
  EXPECT_EQ(Decoded({"\xF0", "\x9F", "\x98", "\x80"}), "\xF0\x9F\x98\x80");
  const std::string stream = "日本語 \xE3\x81\xFF 😀\xF0\x9F ok \xC3\xA9\x80";
  for (std::size_t a = 0; a <= stream.size(); ++a) {
    for (std::size_t b = a; b <= stream.size(); ++b) {
      ASSERT_EQ(Decoded({stream.substr(0, a), stream.substr(a, b - a), stream.substr(b)}),
                DecodeLeniently(stream))
          << a << " " << b;
    }
  }
}

}  // namespace
}  // namespace corvane
