#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "BE/Properties.h"
#include "Support/SineWave.h"
#include "Support/TempDirectory.h"
#include "ToolProcess.h"

namespace Quillan::Cli {
namespace {

using ConfigCommandsTest = ToolFolderTest;

TEST_F(ConfigCommandsTest, ReadOnlySettingsAreReportedAndNothingIsWritten) {
  std::string const media = File("media.wav");
  testsupport::WriteNoiseWav(media, 400, 3);
  // The location that reads but never writes, persisted.
  ASSERT_EQ(Quillan({"config", "set", "cache-location", "read-only"}).exitCode, 0);
  EXPECT_EQ(Quillan({"config", "get", "cache-location"}).out, "read-only\n");
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(Analyze({"--analyzer", "digest", media}).at("digest " + media)["status"], "computed");
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "media.qvmi"));
  EXPECT_EQ(ManagedItems(), 0u);

  // Locked by an administrator: neither `config set` nor a run-only override changes it.
  BE::CreateProperties(Config() / "properties")->SetReadOnly(BE::kPrefsAnalyzeImportedMediaCacheLocation, true);
  std::string const before = testsupport::ReadFile(Config() / "properties");
  ToolRun const set = Quillan({"config", "set", "cache-location", "sidecar"});
  EXPECT_EQ(set.exitCode, 1);
  EXPECT_NE(set.err.find("read-only"), std::string::npos) << set.err;
  ToolRun const get = Quillan({"config", "get", "cache-location"});
  EXPECT_EQ(get.out, "read-only\n");
  EXPECT_NE(get.err.find("read-only"), std::string::npos);
  ToolRun const overridden = Quillan({"analyze", "--cache-location", "sidecar", media});
  EXPECT_EQ(overridden.exitCode, 1);
  EXPECT_EQ(overridden.out, "");
  EXPECT_EQ(Analyze({"--cache-location", "read-only", "--analyzer", "digest", media}).size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(dir / "media.qvmi"));
  EXPECT_EQ(testsupport::ReadFile(Config() / "properties"), before);
}

// `config list` tells where each value comes from; unknown debug keys warn and are set all the same.
TEST_F(ConfigCommandsTest, ListShowsEachSettingsSource) {
  auto setting = [&](std::string const& name) {
    ToolRun const run = Quillan({"config", "list", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    Json const list = Json::parse(run.out);
    for (Json const& entry : list["settings"]) {
      if (entry["name"] == name) return entry;
    }
    ADD_FAILURE() << "no setting " << name;
    return Json();
  };
  EXPECT_EQ(setting("cache-location"),
            Json({{"name", "cache-location"}, {"value", "sidecar"}, {"source", "default"}, {"readOnly", false}}));
  EXPECT_EQ(setting("settings-file")["value"], (Config() / "properties").string());
  EXPECT_EQ(setting("settings-file")["source"], "--config-dir");
  ASSERT_EQ(Quillan({"config", "set", "cache-location", "managed"}).exitCode, 0);
  EXPECT_EQ(setting("cache-location")["value"], "managed");
  EXPECT_EQ(setting("cache-location")["source"], "settings file");
  EXPECT_TRUE(
      Quillan({"config", "list", "--format", "csv"})
          .out.starts_with("schema,name,value,source,readOnly\r\n1,cache-location,managed,settings file,false\r\n"
                           "1,cache-size,5.0 GiB,default,false\r\n"));

  ToolRun const debug = Quillan({"--debug", "ZELSE.IgnoreAnalyzerCach=true", "config", "get", "cache-location"});
  EXPECT_EQ(debug.exitCode, 0);
  EXPECT_EQ(debug.out, "managed\n");
  EXPECT_NE(debug.err.find("warning: unknown debug entry \"ZELSE.IgnoreAnalyzerCach\"; did you mean "
                           "\"ZELSE.IgnoreAnalyzerCache\"?"),
            std::string::npos)
      << debug.err;
  EXPECT_EQ(Quillan({"--debug", "ZELSE.IgnoreAnalyzerCache=true", "config", "get", "cache-location"}).err, "");
}

}  // namespace
}  // namespace Quillan::Cli
