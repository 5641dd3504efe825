// End-to-end runs of the built converter in a temporary client folder: the
// console text, the exit status and the SQL script, against golden text.
#include "support/cli_fixture.h"

namespace {

TEST_F(CliTest, NoArgumentsPrintsBannerBlankLineAndUsage) {
  const RunResult r = Run({});
  EXPECT_EQ(r.out, kBanner + "\n" + kUsage);
  EXPECT_EQ(r.status, 2);
}

// The usage text right after the banner, and before it, on standard error,
// what was wrong.
TEST_F(CliTest, MalformedCommandLinesPrintTheUsageRightAfterTheBanner) {
  const std::string kLetters = ": the options are -l -h -o -u -p -d -f";
  for (const auto& [args, why] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"-f"}, "option -f needs a value"},
           {{"-x", "1"}, "unknown option -x" + kLetters},
           {{"out.sql"}, "argument out.sql is not an option"},
           {{"-", "x"}, "unknown option -" + kLetters},
           {{"-l", "1", "-f"}, "option -f needs a value"},
           {{"-h", "-u", "root", "-p"}, "argument root is not an option"},
           {{"--file"}, "option --file needs a value"},
           {{"--ssl=maybe"}, "option --ssl takes no value"},
           {{"-pSECRET", "-d", "world"},
            "option -p took -d as its value, as only its letter counts: write -p SECRET -d ..."},
           {{"-P", "3306"},
            "unknown option -P: the options are -l -h -o -u -p -d -f; the port is "
            "-o or --port"},
           {{"-f", "a.sql", "-V"}, "unknown option -V: the options are -l -h -o -u -p -d -f"}}) {
    const RunResult r = Run(args);
    EXPECT_EQ(r.out, kBanner + kUsage) << args[0];
    EXPECT_EQ(Unwrapped(r.err), "vesk-dbc2sql: " + why + "\n");
    EXPECT_EQ(r.status, 2);
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "no file created";
}

TEST_F(CliTest, HelpPrintsTheUsageAndSucceeds) {
  const RunResult r = Run({"--help"});
  EXPECT_TRUE(r.out.starts_with(kBanner + kUsage + "\n\nLong options")) << r.out;
  for (const char* option :
       {"--host", "--port", "--user", "--password", "--database", "--file", "--locale", "--socket",
        "--defaults-file", "--ssl-ca", "--ssl-verify-server-cert"})
    EXPECT_NE(r.out.find(option), std::string::npos) << option;
  EXPECT_EQ(r.status, 0);
  const RunResult version = Run({"--version"});
  EXPECT_EQ(version.out, "vesk-dbc2sql 1.0.0\n");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(Run({"--version", "x"}).out, kBanner + kUsage) << "alone only";
}

TEST_F(CliTest, ServerModeNeedsAllFourOptions) {
  const RunResult r = Run({"-h", "127.0.0.1", "-u", "root", "-d", "world"});
  EXPECT_EQ(r.out, kBanner + "\n" + kUsage);
  EXPECT_EQ(Unwrapped(r.err),
            "vesk-dbc2sql: server mode needs -p: give the password, -p \"\" for none, or "
            "--password to be asked\n");
  EXPECT_EQ(r.status, 2);
  // --password asks on the terminal; without one, the run says so.
  const int status = Shell("setsid -w " + QuotedBinary() +
                           " -h 127.0.0.1 -u root -d world --password </dev/null >/dev/null 2>" +
                           Quoted(dir / "err.txt"));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(Unwrapped(ReadFile(dir / "err.txt")),
            "vesk-dbc2sql: --password asks for the password on the terminal, and there is none\n");
}

// Ctrl-C at the password prompt ends the run with the terminal's echo
// back on (the shell's trap prints the terminal's settings afterwards).
TEST_F(CliTest, CtrlCAtThePasswordPromptPutsTheEchoBack) {
  const std::string tty = RunOnTerminal(
      dir.path(), "trap 'stty -a' INT; " + QuotedBinary() + " -h 127.0.0.1 -u u -d d --password",
      {{"Enter password: ", "\003"}});
  EXPECT_NE(tty.find("Enter password: "), std::string::npos) << tty;
  EXPECT_NE(tty.find(" echo "), std::string::npos) << tty;
  EXPECT_EQ(tty.find("-echo "), std::string::npos) << tty;
}

TEST_F(CliTest, FileModeWinsOverServerOptions) {
  // Port 1 is closed: a connection attempt would fail with a message.
  const RunResult r = Run(
      {"-h", "127.0.0.1", "-o", "1", "-u", "u", "-p", "", "-d", "d", "-f", "out.sql", "-l", "99"});
  EXPECT_EQ(r.out.find("Connecting"), std::string::npos);
  EXPECT_EQ(r.out.rfind(kBanner + "\nCreate SQL file out.sql: ok\nChange locale to: enGB\n", 0),
            0u);
  EXPECT_FALSE(Exists("out.sql")) << "no table exported, no script";
  EXPECT_TRUE(Unwrapped(r.err).starts_with(
      "vesk-dbc2sql: locale 99 is out of range (0 to 11): slot 0 (enGB) is used\n"))
      << r.err;
}

