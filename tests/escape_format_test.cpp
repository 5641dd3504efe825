// Value texts: numbers as printf's "%u", "%d" and "%f" print them, strings
// escaped by the client library's rules.
#include <gtest/gtest.h>
#include <mysql.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "dbc/dbcfile.h"
#include "dbc/utf8.h"
#include "port/byte_reader.h"
#include "sql/escape.h"
#include "sql/value_format.h"

namespace {

std::string U(std::uint32_t v) {
  char buf[kMaxNumberText];
  return std::string(buf, FormatUnsigned(buf, v));
}
std::string I(std::int32_t v) {
  char buf[kMaxNumberText];
  return std::string(buf, FormatSigned(buf, v));
}
std::string F(float v) {
  char buf[kMaxNumberText];
  return std::string(buf, FormatFloat(buf, v));
}

TEST(ValueFormat, Integers) {
  EXPECT_EQ(U(0), "0");
  EXPECT_EQ(U(2147483648u), "2147483648");
  EXPECT_EQ(U(4294967295u), "4294967295");
  EXPECT_EQ(I(-1), "-1");
  EXPECT_EQ(I(std::numeric_limits<std::int32_t>::min()), "-2147483648");
  EXPECT_EQ(I(2147483647), "2147483647");
}

// Every power of ten and its neighbours, where the digit count changes.
TEST(ValueFormat, IntegersAtPowersOfTen) {
  std::uint64_t power = 1;
  for (int digits = 1; digits <= 10; ++digits, power *= 10) {
    for (std::uint64_t v : {power - 1, power, power + 1}) {
      if (v > 0xFFFFFFFFu) continue;
      char expected[16];
      std::snprintf(expected, sizeof expected, "%u", static_cast<unsigned>(v));
      EXPECT_EQ(U(static_cast<std::uint32_t>(v)), expected);
      if (v <= 0x7FFFFFFFu) {
        EXPECT_EQ(I(-static_cast<std::int32_t>(v)), std::string(v ? "-" : "") + expected);
      }
    }
  }
  EXPECT_EQ(U(10000), "10000");
  EXPECT_EQ(U(100000000), "100000000");
  EXPECT_EQ(I(-100000000), "-100000000");
}

// Reads of little-endian words never reach past the window, at its edges.
TEST(ByteReader, WordsFitOnlyInsideTheWindow) {
  const std::uint8_t bytes[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  std::uint32_t word = 0;
  EXPECT_FALSE(ByteReader(bytes, 3).ReadU32(0, &word)) << "a 3-byte window holds no word";
  const ByteReader reader(bytes, 8);
  EXPECT_TRUE(reader.ReadU32(4, &word)) << "the last whole word";
  EXPECT_EQ(word, 0x08070605u);
  EXPECT_FALSE(reader.ReadU32(5, &word)) << "one byte past the end";
  EXPECT_FALSE(reader.ReadU32(9, &word));
  EXPECT_FALSE(reader.ReadU32(SIZE_MAX - 1, &word)) << "no wrap-around";
  EXPECT_EQ(word, 0x08070605u) << "a failed read leaves the value alone";
}

TEST(ValueFormat, FloatsWithSixDecimals) {
  EXPECT_EQ(F(0.0f), "0.000000");
  EXPECT_EQ(F(-0.0f), "-0.000000");
  EXPECT_EQ(F(0.1f), "0.100000");        // 0.100000001490116...
  EXPECT_EQ(F(1.0000005f), "1.000000");  // 1.000000476837158...
  EXPECT_EQ(F(1.9999999f), "2.000000");  // 1.99999988079071...
  EXPECT_EQ(F(7.0e-6f), "0.000007");     // 6.99999986...e-06
  EXPECT_EQ(F(1.5e-6f), "0.000002");     // 1.50000005...e-06
  EXPECT_EQ(F(2.5e-7f), "0.000000");
  EXPECT_EQ(F(-1.0e-7f), "-0.000000");
  EXPECT_EQ(F(-3.75f), "-3.750000");
  EXPECT_EQ(F(123456.789f), "123456.789062");  // exactly 123456.7890625: tie to even
  EXPECT_EQ(F(0.0000305175781f), "0.000031");  // 2^-15 = 0.000030517578125
  EXPECT_EQ(F(1.0e10f), "10000000000.000000");
  EXPECT_EQ(F(std::numeric_limits<float>::max()), "340282346638528859811704183484516925440.000000");
  EXPECT_EQ(F(std::numeric_limits<float>::denorm_min()), "0.000000");
}

TEST(ValueFormat, NonFiniteFloatsAsPrintfSpellsThem) {
  EXPECT_EQ(F(std::numeric_limits<float>::infinity()), "inf");
  EXPECT_EQ(F(-std::numeric_limits<float>::infinity()), "-inf");
  EXPECT_EQ(F(std::numeric_limits<float>::quiet_NaN()), "nan");
  EXPECT_EQ(F(-std::numeric_limits<float>::quiet_NaN()), "-nan");
}

// The escaping unit alone, and through the statement builder's members.
std::string Escaped(const std::string& s) {
  TextBuffer out;
  AppendEscaped(out, s.data(), s.size());
  return std::string(out.data(), out.size());
}

class Escape : public ::testing::Test {
 protected:
  DBCFile builder;
};

TEST(EscapeUnit, EscapesAnyBytesWithoutAReader) {
  // A NUL inside the bytes is escaped too: the length, not a terminator,
  // ends the text.
  EXPECT_EQ(Escaped(std::string("a'b\0c", 5)), "a\\'b\\0c");
  EXPECT_EQ(Escaped(std::string("\"\n\r\x1A", 4)), "\\\"\\n\\r\\Z");
  EXPECT_EQ(Escaped(""), "");
  const char path[] = "a\\b\\c";
  EXPECT_STREQ(BaseName(path, std::strlen(path)), "c");
  EXPECT_STREQ(BaseName(path, 0), path);
}

TEST_F(Escape, EverySpecialCharacterGetsABackslash) {
  EXPECT_STREQ(builder.EscapeString("plain text"), "plain text");
  EXPECT_STREQ(builder.EscapeString("it's"), "it\\'s");
  EXPECT_STREQ(builder.EscapeString("say \"hi\""), "say \\\"hi\\\"");
  EXPECT_STREQ(builder.EscapeString("a\\b"), "a\\\\b");
  EXPECT_STREQ(builder.EscapeString("line\nbreak"), "line\\nbreak");
  EXPECT_STREQ(builder.EscapeString("cr\rhere"), "cr\\rhere");
  EXPECT_STREQ(builder.EscapeString("ctrl\x1Az"), "ctrl\\Zz");
  EXPECT_STREQ(builder.EscapeString(""), "");
  EXPECT_STREQ(builder.EscapeString("Огонь 火 `tick` %s"), "Огонь 火 `tick` %s");
}

TEST_F(Escape, LongStringsDoNotOverrunTheBuffer) {
  const std::string quotes(5000, '\'');
  std::string expected;
  for (int i = 0; i < 5000; ++i) expected += "\\'";
  EXPECT_EQ(builder.EscapeString(quotes.c_str()), expected);
}

TEST_F(Escape, BaseNameIsTheTextAfterTheLastBackslash) {
  EXPECT_STREQ(builder.EscapeBaseName("Interface\\Icons\\Spell_Fire"), "Spell_Fire");
  EXPECT_STREQ(builder.EscapeBaseName("NoFolder"), "NoFolder");
  EXPECT_STREQ(builder.EscapeBaseName(""), "");
  // A final backslash does not count; the one before it does.
  EXPECT_STREQ(builder.EscapeBaseName("a\\b\\"), "b\\\\");
  EXPECT_STREQ(builder.EscapeBaseName("\\"), "\\\\");
  EXPECT_STREQ(builder.EscapeBaseName("\\Leading"), "Leading");
  EXPECT_STREQ(builder.EscapeBaseName("x\\it's"), "it\\'s");
}

}  // namespace

namespace {

// The escaping copies runs of ordinary bytes itself; the result must be the
// library's escaping of the whole string, byte for byte.
TEST_F(Escape, SameBytesAsTheLibraryForAnyString) {
  const char pieces[][5] = {"a",        "Z",    " ",   "'", "\"",       "\\",           "\n",
                            "\r",       "\x1A", "%",   "`", "\xD0\x96", "\xE7\x81\xAB", "\xC3",
                            "\xBF\x5C", "\x7F", "\x80"};
  std::uint64_t state = 42;
  for (int round = 0; round < 20000; ++round) {
    std::string s;
    const int length = static_cast<int>(state % 70);
    for (int i = 0; i < length; ++i) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      s += pieces[(state >> 33) % std::size(pieces)];
    }
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    std::string expected(2 * s.size() + 1, '\0');
    expected.resize(mysql_escape_string(expected.data(), s.data(), s.size()));
    ASSERT_EQ(Escaped(s), expected) << "round " << round;
    ASSERT_EQ(builder.EscapeString(s.c_str()), expected) << "round " << round;
  }
  // Every single byte.
  for (int b = 1; b < 256; ++b) {
    const char s[2] = {static_cast<char>(b), 0};
    char expected[4];
    expected[mysql_escape_string(expected, s, 1)] = 0;
    ASSERT_STREQ(builder.EscapeString(s), expected) << b;
  }
}

}  // namespace

