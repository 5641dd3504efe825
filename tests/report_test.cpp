// The run report as JSON (--report), read back by parsing it, and the run
// options beside it: --client-dir, --no-progress and the option-file
// conveniences (--print-defaults, --defaults-extra-file, --no-defaults).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/modes.h"
#include "support/test_support.h"

namespace {

using Json = nlohmann::json;

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeSampleClient(dir.path(), {"--records", "3"}); }
  RunResult Run(const std::vector<std::string>& args) { return RunConverter(dir.path(), args); }
  // The report the run wrote, parsed; a document that does not parse fails.
  Json Report(const std::string& name = "run.json") {
    return Json::parse(ReadFile(dir / name));  // throws, failing the test
  }
  // The entry of `table` in a report.
  static Json Entry(const Json& report, const std::string& table) {
    for (const Json& entry : report["tables"])
      if (entry["table"] == table) return entry;
    ADD_FAILURE() << "no entry for " << table;
    return Json::object();
  }
  TempDir dir;
};

// Fields every document has, whatever the run did.
void ExpectFrame(const Json& report, const char* mode, int status) {
  EXPECT_EQ(report["format"], 1);
  EXPECT_EQ(report["tool"], "vesk-dbc2sql");
  EXPECT_TRUE(report["version"].is_string());
  EXPECT_EQ(report["mode"], mode);
  EXPECT_EQ(report["run_id"].get<std::string>().size(), 8u);
  EXPECT_EQ(report["exit_status"], status);
  EXPECT_TRUE(report["seconds"].is_number());
  EXPECT_EQ(report["totals"]["tables"], report["tables"].size());
}