TEST_F(CliTest, AnOutputThatCannotBeCreatedEndsTheRun) {
  const RunResult r = Run({"-f", "missing/out.sql"});
  EXPECT_EQ(r.out, kBanner + "\nCreate SQL file missing/out.sql: ERROR\n");
  EXPECT_EQ(r.err,
            "Cannot create SQL file missing/out.sql: No such file or directory\n"
            "vesk-dbc2sql: no table exported: cannot create SQL file missing/out.sql: No such\n"
            "  file or directory; exit status 1\n");
  EXPECT_EQ(r.status, 1);
  const RunResult empty = Run({"-f", ""});
  EXPECT_EQ(empty.out, kBanner + "\nCreate SQL file : ERROR\n");
  EXPECT_EQ(empty.status, 1);
}

TEST_F(CliTest, APortOutsideItsRangeIsRefusedBeforeConnecting) {
  for (const std::string port : {"98843", "-1", "65536"}) {
    const RunResult r = Run({"-h", "127.0.0.1", "-o", port, "-u", "u", "-p", "", "-d", "d"});
    EXPECT_EQ(r.out, kBanner + "\n");
    EXPECT_EQ(r.err, "Port " + port + " is out of range: it must be 0 to 65535\n");
    EXPECT_EQ(r.status, 2);
  }
  // A port that is not a plain number is not taken as the default port.
  for (const std::string port : {"abc", "3306x", ""}) {
    const RunResult r = Run({"-h", "127.0.0.1", "-o", port, "-u", "u", "-p", "", "-d", "d"});
    EXPECT_EQ(r.err, "vesk-dbc2sql: port " + port + " is not a number\n");
    EXPECT_EQ(r.status, 2);
  }
  // The last port of the range is still one to connect to (from a client
  // folder: without one, no connection is tried).
  std::filesystem::create_directory(dir / "dbc");
  const RunResult last = Run({"-h", "127.0.0.1", "-o", "65535", "-u", "u", "-p", "", "-d", "d"});
  EXPECT_TRUE(last.out.starts_with(kBanner + "\nConnecting to MySQL server: \n ")) << last.out;
  EXPECT_EQ(last.status, 1);
}

// A server that accepts connections but never answers: the run ends after
// the connect timeout (20 s unless --connect-timeout says otherwise), and its
// password never shows in its command line.
TEST_F(CliTest, ASilentServerTimesOutAndThePasswordIsHidden) {
  std::filesystem::create_directory(dir / "dbc");
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string port = std::to_string(ntohs(address.sin_port));
  // The password is wiped before connecting: once the run's connection
  // reaches the listener, which never answers, its command line shows it
  // wiped; closing that connection then ends the run.
  {
    Converter hid(dir.path(), {"-h", "127.0.0.1", "-o", port, "-u", "u", "-p", "s3cret-pw", "-d",
                               "d", "--connect-timeout", "120"});
    pollfd knock = {listener, POLLIN, 0};
    ASSERT_EQ(::poll(&knock, 1, static_cast<int>(kRunTimeLimit.count() * 1000)), 1)
        << "the run never connected";
    const int accepted = ::accept(listener, nullptr, nullptr);
    const std::string cmdline = ReadFile("/proc/" + std::to_string(hid.pid()) + "/cmdline");
    const std::string hidden = std::string("-p") + '\0' + "xxxxxxxxx" + '\0';
    EXPECT_EQ(cmdline.find("s3cret"), std::string::npos);
    EXPECT_NE(cmdline.find(hidden), std::string::npos) << cmdline;
    ::close(accepted);
    EXPECT_EQ(hid.Wait().status, 1);
  }
  Converter run(dir.path(), {"-h", "127.0.0.1", "-o", port, "-u", "u", "-p", "s3cret-pw", "-d", "d",
                             "--connect-timeout", "1"});
  const RunResult r = run.Wait();
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.starts_with(kBanner + "\nConnecting to MySQL server: \n ")) << r.out;
  EXPECT_EQ(r.out.find("Open DBC file"), std::string::npos);
  // A signal while connecting ends the run at once, not after the timeout,
  // and its last line tells the true exit status.
  // The first run's connection still waits in the listener's queue.
  for (pollfd queued = {listener, POLLIN, 0}; ::poll(&queued, 1, 0) == 1;)
    ::close(::accept(listener, nullptr, nullptr));
  Converter waiting(dir.path(), {"-h", "127.0.0.1", "-o", std::to_string(ntohs(address.sin_port)),
                                 "-u", "u", "-p", "", "-d", "d"});
  // Its connection reaching the listener says the run is connecting.
  pollfd knock = {listener, POLLIN, 0};
  ASSERT_EQ(::poll(&knock, 1, static_cast<int>(kRunTimeLimit.count() * 1000)), 1)
      << "the run never connected";
  const int accepted = ::accept(listener, nullptr, nullptr);
  const auto start = std::chrono::steady_clock::now();
  const RunResult term = waiting.Wait(SIGTERM);
  ::close(accepted);
  ::close(listener);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(term.status, 128 + SIGTERM);
  EXPECT_EQ(term.err,
            "vesk-dbc2sql: interrupted by SIGTERM while connecting; no table exported; exit "
            "status 143\n");
}

