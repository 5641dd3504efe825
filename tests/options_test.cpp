// The command line: every option takes the next argument as its value.
#include "app/options.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "app/process.h"

namespace {

bool Parse(std::vector<const char*> args, Options* options) {
  args.insert(args.begin(), "vesk-dbc2sql");
  return ParseOptions(static_cast<int>(args.size()), args.data(), options);
}

TEST(Options, NoArgumentsIsValidAndSetsNothing) {
  Options o;
  EXPECT_TRUE(Parse({}, &o));
  EXPECT_EQ(o.file, nullptr);
  EXPECT_EQ(o.host, nullptr);
  EXPECT_EQ(o.locale, 0);
  EXPECT_EQ(o.port, 0);
}

TEST(Options, EachLetterTakesTheNextArgument) {
  Options o;
  ASSERT_TRUE(Parse({"-h", "db.local", "-o", "3307", "-u", "root", "-p", "", "-d", "world", "-f",
                     "out.sql", "-l", "8"},
                    &o));
  EXPECT_STREQ(o.host, "db.local");
  EXPECT_EQ(o.port, 3307);
  EXPECT_STREQ(o.user, "root");
  EXPECT_STREQ(o.password, "");  // an empty argument is a value
  EXPECT_STREQ(o.database, "world");
  EXPECT_STREQ(o.file, "out.sql");
  EXPECT_EQ(o.locale, 8);
}

TEST(Options, OnlyTheSecondCharacterCounts) {
  Options o;
  ASSERT_TRUE(Parse({"-host", "h", "-file", "x.sql"}, &o));
  EXPECT_STREQ(o.host, "h");
  EXPECT_STREQ(o.file, "x.sql");
}

TEST(Options, LaterOccurrenceWins) {
  Options o;
  ASSERT_TRUE(Parse({"-f", "a.sql", "-f", "b.sql"}, &o));
  EXPECT_STREQ(o.file, "b.sql");
}

TEST(Options, ValueIsTakenEvenWhenItLooksLikeAnOption) {
  Options o;
  // -h takes "-u" as its value; "root" then stands where an option belongs.
  EXPECT_FALSE(Parse({"-h", "-u", "root", "x"}, &o));
  Options p;
  ASSERT_TRUE(Parse({"-h", "-u", "-d", "db"}, &p));
  EXPECT_STREQ(p.host, "-u");
  EXPECT_STREQ(p.database, "db");
  EXPECT_EQ(p.user, nullptr);
}

TEST(Options, MalformedCommandLines) {
  Options o;
  EXPECT_FALSE(Parse({"out.sql"}, &o)) << "argument without dash";
  EXPECT_FALSE(Parse({"-f"}, &o)) << "missing value";
  EXPECT_FALSE(Parse({"-l", "1", "-f"}, &o)) << "missing value at the end";
  EXPECT_FALSE(Parse({"-x", "1"}, &o)) << "unknown letter";
  EXPECT_FALSE(Parse({"-", "1"}, &o)) << "lone dash";
  EXPECT_FALSE(Parse({"--help", "1"}, &o)) << "second character is a dash";
  EXPECT_FALSE(Parse({"-F", "a"}, &o)) << "letters are case-sensitive";
}

// Passwords are wiped from the command line, whatever stands around them.
TEST(Options, PasswordsAreWipedFromTheCommandLine) {
  std::vector<std::string> args = {"vesk-dbc2sql", "--ssl",      "--file",  "-p",
                                   "-p",           "secret",     "--quiet", "--password=pw2",
                                   "--user",       "--password", "-d",      "db"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  HidePasswordArguments(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(args[3], "-p") << "the value of --file";
  EXPECT_EQ(args[5], "xxxxxx");
  EXPECT_EQ(args[7], "--password=xxx");
  EXPECT_EQ(args[9], "--password") << "the value of --user";
  EXPECT_EQ(args[11], "db");
}

TEST(ParseInt, FollowsTheAtoiRules) {
  EXPECT_EQ(ParseInt("12"), 12);
  EXPECT_EQ(ParseInt("12x"), 12);
  EXPECT_EQ(ParseInt("  \t+7"), 7);
  EXPECT_EQ(ParseInt("-3"), -3);
  EXPECT_EQ(ParseInt("x12"), 0);
  EXPECT_EQ(ParseInt(""), 0);
  EXPECT_EQ(ParseInt("-"), 0);
  EXPECT_EQ(ParseInt("+-1"), 0);
  EXPECT_EQ(ParseInt("1 2"), 1);
  EXPECT_EQ(ParseInt("007"), 7);
}

TEST(LocaleIndex, NamesInAnyCaseOrAtoiNumbers) {
  EXPECT_EQ(LocaleIndex("ruRU"), 11);
  EXPECT_EQ(LocaleIndex("enus"), 1);
  EXPECT_EQ(LocaleIndex("ESMX"), 10);
  EXPECT_EQ(LocaleIndex("8"), 8);
  EXPECT_EQ(LocaleIndex("12x"), 12) << "out of range: SetLocale takes slot 0";
  EXPECT_EQ(LocaleIndex("ruRUx"), 0);
}

TEST(ParseInt, SaturatesBeyondTheIntRange) {
  EXPECT_EQ(ParseInt("2147483647"), INT_MAX);
  EXPECT_EQ(ParseInt("2147483648"), INT_MAX);
  EXPECT_EQ(ParseInt("99999999999999999999999"), INT_MAX);
  EXPECT_EQ(ParseInt("-2147483648"), INT_MIN);
  EXPECT_EQ(ParseInt("-2147483649"), INT_MIN);
  EXPECT_EQ(ParseInt("-99999999999999999999999"), INT_MIN);
  // 2^32 + 1 would wrap to 1 with a plain 32-bit conversion.
  EXPECT_EQ(ParseInt("4294967297"), INT_MAX);
}

}  // namespace