TEST_F(ReportTest, AScriptRunThatSucceedsHasEveryTable) {
  const RunResult r = Run({"-f", "out.sql", "--report=run.json", "--tables=Spell,AreaTable"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Json report = Report();
  ExpectFrame(report, "export", 0);
  EXPECT_EQ(report["output"], "script");
  EXPECT_EQ(report["options"]["file"], "out.sql");
  ASSERT_EQ(report["tables"].size(), 2u);
  const Json spell = Entry(report, "vesk_spell");
  EXPECT_EQ(spell["file"], "dbc\\Spell.dbc");
  EXPECT_EQ(spell["status"], "exported");
  EXPECT_EQ(spell["rows"], 3);
  EXPECT_TRUE(spell["cause"].is_null());
  // The tables' bytes are the script's, less its first statement.
  const std::string script = ReadFile(dir / "out.sql");
  EXPECT_EQ(spell["bytes"].get<std::size_t>() +
                Entry(report, "vesk_zones")["bytes"].get<std::size_t>() +
                std::string("SET NAMES `utf8`;\n").size(),
            script.size());
  EXPECT_EQ(report["totals"]["bytes"], script.size());
  EXPECT_EQ(report["totals"]["exported"], 2);
}

TEST_F(ReportTest, AFailedTableHasItsCauseByKindAndTheRestAreNotHidden) {
  std::string bytes = ReadFile(dir / "dbc/Spell.dbc");
  bytes[8] = 3;  // the field count
  WriteFile(dir / "dbc/Spell.dbc", bytes);
  ::unlink((dir / "dbc/AreaTable.dbc").c_str());
  const RunResult r = Run({"-f", "out.sql", "--report", "run.json", "--quiet"});
  ASSERT_EQ(r.status, 1) << r.err;
  const Json report = Report();
  ExpectFrame(report, "export", 1);
  const Json spell = Entry(report, "vesk_spell");
  EXPECT_EQ(spell["status"], "failed");
  EXPECT_EQ(spell["cause"]["kind"], "wrong_field_count");
  EXPECT_EQ(spell["cause"]["file"], "dbc\\Spell.dbc");
  const Json zones = Entry(report, "vesk_zones");
  EXPECT_EQ(zones["status"], "missing");
  EXPECT_EQ(zones["cause"]["kind"], "missing");
  EXPECT_EQ(zones["cause"]["reason"], "dbc\\AreaTable.dbc not exist");
  EXPECT_EQ(report["totals"]["failed"], 1);
  EXPECT_EQ(report["totals"]["missing"], 1);
  EXPECT_EQ(report["totals"]["exported"], report["tables"].size() - 2);
  EXPECT_FALSE(report["options"].contains("password"));
}

TEST_F(ReportTest, AnInterruptedRunIsReportedWithTheTablesNotReached) {
  // Tables large enough to be held part-way.
  MakeSampleClient(dir.path());
  PausedRun run(dir.path(), {"-f", "out.sql", "--report=run.json", "-p", "secret"},
                {"rows:vesk_spell"});
  run.WaitHeld();
  run.Signal(SIGTERM);
  const RunResult r = run.Finish();
  ASSERT_EQ(r.status, 128 + SIGTERM) << r.err;
  const Json report = Report();
  ExpectFrame(report, "export", 128 + SIGTERM);
  EXPECT_EQ(report["interrupted_by"], "SIGTERM");
  EXPECT_EQ(Entry(report, "vesk_spell")["status"], "partial");
  EXPECT_EQ(Entry(report, "vesk_spell")["cause"]["kind"], "interrupted");
  EXPECT_EQ(Entry(report, "vesk_zones")["status"], "not_reached");
  EXPECT_EQ(report["tables"].back()["status"], "not_reached");
  EXPECT_GT(report["totals"]["not_reached"].get<int>(), 0);
  // The password is never in it, in any form.
  EXPECT_EQ(ReadFile(dir / "run.json").find("secret"), std::string::npos);
}

TEST_F(ReportTest, CheckAndTheEarlyEndsAreReported) {
  ASSERT_EQ(Run({"--check", "--report=run.json", "--tables=Spell"}).status, 0);
  const Json check = Report();
  ExpectFrame(check, "check", 0);
  EXPECT_EQ(Entry(check, "vesk_spell")["status"], "checked");
  EXPECT_EQ(Entry(check, "vesk_spell")["line"], "vesk_spell (dbc\\Spell.dbc): 3 rows, ok");

  // No client folder: the server is not contacted, and the report says why.
  TempDir empty;
  const RunResult r = RunConverter(empty.path(), {"-h", "127.0.0.1", "-u", "u", "-p", "", "-d",
                                                  "db", "--report=" + (dir / "early.json")});
  ASSERT_EQ(r.status, 1) << r.err;
  const Json early = Report("early.json");
  ExpectFrame(early, "export", 1);
  EXPECT_TRUE(early["ended"].get<std::string>().starts_with("there is no folder dbc in "));
  EXPECT_EQ(early["totals"]["not_reached"], early["tables"].size());
}

// --check says where a table's texts are, as a load does, --quiet or not.
TEST_F(ReportTest, CheckGivesTheEmptySlotHints) {
  MakeSampleClient(dir.path(), {"--records", "3", "--slot", "Spell:8"});
  const std::string hint =
      "dbc\\Spell.dbc has no texts in slot 0 (enGB); they are in slot 8 (enCN): run with -l 8, "
      "or -l auto for each table's own slot";
  for (const char* quiet : {"--tables=Spell,Lock", "--quiet"}) {
    const RunResult r = Run({"--check", quiet});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(Unwrapped(r.err).find(hint), std::string::npos) << r.err;
  }
  EXPECT_EQ(Unwrapped(Run({"--check", "-l", "auto"}).err).find("has no texts"), std::string::npos);
}

TEST_F(ReportTest, StandardOutputTakesTheReportOnlyWhenTheConsoleIsElsewhere) {
  const RunResult quiet = Run({"-f", "out.sql", "--quiet", "--report=-", "--tables=Spell"});
  ASSERT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(Json::parse(quiet.out)["tables"][0]["table"], "vesk_spell");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-f", "out.sql", "--report=-"},
        std::vector<std::string>{"-f", "-", "--quiet", "--report=-"}}) {
    const RunResult r = Run(args);
    EXPECT_EQ(r.status, 2) << args[1];
    EXPECT_NE(r.err.find("--report=-"), std::string::npos) << r.err;
  }
  // A report that cannot be written fails a run that went well.
  const RunResult unwritable = Run({"-f", "out.sql", "--report=no/such/run.json"});
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_NE(Unwrapped(unwritable.err).find("--report=no/such/run.json: the report is not written"),
            std::string::npos)
      << unwritable.err;
}