TEST_F(CliTest, ClosedStandardDescriptorsKeepTheConsoleOutOfTheScript) {
  MakeSampleClient(dir.path());
  const RunResult r = RunConverter(dir.path(), {"-f", "out.sql"}, {0, 1, 2});
  EXPECT_EQ(r.status, 0);
  const std::string script = ReadFile(dir / "out.sql");
  EXPECT_TRUE(script.starts_with("SET NAMES `utf8`;\nDROP TABLE")) << script.substr(0, 200);
  EXPECT_EQ(script.find("Open DBC file"), std::string::npos);
  EXPECT_EQ(CountOf(script, "CREATE TABLE"), CatalogueSize());
}

TEST_F(CliTest, ARunInTheWrongFolderReplacesNoTableNotEvenTheRatingTable) {
  const RunResult r = Run({"-f", "out.sql"});
  EXPECT_FALSE(Exists("out.sql")) << "a run that exports nothing makes no script";
  // The cause first, before the tables; in the summary, once instead of
  // every table.
  const std::string hint = "vesk-dbc2sql: there is no folder dbc in " +
                           std::filesystem::canonical(dir.path()).string() +
                           ": run it in the client folder that holds dbc\n";
  const std::string err = Unwrapped(MaskTime(r.err));
  EXPECT_TRUE(err.starts_with(hint + "vesk-dbc2sql: 0 of " + Tables() +
                              " tables exported in full; exit status 1\n"
                              "  0 rows, 0 bytes written in T s\n"
                              "  there is no folder dbc in "))
      << err;
  EXPECT_TRUE(err.ends_with("\n  every table, client file not exist\n")) << err;
  ExpectLinesOf80(r.err);
  EXPECT_TRUE(
      r.out.ends_with("Open DBC file: dbc\\gtCombatRatings.dbc\n"
                      "dbc\\gtCombatRatings.dbc not exist\nClose file\nComplete\n\n"));
  EXPECT_EQ(r.status, 1);
  // An existing script is not replaced by one that holds no table.
  WriteFile(dir / "out.sql", "old script\n");
  const RunResult again = Run({"-f", "out.sql"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(ReadFile(dir / "out.sql"), "old script\n");
  EXPECT_NE(again.err.find("\n  the old script out.sql is kept\n"), std::string::npos) << again.err;
  EXPECT_TRUE(HiddenFiles(dir.path()).empty());
}

TEST_F(CliTest, AFileNameMatchedOnlyIgnoringCaseMustBeUnique) {
  MakeSampleClient(dir.path());
  std::filesystem::rename(dir / "dbc/SpellIcon.dbc", dir / "dbc/SPELLICON.DBC");
  std::filesystem::copy_file(dir / "dbc/SPELLICON.DBC", dir / "dbc/spellicon.dbc");
  const RunResult r = Run({"-f", "out.sql"});
  EXPECT_NE(r.out.find("Open DBC file: dbc\\SpellIcon.dbc\n"
                       "dbc\\SpellIcon.dbc is ambiguous: dbc/SPELLICON.DBC, dbc/spellicon.dbc\n"
                       "Open DBC file: dbc\\Talent.dbc\n"),
            std::string::npos);
  EXPECT_EQ(ReadFile(dir / "out.sql").find("vesk_spellicon"), std::string::npos);
  EXPECT_EQ(r.status, 1);
}

// A small hand-made client: five tables and the rating sources.
class SmallClientTest : public CliTest {
 protected:
  void SetUp() override {
    {
      DbcWriter b(14);
      b.Record({1, 35, 0, 1, 2, 4, 0, 0, 0, 0, 0, 0, 2147483648u, 4294967295u});
      WriteClientFile(dir.path(), "FactionTemplate", b.Bytes());
    }
    {
      DbcWriter b(25);
      std::vector<std::uint32_t> r(25, 0xDEADBEEF);
      r[0] = 42;
      r[5] = b.AddString("INV_Sword_01");
      b.Record(r);
      WriteClientFile(dir.path(), "ItemDisplayInfo", b.Bytes());
    }
    {
      DbcWriter b(18);
      std::vector<std::uint32_t> r(18, 0);
      r[0] = 2;
      r[1] = b.AddString("Group");
      r[12] = b.AddString("Группа");
      b.Record(r);
      r[0] = 81;
      r[1] = b.AddString("It's \"PvP\"\\\n");
      r[12] = 0;
      b.Record(r);
      WriteClientFile(dir.path(), "QuestInfo", b.Bytes());
    }
    {
      DbcWriter b(4);
      b.Record({1, 0, 0, 0}).Record({4, 0xFFFFFE0C, 1500, 0x7FFFFFFF});
      WriteClientFile(dir.path(), "SpellCastTimes", b.Bytes());
    }
    {
      DbcWriter b(2);
      b.Record({1, b.AddString("Interface\\Icons\\Spell_Fire_Fireball")});
      b.Record({2, b.AddString("Interface\\Icons\\")});
      WriteClientFile(dir.path(), "SpellIcon", b.Bytes());
    }
    for (auto [name, records] :
         {std::pair{"gtChanceToMeleeCrit", 1100}, std::pair{"gtChanceToSpellCrit", 1100},
          std::pair{"gtCombatRatings", 3200}}) {
      DbcWriter b(1);
      for (int n = 0; n < records; ++n) b.Record({FloatBits(0.25f)});
      b.strings.clear();
      WriteClientFile(dir.path(), name, b.Bytes());
    }
  }

  static std::string RatingSection() {
    std::string s =
        "DROP TABLE IF EXISTS `vesk_rating`;\n"
        "CREATE TABLE `vesk_rating`(\n"
        "  `level` int(10) unsigned NOT NULL,\n";
    for (const char* kind : {"MC", "SC"})
      for (const char* cls : {"Warrior", "Paladin", "Hunter", "Rogue", "Priest", "DeathKnight",
                              "Shaman", "Mage", "Warlock", "10", "Druid"})
        s += std::string("  `") + kind + "_" + cls + "` float NOT NULL,\n";
    for (const char* cr : {"WEAPON_SKILL",
                           "DEFENSE_SKILL",
                           "DODGE",
                           "PARRY",
                           "BLOCK",
                           "HIT_MELEE",
                           "HIT_RANGED",
                           "HIT_SPELL",
                           "CRIT_MELEE",
                           "CRIT_RANGED",
                           "CRIT_SPELL",
                           "HIT_TAKEN_MELEE",
                           "HIT_TAKEN_RANGED",
                           "HIT_TAKEN_SPELL",
                           "CRIT_TAKEN_MELEE",
                           "CRIT_TAKEN_RANGED",
                           "CRIT_TAKEN_SPELL",
                           "HASTE_MELEE",
                           "HASTE_RANGED",
                           "HASTE_SPELL",
                           "WEAPON_SKILL_MAINHAND",
                           "WEAPON_SKILL_OFFHAND",
                           "WEAPON_SKILL_RANGED",
                           "EXPERTISE"})
      s += std::string("  `CR_") + cr + "` float NOT NULL,\n";
    s += "  PRIMARY KEY  (`level`)\n) ENGINE=MyISAM DEFAULT CHARSET=utf8;\n";
    for (int level = 0; level < 100; ++level) {
      s += "INSERT INTO `vesk_rating` VALUES ('" + std::to_string(level) + "'";
      for (int c = 0; c < 46; ++c) s += ", '0.250000'";
      s += ");\n";
    }
    return s;
  }

  static std::string Script(const std::string& quest_rows) {
    return "SET NAMES `utf8`;\n"
           "DROP TABLE IF EXISTS `vesk_faction_template`;\n"
           "CREATE TABLE `vesk_faction_template`(\n"
           "  `id` int(10) unsigned NOT NULL,\n"
           "  `faction` int(10) unsigned NOT NULL,\n"
           "  `fightSupport` int(10) unsigned NOT NULL,\n"
           "  `ourMask` int(10) unsigned NOT NULL,\n"
           "  `friendlyMask` int(10) unsigned NOT NULL,\n"
           "  `hostileMask` int(10) unsigned NOT NULL,\n"
           "  `enemyFaction1` int(10) unsigned NOT NULL,\n"
           "  `enemyFaction2` int(10) unsigned NOT NULL,\n"
           "  `enemyFaction3` int(10) unsigned NOT NULL,\n"
           "  `enemyFaction4` int(10) unsigned NOT NULL,\n"
           "  `friendFaction1` int(10) unsigned NOT NULL,\n"
           "  `friendFaction2` int(10) unsigned NOT NULL,\n"
           "  `friendFaction3` int(10) unsigned NOT NULL,\n"
           "  `friendFaction4` int(10) unsigned NOT NULL,\n"
           "  PRIMARY KEY  (`id`, `faction`)\n"
           ") ENGINE=MyISAM DEFAULT CHARSET=utf8;\n"
           "INSERT INTO `vesk_faction_template` VALUES ('1', '35', '0', '1', '2', '4', '0', "
           "'0', '0', '0', '0', '0', '2147483648', '4294967295');\n"
           "DROP TABLE IF EXISTS `vesk_itemicon`;\n"
           "CREATE TABLE `vesk_itemicon`(\n"
           "  `id` int(10) unsigned NOT NULL,\n"
           "  `name` text NOT NULL,\n"
           "  PRIMARY KEY  (`id`)\n"
           ") ENGINE=MyISAM DEFAULT CHARSET=utf8;\n"
           "INSERT INTO `vesk_itemicon` VALUES ('42', 'INV_Sword_01');\n"
           "DROP TABLE IF EXISTS `vesk_quest_info`;\n"
           "CREATE TABLE `vesk_quest_info`(\n"
           "  `id` int(10) unsigned NOT NULL,\n"
           "  `name` text NOT NULL,\n"
           "  PRIMARY KEY  (`id`)\n"
           ") ENGINE=MyISAM DEFAULT CHARSET=utf8;\n" +
           quest_rows +
           "DROP TABLE IF EXISTS `vesk_spell_cast_time`;\n"
           "CREATE TABLE `vesk_spell_cast_time`(\n"
           "  `id` int(10) unsigned NOT NULL,\n"
           "  `time_1` int(11) NOT NULL,\n"
           "  `time_2` int(11) NOT NULL,\n"
           "  `time_3` int(11) NOT NULL,\n"
           "  PRIMARY KEY  (`id`)\n"
           ") ENGINE=MyISAM DEFAULT CHARSET=utf8;\n"
           "INSERT INTO `vesk_spell_cast_time` VALUES ('1', '0', '0', '0');\n"
           "INSERT INTO `vesk_spell_cast_time` VALUES ('4', '-500', '1500', '2147483647');\n"
           "DROP TABLE IF EXISTS `vesk_spellicon`;\n"
           "CREATE TABLE `vesk_spellicon`(\n"
           "  `id` int(10) unsigned NOT NULL,\n"
           "  `name` text NOT NULL,\n"
           "  PRIMARY KEY  (`id`)\n"
           ") ENGINE=MyISAM DEFAULT CHARSET=utf8;\n"
           "INSERT INTO `vesk_spellicon` VALUES ('1', 'Spell_Fire_Fireball');\n"
           "INSERT INTO `vesk_spellicon` VALUES ('2', 'Icons\\\\');\n" +
           RatingSection();
  }

  static std::string Console(const std::string& locale) {
    std::string s = kBanner + "\nCreate SQL file out.sql: ok\nChange locale to: " + locale + "\n";
    for (const std::string& file : ClientFileStems()) {
      const std::string path = std::string("dbc\\") + file + ".dbc";
      s += "Open DBC file: " + path + "\n";
      const std::string name = file;
      if (name == "FactionTemplate" || name == "ItemDisplayInfo")
        s += kEmptyBar + Redraw(50) + "\n";
      else if (name == "QuestInfo" || name == "SpellCastTimes" || name == "SpellIcon")
        s += kEmptyBar + Redraw(25) + Redraw(50) + "\n";
      else
        s += path + " not exist\n";
    }
    s += "Open DBC file: dbc\\gtChanceToMeleeCrit.dbc\n"
         "Open DBC file: dbc\\gtChanceToMeleeCrit.dbc\n"
         "Open DBC file: dbc\\gtChanceToSpellCrit.dbc\n"
         "Open DBC file: dbc\\gtCombatRatings.dbc\n" +
         kEmptyBar;
    for (int stars = 1; stars <= 50; ++stars) s += Redraw(stars);
    return s + "\nClose file\nComplete\n\n";
  }
};

TEST_F(SmallClientTest, WholeScriptAndConsoleAtLocaleZero) {
  const RunResult r = Run({"-f", "out.sql"});
  // The summary: the six tables that loaded, then the 36 that did not, in
  // one line for their one reason.
  const std::string err = MaskTime(r.err);
  EXPECT_TRUE(err.starts_with("vesk-dbc2sql: 6 of " + Tables() +
                              " tables exported in full; exit status 1\n"
                              "  108 rows, " +
                              std::to_string(ReadFile(dir / "out.sql").size()) +
                              " bytes written in T s\n"
                              "  36 tables, client file not exist: vesk_achievement, "
                              "vesk_achievement_category,\n"
                              "    vesk_achievement_criteria, vesk_chr_classes, vesk_chr_races,\n"))
      << err;
  EXPECT_TRUE(err.ends_with(", vesk_zones\n")) << err;
  ExpectLinesOf80(err);
  EXPECT_EQ(ReadFile(dir / "out.sql"),
            Script("INSERT INTO `vesk_quest_info` VALUES ('2', 'Group');\n"
                   "INSERT INTO `vesk_quest_info` VALUES ('81', 'It\\'s \\\"PvP\\\"\\\\\\n');\n"));
  EXPECT_EQ(r.out, Console("enGB"));
  EXPECT_EQ(r.status, 1) << "36 client tables are missing";
}

// The slot by number or by name, in any case.
TEST_F(SmallClientTest, WholeScriptAtLocaleEleven) {
  for (const char* locale : {"11", "ruRU", "RURU"}) {
    const RunResult r = Run({"-l", locale, "-f", "out.sql"});
    EXPECT_EQ(ReadFile(dir / "out.sql"),
              Script("INSERT INTO `vesk_quest_info` VALUES ('2', 'Группа');\n"
                     "INSERT INTO `vesk_quest_info` VALUES ('81', '');\n"));
    EXPECT_EQ(r.out, Console("ruRU"));
  }
  // A slot where a table has no text at all: the export is the same, and
  // one line says where the texts are.
  const RunResult empty = Run({"-l", "deDE", "-f", "out.sql"});
  EXPECT_NE(Unwrapped(empty.err).find(
                "dbc\\QuestInfo.dbc has no texts in slot 2 (deDE); they are in slot 0 "
                "(enGB): run with -l 0, or -l auto for each table's own slot\n"),
            std::string::npos)
      << empty.err;
}

// --tables and --exclude choose tables by SQL name, file name or stem, in any
// case, blanks trimmed; the script holds just those, in catalogue order.
TEST_F(CliTest, TablesAreChosenByNameFileOrStem) {
  MakeSampleClient(dir.path());
  ASSERT_EQ(Run({"-f", "all.sql"}).status, 0);
  const std::string all = ReadFile(dir / "all.sql");
  const std::string spell_and_zones =
      "SET NAMES `utf8`;\n" + TableSection(all, "vesk_spell") + TableSection(all, "vesk_zones");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--tables=vesk_zones,SPELL.DBC"},
           {"--tables", "spell , Vesk_Zones "},
           {"--tables=vesk_spell,,vesk_zones"},
           {"--tables=spell,AreaTable,talent", "--exclude=talent.dbc"}}) {
    std::vector<std::string> with_file = args;
    with_file.insert(with_file.end(), {"-f", "two.sql"});
    const RunResult two = Run(with_file);
    EXPECT_EQ(two.status, 0) << args[0];
    EXPECT_EQ(ReadFile(dir / "two.sql"), spell_and_zones) << args[0];
  }
  const RunResult but_one = Run({"--exclude", "vesk_spell", "-f", "rest.sql"});
  EXPECT_EQ(CountOf(ReadFile(dir / "rest.sql"), "CREATE TABLE"), CatalogueSize() - 1);
  EXPECT_EQ(ReadFile(dir / "rest.sql").find("vesk_spell`"), std::string::npos);
}