namespace {

std::string Printf(float v) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%f", static_cast<double>(v));
  return buf;
}

// The float texts must be printf's "%f" for every float; checked against
// the C library's printf over every exponent and many mantissas.
TEST(ValueFormat, FloatsAsPrintfPrintsThem) {
  std::uint64_t state = 7;
  for (std::uint32_t exponent = 0; exponent < 256; ++exponent) {
    for (int i = 0; i < 3000; ++i) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      std::uint32_t mantissa = static_cast<std::uint32_t>(state >> 41);  // 23 bits
      if (i < 4) mantissa = i < 2 ? static_cast<std::uint32_t>(i) : 0x7FFFFFu - (i - 2);
      const auto sign = static_cast<std::uint32_t>((state >> 20 & 1) << 31);
      const std::uint32_t bits = sign | exponent << 23 | mantissa;
      float v;
      std::memcpy(&v, &bits, 4);
      ASSERT_EQ(F(v), Printf(v)) << std::hex << bits;
    }
  }
  // Values exactly halfway between two millionths round to even.
  for (float v : {0.0000005f, 0.0000015f, 1.5e-6f, 2.5e-6f, 0.5f, 1.0f / 1024 / 1024 / 2,
                  3.0517578125e-05f, 123456.7890625f, 9.5367431640625e-07f}) {
    EXPECT_EQ(F(v), Printf(v)) << v;
    EXPECT_EQ(F(-v), Printf(-v)) << -v;
  }
}

}  // namespace

