// The command line: every option takes the next argument as its value.
#include "app/options.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/option_file.h"
#include "app/process.h"
#include "support/cli_fixture.h"
#include "support/test_support.h"

namespace {

bool Parse(std::vector<const char*> args, Options* options) {
  args.insert(args.begin(), "vesk-dbc2sql");
  return ParseOptions(static_cast<int>(args.size()), args.data(), options);
}

TEST(Options, NoArgumentsIsValidAndSetsNothing) {
  Options o;
  EXPECT_TRUE(Parse({}, &o));
  EXPECT_FALSE(o.file);
  EXPECT_FALSE(o.host);
  EXPECT_EQ(o.LocaleIndex(), 0);
  EXPECT_EQ(o.Port(), 0);
}

TEST(Options, EachLetterTakesTheNextArgument) {
  Options o;
  ASSERT_TRUE(Parse({"-h", "db.local", "-o", "3307", "-u", "root", "-p", "", "-d", "world", "-f",
                     "out.sql", "-l", "8"},
                    &o));
  EXPECT_EQ(o.host, "db.local");
  EXPECT_EQ(o.Port(), 3307);
  EXPECT_EQ(o.user, "root");
  EXPECT_EQ(o.password, "");  // an empty argument is a value
  EXPECT_EQ(o.database, "world");
  EXPECT_EQ(o.file, "out.sql");
  EXPECT_EQ(o.LocaleIndex(), 8);
}

TEST(Options, OnlyTheSecondCharacterCounts) {
  Options o;
  ASSERT_TRUE(Parse({"-host", "h", "-file", "x.sql"}, &o));
  EXPECT_EQ(o.host, "h");
  EXPECT_EQ(o.file, "x.sql");
}

TEST(Options, LaterOccurrenceWins) {
  Options o;
  ASSERT_TRUE(Parse({"-f", "a.sql", "-f", "b.sql"}, &o));
  EXPECT_EQ(o.file, "b.sql");
}

TEST(Options, ValueIsTakenEvenWhenItLooksLikeAnOption) {
  Options o;
  // -h takes "-u" as its value; "root" then stands where an option belongs.
  EXPECT_FALSE(Parse({"-h", "-u", "root", "x"}, &o));
  Options p;
  ASSERT_TRUE(Parse({"-h", "-u", "-d", "db"}, &p));
  EXPECT_EQ(p.host, "-u");
  EXPECT_EQ(p.database, "db");
  EXPECT_FALSE(p.user);
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

namespace {

// The lines of an option file as my_print_defaults prints them.
std::string AsPrinted(const std::vector<OptionLine>& lines) {
  std::string out;
  for (const OptionLine& line : lines)
    out += "--" + line.name + (line.value ? "=" + *line.value : "") + "\n";
  return out;
}

std::string Command(const std::string& command) {
  std::string out;
  if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      out.append(buffer, n);
    ::pclose(pipe);
  }
  return out;
}

// Runs of the converter about its options alone.
class OptionRunTest : public CliTest {};

// An unknown long option names the nearest one, if any, and --help, in
// place of the short options' usage.
TEST_F(OptionRunTest, AnUnknownLongOptionNamesTheNearestOne) {
  for (const auto& [args, why] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--tabels=spell"}, "unknown option --tabels; did you mean --tables?"},
           {{"--lock_wiat", "3"}, "unknown option --lock_wiat; did you mean --lock-wait?"},
           {{"-f", "a.sql", "--ATOMIC"}, "unknown option --ATOMIC; did you mean --atomic?"},
           {{"--verbose"}, "unknown option --verbose"}}) {
    const RunResult r = Run(args);
    EXPECT_EQ(r.out, kBanner) << args[0];
    EXPECT_EQ(Unwrapped(r.err), "vesk-dbc2sql: " + why + " (--help lists every option)\n");
    EXPECT_EQ(r.status, 2);
  }
  // In the option file's group of the tool, too.
  WriteFile(dir / "my.cnf", "[vesk-dbc2sql]\nparalel=4\n");
  ::chmod((dir / "my.cnf").c_str(), 0600);
  const RunResult file = Run({"--defaults-file=my.cnf", "-f", "x.sql"});
  EXPECT_EQ(file.status, 2);
  EXPECT_NE(Unwrapped(file.err).find("unknown option paralel in [vesk-dbc2sql]; did you mean "
                                     "parallel?"),
            std::string::npos)
      << file.err;
}

// The option files as my_print_defaults reads them, the extra file only
// without --defaults-file, none with --no-defaults.
TEST_F(OptionRunTest, OptionFileConveniences) {
  MakeSampleClient(dir.path(), {"--records", "3"});
  WriteFile(dir / "my.cnf",
            "[client]\nuser=bob\npassword=secret\nssl_ca = \"/x y\"\n[other]\nq=1\n"
            "[vesk-dbc2sql]\ndatabase=w\nskip-quiet\n");
  WriteFile(dir / "extra.cnf", "[vesk-dbc2sql]\nfile=from-extra.sql\n");
  for (const char* name : {"my.cnf", "extra.cnf"}) ::chmod((dir / name).c_str(), 0600);
  const RunResult printed = Run({"--defaults-file=my.cnf", "--print-defaults"});
  EXPECT_EQ(printed.status, 0);
  EXPECT_EQ(printed.out,
            "--user=bob\n--password=*****\n--ssl_ca=/x y\n--database=w\n--skip-quiet\n");

  const RunResult extra = Run({"--defaults-extra-file=extra.cnf", "--tables=Spell"});
  EXPECT_EQ(extra.status, 0) << extra.err;
  EXPECT_TRUE(std::filesystem::exists(dir / "from-extra.sql"));
  const RunResult both =
      Run({"--defaults-file=my.cnf", "--defaults-extra-file=extra.cnf", "--print-defaults"});
  EXPECT_EQ(both.out, printed.out);
  EXPECT_NE(both.err.find("--defaults-extra-file is not read with --defaults-file"),
            std::string::npos);
  const RunResult none = Run({"--defaults-extra-file=extra.cnf", "--no-defaults"});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("choose an output"), std::string::npos) << none.err;
}

}  // namespace