// Mistakes of the command line end the run (exit 2) before anything is
// opened, each with its one line.
TEST_F(CliTest, MistakesOfTheCommandLineEndTheRunBeforeAnything) {
  for (const auto& [args, why] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--tables=vesk_nothing,spell,nope", "-f", "none.sql"},
            "unknown tables vesk_nothing, nope: --list shows the tables"},
           {{"--list", "--tables=nonesuch"}, "unknown table nonesuch: --list shows the tables"},
           {{"--tables=", "-f", "none.sql"}, "--tables names no table: --list shows the tables"},
           {{"--tables=spell", "--exclude=Spell.dbc", "-f", "none.sql"},
            "--exclude leaves no table of --tables to export"},
           {{"-l", "russian", "-f", "none.sql"},
            "locale russian is neither a slot number nor a name: 0 enGB, 1 enUS, 2 deDE, 3 esES, "
            "4 frFR, 5 koKR, 6 zhCN, 7 zhTW, 8 enCN, 9 enTW, 10 esMX, 11 ruRU, or auto"},
           {{"--atomic", "-f", "none.sql"},
            "--atomic swaps server tables; a script (-f) has none to swap"},
           {{"--changed-only", "-f", "none.sql"},
            "--changed-only goes with --write-dbc or --patch-archive"},
           {{"--diff-sql=d.sql", "-f", "none.sql"}, "--diff-sql goes with --verify"},
           {{"--verify", "-f", "none.sql"},
            "--verify compares a server's tables; a script (-f) has none to compare"},
           {{"--keep-edited", "--replace-edited", "-f", "none.sql"},
            "--keep-edited keeps the tables edited on the server, which --replace-edited "
            "replaces: not both"}}) {
    const RunResult r = Run(args);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_EQ(Unwrapped(r.err), "vesk-dbc2sql: " + why + "\n");
    EXPECT_FALSE(Exists("none.sql"));
  }
}

