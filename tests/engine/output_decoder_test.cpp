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

TEST(OutputDecoder, InvalidChunksAreMacRomanWholeAndCutCharactersCarriedOver) {
  EXPECT_EQ(Decoded({"caf\xE9 "}), "caf\u00C8 ");
  // Invalid in the middle, with what looks like a cut character at the end:
  // the whole chunk is Mac OS Roman, and nothing is carried.
  EXPECT_EQ(Decoded({"\xFF ok \xE3\x81", "\x82"}),
            DecodeMacRoman("\xFF ok \xE3\x81") + DecodeMacRoman("\x82"));
  std::vector<std::string> pieces;
  EXPECT_EQ(Decoded({"ok\xE3\x81", "\x82\n"}, &pieces), "okあ\n");
  EXPECT_EQ(pieces, (std::vector<std::string>{"ok", "あ\n"}));
  // A carried prefix that the next read does not complete is Mac OS Roman,
  // and so is one still carried at end of stream.
  EXPECT_EQ(Decoded({"ok\xE3\x81", "AB"}), "ok" + DecodeMacRoman("\xE3\x81"
                                                                 "AB"));
  EXPECT_EQ(Decoded({"caf\xE9"}), "caf\u00C8");
  EXPECT_EQ(Decoded({"\xF0", "\x9F", "\x98", "\x80"}), "\xF0\x9F\x98\x80");
}

}  // namespace
}  // namespace corvane
