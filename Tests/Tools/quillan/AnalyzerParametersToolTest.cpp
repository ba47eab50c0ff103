#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "Support/SineWave.h"
#include "Support/TempDirectory.h"
#include "ToolProcess.h"

namespace Quillan::Cli {
namespace {

using Json = nlohmann::ordered_json;

using AnalyzerParametersToolTest = ToolFolderTest;

std::vector<std::string> Lines(std::string const& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool HasLine(std::vector<std::string> const& lines, std::string const& start, std::string const& part = "") {
  for (std::string const& line : lines) {
    if (line.starts_with(start) && line.find(part) != std::string::npos) return true;
  }
  return false;
}

TEST_F(AnalyzerParametersToolTest, AnalyzersShowsWhatEachDoesAndTheSettingsOfItsParameter) {
  ToolRun const table = Quillan({"analyzers", "--plugin", QUILLAN_DESCRIBED_MODULE_PATH});
  ASSERT_EQ(table.exitCode, 0) << table.err;
  std::vector<std::string> const lines = Lines(table.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines[0].starts_with("NAME")) << lines[0];
  EXPECT_TRUE(HasLine(lines, "silence ", "5d0c3e71-2a94-4f1b-9e57-610ad42b8805"));
  EXPECT_TRUE(HasLine(lines, "silence: silent ranges of the audio"));
  EXPECT_TRUE(HasLine(lines, "  threshold  -60 dBFS by default, -200 to 0: "));
  EXPECT_TRUE(HasLine(lines, "  min        2 s by default, 0 to 86400: "));
  EXPECT_TRUE(HasLine(lines, "  samples  256 frames by default, whole numbers from 1 to 2147483647: ",
                      "a value without a name sets it"));
  EXPECT_TRUE(HasLine(lines, "digest: ", "; no parameters"));
  EXPECT_TRUE(HasLine(lines, "byte-sum: (tells nothing of its parameters)"));

  ToolRun const json = Quillan({"analyzers", "--json", "--plugin", QUILLAN_DESCRIBED_MODULE_PATH});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  std::map<std::string, Json> byName;
  Json const document = Json::parse(json.out);
  for (Json const& analyzer : document["analyzers"]) byName[analyzer["name"].get<std::string>()] = analyzer;
  for (char const* name : {"beats", "black", "digest", "freeze", "loudness", "peaks", "scenes", "silence"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(byName.contains(name));
    EXPECT_FALSE(byName[name]["description"].get<std::string>().empty());
    EXPECT_TRUE(byName[name]["parameters"].is_array());
  }
  Json const& threshold = byName["silence"]["parameters"].at(0);
  EXPECT_EQ(threshold["name"], "threshold");
  EXPECT_EQ(threshold["default"], "-60");
  EXPECT_EQ(threshold["min"], -200);
  EXPECT_EQ(threshold["max"], 0);
  EXPECT_EQ(threshold["unit"], "dBFS");
  EXPECT_EQ(threshold["bare"], false);
  EXPECT_TRUE(byName["digest"]["parameters"].empty());
  EXPECT_TRUE(byName["byte-sum"]["description"].is_null());
  EXPECT_TRUE(byName["byte-sum"]["parameters"].is_null());

  ToolRun const csv = Quillan({"analyzers", "--format", "csv"});
  ASSERT_EQ(csv.exitCode, 0) << csv.err;
  std::vector<std::string> const rows = Lines(csv.out);
  EXPECT_EQ(rows.at(0), "schema,name,id,type,target,maxJobs,failure,description,parameters\r");
  EXPECT_TRUE(HasLine(rows, "1,silence,", ",silent ranges of the audio,threshold min stream\r"));

  // The help of analyze sends its reader to the list, in words a user knows.
  ToolRun const help = Quillan({"help", "analyze"});
  EXPECT_NE(help.out.find("'quillan analyzers' lists each analyzer's settings"), std::string::npos) << help.out;
  EXPECT_EQ(help.out.find("type-0"), std::string::npos) << help.out;
}

TEST_F(AnalyzerParametersToolTest, EverySpellingOfAParameterIsOneComputation) {
  testsupport::WriteSine(dir / "tone.wav", 0.1);
  auto const statusOf = [this](std::string const& parameter) {
    ToolRun const run = Quillan({"analyze", "--json", "-a", "silence", "-p", "silence=" + parameter, File("tone.wav")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    Json const result = Json::parse(run.out)["results"].at(0);
    EXPECT_EQ(result["parameter"], parameter);  // shown as given
    return result["status"].get<std::string>();
  };
  EXPECT_EQ(statusOf("min=0.4,threshold=-50"), "computed");
  EXPECT_EQ(statusOf("threshold=-50,min=0.4"), "cached");
  EXPECT_EQ(statusOf(" threshold = -50.0 , min=0.40"), "cached");
  EXPECT_EQ(statusOf("threshold=-50,min=0.5"), "computed");

  ToolRun const bad = Quillan({"analyze", "--json", "-a", "silence", "-p", "silence=thresold=-50", File("tone.wav")});
  EXPECT_EQ(bad.exitCode, 1);
  Json const failed = Json::parse(bad.out)["results"].at(0);
  EXPECT_EQ(failed["resultCode"], "0xa00f000e");
  EXPECT_NE(failed["message"].get<std::string>().find("no setting \"thresold\""), std::string::npos);
}

}  // namespace
}  // namespace Quillan::Cli