// --list prints the catalogue; --check reads every file as a run would and
// writes nothing.
TEST_F(CliTest, ListAndCheckReadTheClientAndWriteNothing) {
  MakeSampleClient(dir.path());
  const RunResult list = Run({"--list"});
  EXPECT_EQ(CountOf(list.out, "\n"), CatalogueSize());
  EXPECT_NE(list.out.find("\nvesk_spell: dbc\\Spell.dbc, 175 columns\n"), std::string::npos);
  EXPECT_NE(list.out.find("\nvesk_itemicon: dbc\\ItemDisplayInfo.dbc, 2 columns\n"),
            std::string::npos);

  const RunResult check = Run({"--check"});
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_EQ(CountOf(check.out, ", ok\n"), CatalogueSize());
  WriteFile(dir / "dbc/Talent.dbc", "WDBC");
  const RunResult damaged =
      Run({"--check", "--tables", "Talent.dbc,vesk_spell", "-f", "checked.sql"});
  EXPECT_EQ(damaged.status, 1);
  const std::string truncated =
      "dbc\\Talent.dbc is truncated: its header needs 20 bytes, the file has 4";
  EXPECT_EQ(damaged.out, kBanner +
                             "\nvesk_spell (dbc\\Spell.dbc): 1000 rows, ok\n"
                             "vesk_talents (dbc\\Talent.dbc): " +
                             truncated + "\n");
  EXPECT_EQ(Unwrapped(damaged.err),
            "vesk-dbc2sql: 1 of 2 tables would be exported in full; exit status 1\n"
            "  vesk_talents (dbc/Talent.dbc): dbc/Talent.dbc is truncated: its header needs 20 "
            "bytes, the file has 4\n");
  EXPECT_FALSE(Exists("checked.sql")) << "a check writes no file";

  // A rating source with too few records fails the check, as it fails a run.
  DbcWriter ratings(1);
  for (std::uint32_t n = 0; n < 10; ++n) ratings.Record({n});
  WriteClientFile(dir.path(), "gtCombatRatings", ratings.Bytes());
  const RunResult rating = Run({"--check", "--tables=gtCombatRatings"});
  EXPECT_EQ(rating.status, 1);
  EXPECT_NE(rating.out.find("dbc\\gtCombatRatings.dbc have too few records (10), must be at least "
                            "2400"),
            std::string::npos)
      << rating.out;
}