// The reader finds what my_print_defaults finds: groups in any case,
// comments, quotes and escapes, bare names, prefixes, includes.
TEST(OptionFile, ReadsWhatMyPrintDefaultsReads) {
  TempDir dir;
  WriteFile(dir / "main.cnf",
            "# a comment\n; another\n[CLIENT]\nhost = db.example   # trailing comment\n"
            "user=\"quoted # not a comment\"\npassword='it''s'\n"
            "socket = \"/run/my sock\\\\x\\s\\\"q\\\"\"\nssl-verify-server-cert\nloose-compress\n"
            "ssl_ca=/etc/ca.pem\nskip-ssl\n[mysqldump]\nquick\n[Vesk-Dbc2sql]\n"
            "  tables = spell , zones\nenable-quiet\ndisable_atomic=1\nport=3307\nempty=\n"
            "tab=\"a\\tb\"\nhalf=\"open value\nhalf2='single\nescape=a\\db\\qc\\\\d\n"
            "end=\"x\"y\ndatabase = \"a\\\"b # c\"\n!include " +
                dir / "extra.cnf" + "\n!includedir " + dir / "inc" + "\n");
  WriteFile(dir / "extra.cnf", "[client]\nconnect-timeout=5\n");
  std::filesystem::create_directory(dir / "inc");
  WriteFile(dir / "inc/b.cnf", "[vesk-dbc2sql]\nlocale=ruRU\n");
  WriteFile(dir / "inc/a.cnf", "[vesk-dbc2sql]\nlock-wait=3\n");
  WriteFile(dir / "inc/c.txt", "[vesk-dbc2sql]\nnot=read\n");
  std::vector<OptionLine> lines;
  std::string why;
  ASSERT_TRUE(ReadOptionFile(dir / "main.cnf", {"client", "vesk-dbc2sql"}, &lines, &why)) << why;
  const std::string reference = Command(
      "my_print_defaults --defaults-file=" + Quoted(dir / "main.cnf") + " client vesk-dbc2sql");
  ASSERT_NE(reference, "") << "my_print_defaults (mariadb-client-core) is needed";
  EXPECT_EQ(AsPrinted(lines), reference);
}