// A value --verify found different: both sides, quoted, within 80 columns,
// a long one cut with "..." between characters.
TEST(ValueLine, BothSidesWithin80Columns) {
  const std::string long_text(200, 'x');
  const std::string cyrillic = "\xd0\x96";  // one character, two bytes
  std::string many;
  for (int i = 0; i < 60; ++i) many += cyrillic;
  for (const auto& [value, expected] : std::vector<std::pair<DifferingValue, std::string>>{
           {{"id 4", "SpellName", "Changed", "Fireball"},
            "  id 4 SpellName: database \"Changed\", client \"Fireball\""},
           {{"id 1", "name", "NULL", ""}, "  id 1 name: database NULL, client \"\""},
           {{"id 7", "speed", "3.500000", "2.500000"},
            "  id 7 speed: database \"3.500000\", client \"2.500000\""},
       })
    EXPECT_EQ(ValueLine(value), expected);
  for (const DifferingValue& value : {DifferingValue{"id 4", "SpellName", long_text, "short"},
                                      DifferingValue{"id 4", "SpellName", many, many}}) {
    const std::string line = ValueLine(value);
    std::size_t columns = 0;
    for (const char c : line) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    EXPECT_LE(columns, 80u) << line;
    EXPECT_NE(line.find("...\", client "), std::string::npos) << line;
    // Never half a character.
    EXPECT_EQ(line.find("\xd0..."), std::string::npos) << line;
  }
  // Width is counted in characters: 20 two-byte ones fit whole.
  std::string twenty;
  for (int i = 0; i < 20; ++i) twenty += cyrillic;
  EXPECT_EQ(ValueLine({"id 4", "name", twenty, "x"}),
            "  id 4 name: database \"" + twenty + "\", client \"x\"");
  // Texts that differ only past the cut are shown from a little before
  // where they differ.
  const std::string line = ValueLine(
      {"id 4", "Description", std::string(150, 'a') + "XYZ", std::string(150, 'a') + "xyz"});
  EXPECT_EQ(line, "  id 4 Description: database \"...aaaaXYZ\", client \"...aaaaxyz\"");
}