// --quiet: a run that succeeds prints nothing; one that fails, only its
// summary, on standard error.
TEST_F(CliTest, AQuietRunSaysOnlyWhatWentWrong) {
  MakeSampleClient(dir.path());
  const RunResult quiet_ok = Run({"--quiet", "-f", "all.sql"});
  EXPECT_EQ(quiet_ok.status, 0);
  EXPECT_EQ(quiet_ok.out + quiet_ok.err, "") << "a quiet run that succeeds prints nothing";
  const std::string all = ReadFile(dir / "all.sql");
  WriteFile(dir / "dbc/Talent.dbc", "WDBC");
  // A quiet run that fails: only the summary, on standard error.
  const RunResult quiet = Run({"--quiet", "-f", "quiet.sql"});
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(quiet.out, "");
  EXPECT_TRUE(MaskTime(quiet.err).starts_with("vesk-dbc2sql: 41 of 42 tables exported in full"))
      << quiet.err;
  EXPECT_EQ(ReadFile(dir / "quiet.sql").size(),
            all.size() - TableSection(all, "vesk_talents").size());
}

// A script cannot see the server refuse a text a utf8 column cannot hold:
// the run says which record and column, once per table, and still
// succeeds with the same script.
TEST_F(CliTest, TextsAUtf8ColumnCannotHoldAreNamed) {
  MakeSampleClient(dir.path(), {"--emoji", "QuestInfo"});
  const RunResult r = Run({"-f", "out.sql"});
  EXPECT_EQ(r.status, 0);
  const std::string err = Unwrapped(r.err);
  const std::string line =
      ", column name: a four-byte character, which a utf8 column cannot "
      "hold: the server refuses this row, and a script stops loading there";
  EXPECT_NE(err.find("vesk-dbc2sql: dbc\\QuestInfo.dbc record "), std::string::npos) << err;
  EXPECT_EQ(CountOf(err, line), 2u) << "a warning, then the summary's note: " << err;
  EXPECT_NE(ReadFile(dir / "out.sql").find("\xF0\x9F"), std::string::npos) << "the text as it is";
}