// Where files go wrong, the reader still finds what my_print_defaults
// finds: a blank before a group's name makes another group, an included
// file that is not there is passed over, one with a malformed line gives
// the lines before it, and an included folder's ".cnf" is read.
TEST(OptionFile, ReadsWhatMyPrintDefaultsReadsOfFilesGoneWrong) {
  TempDir dir;
  WriteFile(dir / "main.cnf",
            "[ client]\nuser=blank-before\n[client ]\nhost=blank-after\n"
            "[client]\n!include " +
                dir / "missing.cnf" + "\nport=1\n!include " + dir / "bad.cnf" +
                "\nsocket=after-bad\n!includedir " + dir / "inc" + "\n[vesk_dbc2sql]\nquiet\n");
  WriteFile(dir / "bad.cnf", "[client]\npassword=kept\n[client\nuser=lost\n");
  std::filesystem::create_directory(dir / "inc");
  WriteFile(dir / "inc/.cnf", "[client]\nuser=dot-cnf\n");
  std::vector<OptionLine> lines;
  std::vector<std::string> warnings;
  std::string why;
  ASSERT_TRUE(ReadOptionFile(dir / "main.cnf", {"client", "vesk-dbc2sql"}, &lines, &why, &warnings))
      << why;
  EXPECT_EQ(AsPrinted(lines),
            "--host=blank-after\n--port=1\n--password=kept\n--socket=after-bad\n"
            "--user=dot-cnf\n");
  EXPECT_EQ(AsPrinted(lines),
            Command("my_print_defaults --defaults-file=" + Quoted(dir / "main.cnf") +
                    " client vesk-dbc2sql 2>/dev/null"));
  ASSERT_EQ(warnings.size(), 3u);
  EXPECT_EQ(warnings[0], dir /
                             "main.cnf, line 1: group [ client] is not read: a blank before "
                             "its name makes another group");
  EXPECT_EQ(warnings[1], dir /
                             "bad.cnf, line 3: a group without its closing ]; the rest of "
                             "that file is not read");
  EXPECT_EQ(warnings[2], dir /
                             "main.cnf, line 11: group [vesk_dbc2sql] is not read; did you "
                             "mean [vesk-dbc2sql]?");
  // A file that includes itself stops at the depth limit, with a warning.
  WriteFile(dir / "self.cnf", "[client]\nuser=me\n!include " + dir / "self.cnf" + "\n");
  lines.clear();
  warnings.clear();
  ASSERT_TRUE(ReadOptionFile(dir / "self.cnf", {"client"}, &lines, &why, &warnings)) << why;
  EXPECT_EQ(lines.size(), 11u);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find(": includes nested too deep; "), std::string::npos) << warnings[0];
}

// What the tool takes from the file, and what it refuses or warns about.
TEST(OptionFile, GroupsKeysAndRefusals) {
  TempDir dir;
  const auto apply = [&](const std::string& text, Options* o, std::vector<std::string>* warnings) {
    WriteFile(dir / "my.cnf", text);
    ::chmod((dir / "my.cnf").c_str(), 0600);
    std::string why;
    return ApplyOptionFile(dir / "my.cnf", o, warnings, &why) ? std::string() : why;
  };
  Options o;
  std::vector<std::string> warnings;
  EXPECT_EQ(apply("[client]\nuser=u\npasword=x\ndefault-character-set=latin1\nloose-zzz=1\n"
                  "tables=spell\nssl-verify-server-cert\n[vesk-dbc2sql]\nlocale=ruRU\nquiet\n"
                  "tables=spell\nexclude=zones\natomic\n",
                  &o, &warnings),
            "");
  EXPECT_EQ(o.user, "u");
  EXPECT_TRUE(o.ssl_verify_server_cert) << "a bare flag turns it on";
  EXPECT_EQ(o.LocaleIndex(), 11);
  EXPECT_TRUE(o.quiet && o.atomic);
  EXPECT_EQ(o.tables, "spell");
  EXPECT_EQ(o.exclude, "zones");
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0], dir / "my.cnf, line 3: unknown option pasword in [client], passed over");
  EXPECT_EQ(warnings[1], dir /
                             "my.cnf, line 6: tables is not read from [client]; put it under "
                             "[vesk-dbc2sql]");
  for (const auto& [text, why] : std::vector<std::pair<std::string, std::string>>{
           {"[vesk-dbc2sql]\nverbose\n", ", line 2: unknown option verbose in [vesk-dbc2sql]"},
           {"[client]\nssl=maybe\n", ", line 2: option --ssl takes no value"},
           {"[client]\nport\n", ", line 2: option --port needs a value"},
           {"user=x\n", ", line 1: an option before the first [group]"},
           {"[client\n", ", line 1: a group without its closing ]"},
           {"[client]\n!include\n", ", line 2: !include names no file"},
           {"[client]\n!includedir  \n", ", line 2: !includedir names no file"},
           // A long key is cut in the message.
           {"[vesk-dbc2sql]\n" + std::string(100000, 'k') + "=1\n",
            ", line 2: unknown option " + std::string(40, 'k') +
                "... (100000 characters) in [vesk-dbc2sql]"}}) {
    Options p;
    EXPECT_EQ(apply(text, &p, &warnings), dir / "my.cnf" + why) << text;
  }
  // Files the run must not read.
  ::mkfifo((dir / "fifo").c_str(), 0600);
  WriteFile(dir / "open.cnf", "[client]\n");
  ::chmod((dir / "open.cnf").c_str(), 0666);
  for (const auto& [path, why] : std::vector<std::pair<std::string, std::string>>{
           {dir / "missing.cnf", "option file " + dir / "missing.cnf: No such file or directory"},
           {dir.path(), "option file " + dir.path() + ": it is a folder"},
           {dir / "fifo", "option file " + dir / "fifo: it is not a regular file"},
           {"/dev/zero", "option file /dev/zero: it is not a regular file"},
           {dir / "open.cnf", "option file " + dir / "open.cnf: every user may write it"},
           {"", "--defaults-file names no file"}}) {
    Options p;
    std::string reason;
    EXPECT_FALSE(ApplyOptionFile(path, &p, &warnings, &reason)) << path;
    EXPECT_EQ(reason, why);
  }
}

