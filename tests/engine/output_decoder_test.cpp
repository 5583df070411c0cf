#include "corvane/engine/output_decoder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace corvane {
namespace {

TEST(Utf8, AcceptsOnlyWellFormedTextAndCarriesOnlyWhatCouldBeCompleted) {
  EXPECT_TRUE(IsValidUtf8("plain ASCII, long enough for the word-at-a-time path"));
  EXPECT_TRUE(IsValidUtf8("セットアップ \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF \xEF\xBF\xBF"));
  EXPECT_TRUE(IsValidUtf8(std::string("nul \0 inside", 12)));
  for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF",
                          "\xE3\x81x", "12345678\xE3"}) {
    EXPECT_FALSE(IsValidUtf8(bad)) << bad;  // overlong, surrogate, too high, stray, cut
  }
  // A tail that some bytes could complete: not one without a lead byte, nor
  // one that would be a surrogate, nor a byte that never leads.
  EXPECT_EQ(IncompleteUtf8Tail("ok\xE3\x81"), 2U);
  EXPECT_EQ(IncompleteUtf8Tail("\xF0\x9F\x98"), 3U);
  for (const char* whole : {"ok\xE3\x81\x82", "\x81\x82", "\xED\xA0", "\xC0"}) {
    EXPECT_EQ(IncompleteUtf8Tail(whole), 0U) << whole;
  }
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

// Each character on its own: a stray byte is its Mac OS Roman character and
// leaves the valid text around it alone, however the reads cut the stream; a
// character cut between reads waits for its other bytes.
TEST(OutputDecoder, StrayBytesAreMacRomanAndTheTextIsTheSameForEveryCut) {
  EXPECT_EQ(DecodeLeniently("インストール ok \xFF"), "インストール ok \u02C7");
  EXPECT_EQ(DecodeLeniently("/ホーム/caf\xE9/\xE3\x81"), "/ホーム/caf\u00C8/\u201E\u00C5");
  OutputDecoder decoder;
  EXPECT_EQ(decoder.decode("ok\xE3\x81"), "ok");
  EXPECT_EQ(decoder.decode("\x82\n"), "あ\n");
  EXPECT_EQ(decoder.decode("\xF0\x9F"), "");
  EXPECT_EQ(decoder.finish(), "\uF8FF\u00FC") << "held at the end: Mac OS Roman";
  const std::string stream = "日本語 \xE3\x81\xFF 😀\xF0\x9F ok \xC3\xA9\x80\xE3\x81";
  for (std::size_t a = 0; a <= stream.size(); ++a) {
    for (std::size_t b = a; b <= stream.size(); ++b) {
      OutputDecoder cut;
      std::string text = cut.decode(stream.substr(0, a));
      text += cut.decode(stream.substr(a, b - a));
      text += cut.decode(stream.substr(b));
      ASSERT_EQ(text + cut.finish(), DecodeLeniently(stream)) << a << " " << b;
    }
  }
}

}  // namespace
}  // namespace corvane