TEST_F(CliTest, TheSampleClientExportsInFullAndSucceeds) {
  MakeSampleClient(dir.path());
  const RunResult r = Run({"-f", "out.sql"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("not exist"), std::string::npos);
  const std::string script = ReadFile(dir / "out.sql");
  EXPECT_EQ(MaskTime(r.err), "vesk-dbc2sql: " + Tables() + " of " + Tables() +
                                 " tables exported in full; exit status 0\n  " +
                                 std::to_string(CountOf(script, "\nINSERT INTO")) + " rows, " +
                                 std::to_string(script.size()) + " bytes written in T s\n");
  EXPECT_EQ(CountOf(script, "DROP TABLE IF EXISTS"), CatalogueSize());
  EXPECT_EQ(CountOf(script, "CREATE TABLE"), CatalogueSize());
  EXPECT_EQ(CountOf(TableSection(script, "vesk_spell"), "INSERT INTO `vesk_spell` VALUES"), 1000u);
  EXPECT_EQ(CountOf(TableSection(script, "vesk_rating"), "INSERT INTO"), 100u);
  EXPECT_NE(script.find("DROP TABLE IF EXISTS `vesk_spellfocus`;\nCREATE TABLE `vesk_spellfocus`"),
            std::string::npos);
  EXPECT_EQ(TableSection(script, "vesk_spellfocus").find("INSERT"), std::string::npos)
      << "zero rows";
  EXPECT_EQ(script.find("3735928559"), std::string::npos) << "skipped fields never exported";
}

// The SQL script and the console of the sample client and of the
// client-sized one, as the converter wrote them before its restructuring
// (the scripts were loaded into MariaDB and compared with the client files).
std::string Sha256(const std::string& path) {
  std::string digest(64, '\0');
  std::FILE* pipe = ::popen(("sha256sum " + Quoted(path)).c_str(), "r");
  if (!pipe || std::fread(digest.data(), 1, digest.size(), pipe) != digest.size()) digest.clear();
  if (pipe) ::pclose(pipe);
  return digest;
}

TEST_F(CliTest, OutputIsByteIdenticalToTheReference) {
  MakeSampleClient(dir.path());
  WriteFile(dir / "a.out", Run({"-f", "a.sql"}).out);
  WriteFile(dir / "b.out", Run({"-l", "11", "-f", "b.sql"}).out);
  EXPECT_EQ(Sha256(dir / "a.sql"),
            "5b2d69314dee664dad733af5413cfc28df5e07d1ce9f2958cbebde0acb30658c");
  EXPECT_EQ(Sha256(dir / "a.out"),
            "355b620afd4922e7079722b5b5aa0c12aa63ddcafae699d0d3763781ade62c38");
  EXPECT_EQ(Sha256(dir / "b.sql"),
            "9673db53b216af10a9557df4a8ecaef0daf38dc150926138a693928c8840f91a");
  EXPECT_EQ(Sha256(dir / "b.out"),
            "bcb97251ce9929849ccf845e0ad0b36a98523a19891505d8a4457f99583a5ce0");
  // The client-sized sample takes most of a minute under a sanitizer on a
  // busy machine; the builds without one check it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return;
#endif
  TempDir full;
  MakeSampleClient(full.path(), {"--full"});
  WriteFile(full / "full.out", RunConverter(full.path(), {"-f", "full.sql"}).out);
  EXPECT_EQ(Sha256(full / "full.sql"),
            "867aa756bb4928b6c3e48cbe8c3de75ff49c5ac69c069b7ec605993acdd4cfaf");
  EXPECT_EQ(Sha256(full / "full.out"),
            "1fe74747114cfd5d5847336bc2f0a1a5539d1d74058507f237ac93e5f3fda7e2");
}

TEST_F(CliTest, RunningTwiceReplacesTheScript) {
  MakeSampleClient(dir.path());
  Run({"-f", "out.sql"});
  const std::string first = ReadFile(dir / "out.sql");
  Run({"-f", "out.sql"});
  EXPECT_EQ(ReadFile(dir / "out.sql"), first);
}

}  // namespace

