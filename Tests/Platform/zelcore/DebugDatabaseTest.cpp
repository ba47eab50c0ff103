#include "zelcore/DebugDatabase.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "zelcore/ZelException.h"

namespace {

using zelcore::debug::DebugDatabase;

TEST(DebugDatabaseTest, EntriesAndBooleanSwitches) {
  DebugDatabase& instance = DebugDatabase::Instance();
  EXPECT_EQ(&instance, &DebugDatabase::Instance());
  instance.SetEntry("ZELSE.IgnoreAnalyzerCache", "true");
  EXPECT_TRUE(instance.GetBooleanEntry("ZELSE.IgnoreAnalyzerCache", false));
  EXPECT_TRUE(instance.RemoveEntry("ZELSE.IgnoreAnalyzerCache"));
  EXPECT_FALSE(instance.RemoveEntry("ZELSE.IgnoreAnalyzerCache"));
  EXPECT_EQ(instance.GetEntry("ZELSE.IgnoreAnalyzerCache", "false"), "false");

  DebugDatabase db;
  for (char const* value : {"TRUE", "1", "yes", ""}) {
    db.SetEntry("Switch", value);
    EXPECT_FALSE(db.GetBooleanEntry("Switch", true)) << value;  // on exactly for "true"; a set entry beats the default
  }
  EXPECT_TRUE(db.GetBooleanEntry("Unset", true));
  EXPECT_EQ(db.FindEntry("Unset"), std::nullopt);
}

TEST(DebugDatabaseTest, SettingsTextSkipsMalformedLinesAndAppliesTheRest) {
  DebugDatabase db;
  std::string const text = std::string(
                               "\xEF\xBB\xBF# comment\r\n"
                               "  Cache.Folder = /tmp/a=b  \r\n"
                               "\n"
                               "no equals sign\n"
                               " = value without key\n"
                               "Bad.Bytes=\xC3\x28\n"
                               "Nul.Byte=a") +
                           '\0' + "b\n   # indented comment\nEmpty.Value=\nCache.Folder=/tmp/last wins";
  EXPECT_EQ(
      db.LoadFromText(text, "settings.txt"),
      (std::vector<std::string>{"settings.txt:4: expected key=value", "settings.txt:5: the key is empty",
                                "settings.txt:6: not valid UTF-8", "settings.txt:7: contains a control character"}));
  EXPECT_EQ(db.GetAllEntries(),
            (std::map<std::string, std::string>{{"Cache.Folder", "/tmp/last wins"}, {"Empty.Value", ""}}));

  std::mt19937 random(12345);  // arbitrary bytes never crash
  for (int round = 0; round < 200; ++round) {
    std::string bytes(random() % 200, '\0');
    for (char& c : bytes) c = static_cast<char>(random() % 4 == 0 ? "=\n#\r"[random() % 4] : random());
    db.LoadFromText(bytes, "random");
  }
}

TEST(DebugDatabaseTest, LoadsSettingsFileAndReportsAMissingOneWithItsPath) {
  auto const dir = std::filesystem::temp_directory_path() / ("zelcore-debugdb-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "debug.txt") << "ZELSE.IgnoreAnalyzerCache=true\nbroken\n";
  DebugDatabase db;
  EXPECT_EQ(db.LoadFromFile(dir / "debug.txt"),
            std::vector<std::string>{(dir / "debug.txt").string() + ":2: expected key=value"});
  EXPECT_TRUE(db.GetBooleanEntry("ZELSE.IgnoreAnalyzerCache", false));

  auto const missing = dir / "missing.txt";
  try {
    db.LoadFromFile(missing);
    ADD_FAILURE() << "no exception";
  } catch (zelcore::config::zel_exception const& e) {
    EXPECT_EQ(e.GetResult(), zelcore::config::kResultFileRead);
    EXPECT_NE(std::string(e.what()).find(missing.string()), std::string::npos) << e.what();
  }
  EXPECT_EQ(db.GetAllEntries().size(), 1u);
  std::filesystem::remove_all(dir);
}

TEST(DebugDatabaseTest, CommandLineEntriesAreTakenOutAndTheRestKept) {
  struct Case {
    std::vector<char const*> argv;
    std::vector<std::string> rest;
    std::size_t errors;
    char const* entryA;
  };
  Case const cases[] = {
      {{"tool", "--debug-entry", "A=1", "analyze", "x.wav"}, {"tool", "analyze", "x.wav"}, 0, "1"},
      {{"tool", "--debug-entry=A=2", "--debug-entry", "B=3", "--json"}, {"tool", "--json"}, 0, "2"},
      {{"tool", "--debug-entry"}, {"tool"}, 1, "unset"},                      // value missing
      {{"tool", "--debug-entry", "--json"}, {"tool", "--json"}, 1, "unset"},  // another option is not eaten
      {{"tool", "--debug-entry", "novalue", "x"}, {"tool", "x"}, 1, "unset"},
      {{"tool", "--debug-entry==1", "--debug-entry=A=4"}, {"tool"}, 1, "4"},
      {{"tool", "--", "--debug-entry", "A=1"}, {"tool", "--", "--debug-entry", "A=1"}, 0, "unset"},
      {{"tool", "--debug-entryA=1"}, {"tool", "--debug-entryA=1"}, 0, "unset"},  // not our option
      {{}, {}, 0, "unset"},
  };
  for (Case const& c : cases) {
    DebugDatabase db;
    auto const result = db.LoadFromCommandLine(static_cast<int>(c.argv.size()), c.argv.data());
    EXPECT_EQ(result.arguments, c.rest);
    EXPECT_EQ(result.errors.size(), c.errors) << testing::PrintToString(result.errors);
    EXPECT_EQ(db.GetEntry("A", "unset"), c.entryA) << testing::PrintToString(c.rest);
  }
}

}  // namespace