// --client-dir runs on another folder's client, as a run in it would.
TEST_F(ReportTest, AClientFolderElsewhereGivesTheSameScript) {
  ASSERT_EQ(Run({"-f", "here.sql"}).status, 0);
  TempDir other;
  const RunResult r =
      RunConverter(other.path(), {"--client-dir", dir.path(), "-f", "there.sql", "--check"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(RunConverter(other.path(), {"--client-dir=" + dir.path(), "-f", "there.sql"}).status,
            0);
  EXPECT_EQ(ReadFile(other / "there.sql"), ReadFile(dir / "here.sql"));
  const RunResult none = RunConverter(other.path(), {"--client-dir=" + other.path(), "-f", "x"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(Unwrapped(none.err).find("there is no folder dbc in " + other.path() +
                                     ": --client-dir names the client folder"),
            std::string::npos)
      << none.err;
}

// --no-progress leaves out the bar lines and nothing else.
TEST_F(ReportTest, NoProgressLeavesOutTheBarsOnly) {
  const RunResult bars = Run({"-f", "a.sql", "--tables=Spell,AreaTable"});
  const std::string script = ReadFile(dir / "a.sql");
  const RunResult plain = Run({"-f", "a.sql", "--tables=Spell,AreaTable", "--no-progress"});
  ASSERT_EQ(plain.status, 0);
  std::string expected;
  for (std::size_t at = 0, end; at < bars.out.size(); at = end + 1) {
    end = bars.out.find('\n', at);
    const std::string line = bars.out.substr(at, end - at + 1);
    if (!line.starts_with("[")) expected += line;
  }
  EXPECT_NE(expected, bars.out);
  EXPECT_EQ(plain.out, expected);
  EXPECT_EQ(ReadFile(dir / "a.sql"), script);
}

// A run that ends on a mistake of its command line still replaces the
// last run's report, with the mistake and exit status 2.
TEST_F(ReportTest, AMistakeOfTheCommandLineIsReportedToo) {
  WriteFile(dir / "run.json", "yesterday's\n");
  EXPECT_EQ(Run({"-f", "out.sql", "--report=run.json", "-l", "nope"}).status, 2);
  const Json report = Report();
  EXPECT_EQ(report["exit_status"], 2);
  EXPECT_TRUE(report["ended"].get<std::string>().starts_with("locale nope is neither"));
}

// Where --report points decides how the report goes there: a regular file
// (or a link's regular target) is replaced durably, a device or a FIFO is
// written in place and stays what it is, and a folder, a client file or
// the run's own script is refused before anything is done. A report that
// cannot be written fails the run.
TEST_F(ReportTest, TheReportNeverReplacesWhatIsNotItsOwn) {
  ASSERT_EQ(::mknod((dir / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
  ASSERT_EQ(::mknod((dir / "full").c_str(), S_IFCHR | 0666, ::makedev(1, 7)), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dir / "unread").c_str(), 0600), 0);
  std::filesystem::create_directory(dir / "folder");
  std::filesystem::create_symlink("dbc/Spell.dbc", dir / "spell-link");
  WriteFile(dir / "real.json", "old\n");
  std::filesystem::create_symlink("real.json", dir / "link.json");
  const int reader = ::open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  const std::string spell = ReadFile(dir / "dbc/Spell.dbc");
  struct Case {
    const char* path;
    int status;
    const char* says;  // on standard error
  };
  const std::vector<Case> cases = {
      {"null", 0, ""},
      {"full", 1, "--report=full: the report is not written: full cannot be written: No space"},
      {"fifo", 0, ""},
      {"unread", 1, "unread is a FIFO that no process reads"},
      {"folder", 2, "--report=folder is a folder"},
      {"dbc/Spell.dbc", 2, "is the client file dbc\\Spell.dbc, which is never overwritten"},
      {"spell-link", 2, "is the client file dbc\\Spell.dbc"},
      {"out.sql", 2, "--report=out.sql is the script -f writes"},
      {"link.json", 0, ""},
  };
  for (const Case& c : cases) {
    const RunResult r = Run({"-f", "out.sql", "--quiet", std::string("--report=") + c.path});
    EXPECT_EQ(r.status, c.status) << c.path << ": " << r.err;
    EXPECT_NE(Unwrapped(r.err).find(c.says), std::string::npos) << c.path << ": " << r.err;
  }
  for (const char* kept : {"null", "full"}) {
    struct stat st;
    EXPECT_TRUE(::stat((dir / kept).c_str(), &st) == 0 && S_ISCHR(st.st_mode)) << kept;
  }
  struct stat st;
  EXPECT_TRUE(::lstat((dir / "fifo").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  char text[16] = {};
  EXPECT_GT(::read(reader, text, sizeof text - 1), 0);
  EXPECT_TRUE(std::string(text).starts_with("{\n  \"format\"")) << text;
  ::close(reader);
  EXPECT_TRUE(std::filesystem::is_directory(dir / "folder"));
  EXPECT_EQ(ReadFile(dir / "dbc/Spell.dbc"), spell);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.json"));
  EXPECT_NO_THROW(Report("real.json"));
  // Standard output closed: no report, and the run says so.
  EXPECT_EQ(RunConverter(dir.path(), {"-f", "out.sql", "--quiet", "--report=-"}, {1}).status, 1);
}

}  // namespace