// An InnoDB script is the MyISAM one with each table's inserts in
// transactions of at most 2000 rows and 4 MiB: the same chunks whatever the
// threads did (two runs are byte-identical), none empty, none across tables.
TEST_F(CliTest, AnInnoDBScriptCommitsInBoundedTransactions) {
  MakeSampleClient(dir.path(), {"--records", "4500"});
  ASSERT_EQ(Run({"-f", "myisam.sql"}).status, 0);
  ASSERT_EQ(Run({"-f", "innodb.sql", "--engine=InnoDB"}).status, 0);
  ASSERT_EQ(Run({"-f", "again.sql", "--engine=innodb"}).status, 0);
  const std::string script = ReadFile(dir / "innodb.sql");
  EXPECT_EQ(script, ReadFile(dir / "again.sql"));
  std::string plain;
  std::size_t rows = 0, bytes = 0, largest_rows = 0, largest_bytes = 0;
  bool open = false;
  for (std::size_t at = 0; at < script.size();) {
    const std::size_t end = script.find('\n', at) + 1;
    const std::string line = script.substr(at, end - at);
    at = end;
    if (line == "START TRANSACTION;\n" || line == "COMMIT;\n") {
      EXPECT_NE(open, line == "START TRANSACTION;\n") << "at byte " << at;
      EXPECT_TRUE(open || rows == 0);
      if (open) {
        EXPECT_GT(rows, 0u) << "an empty transaction, at byte " << at;
      }
      largest_rows = std::max(largest_rows, rows);
      largest_bytes = std::max(largest_bytes, bytes);
      open = !open;
      rows = bytes = 0;
      continue;
    }
    EXPECT_EQ(line.starts_with("INSERT INTO"), open) << line.substr(0, 60);
    rows += open;
    bytes += open ? line.size() : 0;
    const std::size_t engine = line.find("ENGINE=InnoDB ");
    plain += engine == std::string::npos
                 ? line
                 : line.substr(0, engine) + "ENGINE=MyISAM " + line.substr(engine + 14);
  }
  EXPECT_FALSE(open);
  EXPECT_EQ(largest_rows, 2000u) << "tables of small rows fill the row bound";
  EXPECT_LE(largest_bytes, std::size_t{4} << 20);
  EXPECT_GT(largest_bytes, std::size_t{3} << 20) << "Spell's rows reach the byte bound";
  EXPECT_EQ(plain, ReadFile(dir / "myisam.sql"));
}