// The command line wins over the file, flags and TLS options included.
TEST(OptionFile, TheCommandLineWins) {
  Options command, file;
  ASSERT_TRUE(Parse({"--ssl-verify-server-cert", "-u", "me", "--skip-quiet", "--replace-edited"},
                    &command));
  std::string why;
  ASSERT_EQ(SetByName("ssl-verify-server-cert", "0", &file, &why), SetResult::kSet);
  ASSERT_EQ(SetByName("user", "other", &file, &why), SetResult::kSet);
  ASSERT_EQ(SetByName("quiet", nullptr, &file, &why), SetResult::kSet);
  ASSERT_EQ(SetByName("host", "db", &file, &why), SetResult::kSet);
  ASSERT_EQ(SetByName("password", nullptr, &file, &why), SetResult::kSet);
  ASSERT_EQ(SetByName("keep-edited", nullptr, &file, &why), SetResult::kSet);
  FillFrom(&command, file);
  EXPECT_FALSE(command.keep_edited) << "--replace-edited on the command line wins over it";
  EXPECT_TRUE(command.ssl_verify_server_cert);
  EXPECT_EQ(command.user, "me");
  EXPECT_FALSE(command.quiet);
  EXPECT_EQ(command.host, "db") << "what the command line leaves, the file gives";
  EXPECT_TRUE(command.ask_password) << "a bare password in the file asks";
}

// Every option of the table is documented where users look.
TEST(OptionTable, EveryOptionIsInTheHelpTheReadmeAndTheManual) {
  const std::string help = OptionHelp();
  const std::string readme = ReadFile(std::string(VESK_SOURCE_DIR) + "/README.md");
  const std::string manual = ReadFile(std::string(VESK_SOURCE_DIR) + "/docs/vesk-dbc2sql.1.in");
  for (const OptionRow& row : OptionTable()) {
    const std::string name = std::string("--") + row.name;
    std::string escaped;
    for (const char c : name) escaped += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(help.find(name), std::string::npos) << name;
    EXPECT_NE(readme.find(name), std::string::npos) << name << " in README.md";
    EXPECT_NE(manual.find(escaped), std::string::npos) << name << " in the man page";
  }
  for (std::size_t at = 0, end; at < help.size(); at = end + 1) {
    end = help.find('\n', at);
    EXPECT_LE(end - at, 80u) << help.substr(at, end - at);
  }
}

// Integers in their ranges, locales by number or name.
TEST(Options, ValuesAreChecked) {
  for (const auto& [args, why] : std::vector<std::pair<std::vector<const char*>, std::string>>{
           {{"--connect-timeout=abc"},
            "option --connect-timeout takes a whole number from 1 to "
            "31536000, not abc"},
           {{"--connect-timeout", "0"},
            "option --connect-timeout takes a whole number from 1 "
            "to 31536000, not 0"},
           {{"--connect-timeout=-1"},
            "option --connect-timeout takes a whole number from 1 to "
            "31536000, not -1"},
           {{"--lock-wait=5x"},
            "option --lock-wait takes a whole number from 0 to 31536000, not "
            "5x"},
           {{"-l", "x1"},
            "locale x1 is neither a slot number nor a name: 0 enGB, 1 enUS, 2 deDE, "
            "3 esES, 4 frFR, 5 koKR, 6 zhCN, 7 zhTW, 8 enCN, 9 enTW, 10 esMX, 11 "
            "ruRU, or auto"},
           {{"-l", "ruRU"}, ""},
           {{"-l", "AUTO"}, ""},
           {{"-l", "12x"}, ""},
           // Each bound is the last value taken.
           {{"--connect-timeout=31536001"},
            "option --connect-timeout takes a whole number from 1 to 31536000, not 31536001"},
           {{"--lock-wait=31536001"},
            "option --lock-wait takes a whole number from 0 to 31536000, not 31536001"},
           {{"--parallel=65"}, "option --parallel takes a whole number from 1 to 64, not 65"},
           {{"--parallel=0"}, "option --parallel takes a whole number from 1 to 64, not 0"},
           {{"--parallel=64", "--connect-timeout=31536000", "--lock-wait=31536000"}, ""},
           {{"--connect-timeout=1", "--lock-wait=0"}, ""}}) {
    Options o;
    ASSERT_TRUE(Parse(args, &o));
    std::string mistake, warning;
    EXPECT_EQ(Validate(o, &mistake, &warning), why.empty()) << args[0];
    EXPECT_EQ(mistake, why);
  }
}