// What a utf8 (three-byte) column holds: one case a line, with the byte
// where the first character it cannot hold starts.
TEST(Utf8, FirstByteAThreeByteColumnCannotHold) {
  constexpr std::size_t kAll = std::string::npos;
  for (const auto& [text, at, kind] :
       std::vector<std::tuple<std::string, std::size_t, std::string>>{
           {"", kAll, ""},
           {"plain ASCII text of more than eight bytes", kAll, ""},
           {"\xD0\x9E\xD0\xB3\xD0\xBE\xD0\xBD\xD1\x8C \xE7\x81\xAB", kAll, ""},  // Cyrillic, CJK
           {"fire \xF0\x9F\x94\xA5", 5, "a four-byte character"},
           {"12345678\xFF", 8, "bytes that are not UTF-8"},  // after a fast stretch
           {"\xC0\x80", 0, "bytes that are not UTF-8"},      // overlong NUL
           {"\xE0\x80\x80", 0, "bytes that are not UTF-8"},  // overlong three bytes
           {"ab\xE7\x81", 2, "bytes that are not UTF-8"},    // cut short
           {"\x80z", 0, "bytes that are not UTF-8"},         // a lone continuation
       }) {
    const std::size_t found = FirstUnstorableByte(text.data(), text.size());
    EXPECT_EQ(found == text.size() ? kAll : found, at) << text;
    if (at != kAll) {
      EXPECT_EQ(UnstorableKind(text.data(), text.size(), at), kind) << text;
    }
  }
}
