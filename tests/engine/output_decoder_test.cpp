#include "corvane/engine/output_decoder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace corvane {
namespace {

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

// Each character on its own: a byte that is not part of a well-formed one
// (stray, cut, overlong, a surrogate, past U+10FFFF) is its Mac OS Roman
// character and leaves the valid text around it alone, however the reads cut
// the stream; a character cut between reads waits for its other bytes.
TEST(OutputDecoder, StrayBytesAreMacRomanAndTheTextIsTheSameForEveryCut) {
  EXPECT_EQ(DecodeLeniently("インストール ok \xFF"), "インストール ok \u02C7");
  EXPECT_EQ(DecodeLeniently("/ホーム/caf\xE9/\xE3\x81"), "/ホーム/caf\u00C8/\u201E\u00C5");
  EXPECT_EQ(
      DecodeLeniently("\xC0\xAF \xE0\x80\xAF \xED\xA0\x80 \xF4\x90\x80\x80 ok, \xFF inside a word"),
      "\u00BF\u00D8 \u2021\u00C4\u00D8 \u00CC\u2020\u00C4 \u00D9\u00EA\u00C4\u00C4 ok, \u02C7 "
      "inside a word");
  OutputDecoder decoder;
  EXPECT_EQ(decoder.decode("ok\xE3\x81"), "ok");
  EXPECT_EQ(decoder.decode("\x82\n"), "あ\n");
  EXPECT_EQ(decoder.decode("\xF0\x9F"), "");
  EXPECT_EQ(decoder.finish(), "\uF8FF\u00FC") << "held at the end: Mac OS Roman";
  EXPECT_EQ(decoder.decode("\xED\xA0") + decoder.decode("\xC0"), "\u00CC\u2020\u00BF")
      << "never held: a surrogate's start, a byte that never leads";
  const std::string stream =
      "日本語 \xE3\x81\xFF 😀\xF0\x9F ok \xC3\xA9\x80 \xED\xA0\x80\xC0\xE3\x81";
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
