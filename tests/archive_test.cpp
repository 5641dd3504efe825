// An installed client, whose tables live in its archives: the archives are
// built with smpq (Debian's, on StormLib), never by the tool, and a run
// over them is compared with a run over a dbc folder of the files that
// should win.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

class ArchiveTest : public ::testing::Test {
 protected:
  // Sample clients whose files differ from each other's, by version.
  void SetUp() override {
    for (const char* records : {"10", "11", "12", "13"})
      MakeSampleClient(versions / records, {"--records", records});
  }
  // An archive at `archive` (below the client) of the files named, each
  // from the sample client of its version.
  void Pack(const std::string& archive, const std::map<std::string, std::string>& files) {
    const std::string stage = work / "stage";
    fs::remove_all(stage);
    fs::create_directories(stage + "/DBFilesClient");
    std::string names;
    for (const auto& [file, version] : files) {
      fs::copy_file(versions / version + "/dbc/" + file, stage + "/DBFilesClient/" + file);
      names += " " + Quoted("DBFilesClient/" + file);
    }
    const std::string path = client / archive;
    fs::create_directories(fs::path(path).parent_path());
    ASSERT_EQ(Shell("cd " + Quoted(stage) + " && smpq -q -M 1 -C ZLIB -c " + Quoted(path) + names),
              0)
        << archive;
  }
  // Every client file, of one version.
  std::map<std::string, std::string> All(const std::string& version) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(versions / version + "/dbc"))
      files[entry.path().filename()] = version;
    return files;
  }

  // One run of a table of them: what is done first, the options beside
  // -f out.sql, the exit status and what standard error says (its lines
  // as one, however the summary wraps them).
  struct Case {
    const char* what;
    std::function<void()> make;
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  void Run(const Case& c) {
    SCOPED_TRACE(c.what);
    c.make();
    std::vector<std::string> args = {"-f", "out.sql"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = RunConverter(client.path(), args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE(std::regex_replace(r.err, std::regex("\n +"), " ").find(c.says), std::string::npos)
        << r.err;
  }

  TempDir work;
  TempDir versions;
  TempDir client;
};

// Which archive wins: a patch over a base archive, the higher rank (1, -2
// to -9, then -A to -Z, in any case), the locale folder's at the same rank
// and among base archives; the script equals that of a dbc folder of the
// winners, byte for byte.
TEST_F(ArchiveTest, TheWinnerOfEveryConflictGivesTheScriptOfItsFiles) {
  Pack("Data/common.MPQ", All("10"));
  Pack("Data/lichking.MPQ", {{"Lock.dbc", "11"}, {"Spell.dbc", "11"}});
  Pack("Data/enGB/locale-enGB.MPQ", {{"Languages.dbc", "11"}, {"Faction.dbc", "11"}});
  Pack("Data/patch.MPQ", {{"Spell.dbc", "12"}, {"Faction.dbc", "12"}});
  Pack("Data/enGB/patch-enGB.MPQ", {{"Spell.dbc", "13"}});
  Pack("Data/patch-9.MPQ", {{"Lock.dbc", "12"}});
  Pack("Data/PATCH-a.mpq", {{"Lock.dbc", "13"}});
  Pack("Data/enGB/patch-enGB-2.MPQ", {{"Faction.dbc", "13"}});
  Pack("Data/patch-3.MPQ", {{"Faction.dbc", "10"}});
  std::map<std::string, std::string> winners = All("10");
  winners["Spell.dbc"] = "13";      // the locale's patch, at Data's patch's rank
  winners["Lock.dbc"] = "13";       // -A above -9, above lichking's base
  winners["Languages.dbc"] = "11";  // the locale's base above Data's
  winners["Faction.dbc"] = "10";    // -3 above the locale's -2
  MakeSampleClient(work / "expected", {"--records", "10"});
  for (const auto& [file, version] : winners)
    fs::copy_file(versions / version + "/dbc/" + file, work / "expected/dbc/" + file,
                  fs::copy_options::overwrite_existing);
  const RunResult archives = RunConverter(client.path(), {"-f", "out.sql", "--report=r.json"});
  ASSERT_EQ(archives.status, 0) << archives.err;
  ASSERT_EQ(RunConverter(work / "expected", {"-f", "out.sql"}).status, 0);
  EXPECT_EQ(RunConverter(client.path(), {"-f", "quiet.sql", "--quiet"}).err, "")
      << "--quiet says nothing of a run that went well";
  EXPECT_EQ(ReadFile(client / "out.sql"), ReadFile(work / "expected/out.sql"));
  EXPECT_NE(Unwrapped(archives.err).find("read from the archives in Data (9 archives; "),
            std::string::npos)
      << archives.err;
  const RunResult check = RunConverter(client.path(), {"--check", "--tables=Lock,Spell"});
  EXPECT_NE(check.out.find("vesk_lock (DBFilesClient\\Lock.dbc in Data/PATCH-a.mpq): "),
            std::string::npos)
      << check.out;
  EXPECT_NE(ReadFile(client / "r.json").find(R"("source": "Data/enGB/patch-enGB.MPQ")"),
            std::string::npos);
  // --archive names the archives instead, the later winning.
  const RunResult named = RunConverter(
      client.path(),
      {"--check", "--tables=Spell", "--archive=Data/patch.MPQ", "--archive=Data/common.MPQ"});
  EXPECT_NE(named.out.find("(DBFilesClient\\Spell.dbc in Data/common.MPQ): 10 rows, ok"),
            std::string::npos)
      << named.out;
}

// What cannot be read ends the run with one line naming it and exit 1: an
// archive that is not one, one whose file is damaged, a Data folder
// without archives, two locale folders (unless one is chosen); an
// extracted DBFilesClient folder is read as the dbc folder.
TEST_F(ArchiveTest, WhatCannotBeReadIsNamedAndDBFilesClientIsAFolder) {
  Pack("Data/common.MPQ", All("10"));
  const std::string good = ReadFile(client / "Data/common.MPQ");
  std::string damaged = good;
  for (std::size_t at = damaged.size() / 4; at < damaged.size() / 2; ++at) damaged[at] ^= 0x5a;
  const Case cases[] = {
      {"not an archive",
       [&] { WriteFile(client / "Data/patch.MPQ", "not an archive"); },
       {},
       1,
       "the archive Data/patch.MPQ cannot be opened: not an archive (or a damaged one)"},
      {"a damaged file in it",
       [&] {
         fs::remove(client / "Data/patch.MPQ");
         WriteFile(client / "Data/common.MPQ", damaged);
       },
       {},
       1,
       "tables, client file cannot be read: Bad message: "},
      {"no archive",
       [&] { fs::remove(client / "Data/common.MPQ"); },
       {},
       1,
       "there is no folder dbc, and Data holds no archive (.MPQ)"},
      {"two locales",
       [&] {
         WriteFile(client / "Data/common.MPQ", good);
         fs::create_directories(client / "Data/ruRU");
         fs::create_directories(client / "Data/deDE");
       },
       {},
       1,
       "Data holds the locale folders deDE, ruRU: --client-locale=NAME picks one"},
      {"one chosen", [] {}, {"--client-locale=rurU"}, 0, "(1 archive; Data/common.MPQ wins)"},
      {"DBFilesClient",
       [&] { fs::copy(versions / "10/dbc", client / "DBFilesClient"); },
       {},
       0,
       "the client files are read from the folder DBFilesClient"},
  };
  for (const Case& c : cases) Run(c);
  EXPECT_EQ(ReadFile(client / "out.sql"), [&] {
    EXPECT_EQ(RunConverter(versions / "10", {"-f", "out.sql"}).status, 0);
    return ReadFile(versions / "10/out.sql");
  }());
}

}  // namespace
