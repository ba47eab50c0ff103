#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "Support/BlobTestUtils.h"
#include "Support/SineWave.h"
#include "Support/TempDirectory.h"
#include "ToolProcess.h"

// The analyzers command, and analyzer modules loaded with --plugin: how the tool lists their analyzers, shows their
// results and meets their failures.
namespace Quillan::Cli {
namespace {

using testsupport::WriteSine;

using AnalyzersAndPluginsTest = ToolFolderTest;

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

TEST_F(AnalyzersAndPluginsTest, AnalyzersShowsWhatEachDoesAndTheSettingsOfItsParameter) {
  ToolRun const table = Quillan({"analyzers", "--plugin", QUILLAN_DESCRIBED_MODULE_PATH});
  ASSERT_EQ(table.exitCode, 0) << table.err;
  std::vector<std::string> const lines = Lines(table.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines[0].starts_with("NAME")) << lines[0];
  EXPECT_TRUE(HasLine(lines, "silence ", IdOf("silence")));
  EXPECT_TRUE(HasLine(lines, "silence: silent ranges of the audio"));
  EXPECT_TRUE(HasLine(lines, "  threshold  -60 dBFS by default, -200 to 0: "));
  EXPECT_TRUE(HasLine(lines, "  samples  256 frames by default, whole numbers from 1 to 2147483647: ",
                      "a value without a name sets it"));
  EXPECT_TRUE(HasLine(lines, "digest: ", "; no parameters"));
  EXPECT_TRUE(HasLine(lines, "byte-sum: (tells nothing of its parameters)"));

  // Every registered analyzer is listed under its id, each only once however often its module is named; one whose
  // factory builds nothing to ask for a name is listed under its GUID.
  ToolRun const json = Quillan({"analyzers", "--json", "--plugin", QUILLAN_DESCRIBED_MODULE_PATH, "--plugin",
                                QUILLAN_TYPE_SEVEN_MODULE_PATH, "--plugin", QUILLAN_EXAMPLES_MODULE_PATH});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  Json const document = Json::parse(json.out);
  std::vector<std::string_view> const names = Examples::GetExampleAnalyzerNames();
  ASSERT_EQ(document["analyzers"].size(), names.size() + 2);
  std::map<std::string, Json> byName;
  for (Json const& analyzer : document["analyzers"]) byName[analyzer["name"].get<std::string>()] = analyzer;
  for (std::string_view const view : names) {
    std::string const name(view);
    SCOPED_TRACE(name);
    ASSERT_TRUE(byName.contains(name));
    EXPECT_EQ(byName[name]["id"], IdOf(name));
    EXPECT_EQ(byName[name]["type"], 0);
    EXPECT_EQ(byName[name]["target"], "media");
    EXPECT_FALSE(byName[name]["description"].get<std::string>().empty());
    EXPECT_TRUE(byName[name]["parameters"].is_array());
  }
  Json const& typeSeven = byName["7e57a7e5-0000-4000-8000-000000000007"];
  EXPECT_EQ(typeSeven["id"], "7e57a7e5-0000-4000-8000-000000000007");
  EXPECT_EQ(typeSeven["type"], 7);
  EXPECT_EQ(typeSeven["target"], "unknown");
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

// A module's analyzer describes its own results, and every format carries the description: the table its summary,
// JSON and NDJSON its fields and units, CSV all of it in quoted fields. The example analyzers' values come the same
// way.
TEST_F(AnalyzersAndPluginsTest, EveryFormatShowsThePluginsDescribedResult) {
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i % 256);  // 1000 bytes that sum to 124716
  testsupport::WriteFile(dir / "bytes.bin", bytes);
  WriteSine(dir / "tone.wav", 0.1);
  std::vector<std::string> const common = {"--plugin",
                                           QUILLAN_DESCRIBED_MODULE_PATH,
                                           "-a",
                                           "byte-sum",
                                           "-a",
                                           "digest",
                                           "-a",
                                           "loudness",
                                           File("bytes.bin"),
                                           File("tone.wav")};
  auto run = [&](std::string const& format) {
    std::vector<std::string> arguments = {"analyze", "--format", format};
    arguments.insert(arguments.end(), common.begin(), common.end());
    ToolRun result = Quillan(arguments);
    // bytes.bin is not media: the module's analyzer reads it, the media analyzers do not apply, nothing failed.
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result;
  };

  Json const json = Json::parse(run("json").out);
  EXPECT_EQ(json["schema"], 1);
  ASSERT_EQ(json["results"].size(), 6u);
  Json const& sum = json["results"][0];
  EXPECT_EQ(sum["analyzer"], "byte-sum");
  EXPECT_EQ(sum["analyzerId"], "7e57a7e5-0000-4000-8000-0000000000b5");
  EXPECT_EQ(sum["result"]["name"], "byte-sum");
  EXPECT_EQ(sum["result"]["summary"], "1000 bytes, \"sum\" 124716");
  EXPECT_EQ(sum["result"]["fields"]["bytes"], 1000);
  EXPECT_EQ(sum["result"]["fields"]["sum"], 124716);
  EXPECT_EQ(sum["result"]["units"], Json({{"bytes", "bytes"}}));
  Json const& loudness = json["results"][5];
  EXPECT_EQ(loudness["file"], File("tone.wav"));
  EXPECT_NEAR(loudness["result"]["fields"]["integrated"].get<double>(), -20.0, 0.3);
  EXPECT_EQ(loudness["result"]["units"]["integrated"], "LUFS");
  EXPECT_EQ(json["results"][4]["result"]["fields"]["sha256"].get<std::string>().size(), 64u);
  EXPECT_EQ(json["results"][1]["status"], "not applicable");
  EXPECT_EQ(json["results"][2]["status"], "not applicable");

  // NDJSON: the same objects, one per line, each with the schema; the same set of rows in any order.
  std::vector<Json> const lines = NdjsonLines(run("ndjson").out);
  ASSERT_EQ(lines.size(), 6u);
  std::map<std::string, Json> byJob;
  for (Json line : lines) {
    EXPECT_EQ(line["schema"], 1);
    line.erase("schema");
    byJob[line["analyzer"].get<std::string>() + " " + line["file"].get<std::string>()] = line;
  }
  for (Json const& result : json["results"]) {
    auto const found = byJob.find(result["analyzer"].get<std::string>() + " " + result["file"].get<std::string>());
    ASSERT_NE(found, byJob.end());
    // The cached result is the same value, told as cached.
    Json expected = result;
    if (expected["status"] == "computed" && result["analyzer"] != "byte-sum") expected["status"] = "cached";
    EXPECT_EQ(found->second, expected);
  }

  // CSV: a header, then each result's row with the description in quoted fields.
  std::string const csv = run("csv").out;
  std::vector<std::string> rows;
  for (std::size_t at = 0, end; (end = csv.find("\r\n", at)) != std::string::npos; at = end + 2) {
    rows.push_back(csv.substr(at, end - at));
  }
  ASSERT_EQ(rows.size(), 7u) << csv;
  EXPECT_TRUE(
      rows[0].starts_with("schema,file,contentState,analyzer,analyzerId,parameter,status,summary,fields,units,"));
  EXPECT_TRUE(rows[1].starts_with("1," + File("bytes.bin") + ",")) << rows[1];
  EXPECT_NE(rows[1].find(",byte-sum,7e57a7e5-0000-4000-8000-0000000000b5,,computed,\"1000 bytes, \"\"sum\"\" 124716\","
                         "\"{\"\"bytes\"\":1000,\"\"sum\"\":124716}\",\"{\"\"bytes\"\":\"\"bytes\"\"}\","),
            std::string::npos)
      << rows[1];
  EXPECT_NE(rows[3].find(",not applicable,"), std::string::npos) << rows[3];
  EXPECT_NE(rows[3].find("," + json["results"][2]["resultCode"].get<std::string>() + ","), std::string::npos);

  ToolRun const table = run("table");
  EXPECT_NE(table.out.find("1000 bytes, \"sum\" 124716"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("sha256 " + json["results"][4]["result"]["fields"]["sha256"].get<std::string>()),
            std::string::npos)
      << table.out;

  // Stored results read back described too, and `sidecar get` takes the analyzer's name.
  ToolRun const dump = Quillan({"sidecar", "dump", "--json", File("tone.qvmi")});
  ASSERT_EQ(dump.exitCode, 0) << dump.err;
  Json const items = Json::parse(dump.out)["items"];
  ASSERT_EQ(items.size(), 2u);
  for (Json const& item : items) {
    Json const& expected = item["analyzer"] == "digest" ? json["results"][4] : json["results"][5];
    EXPECT_EQ(item["values"][0]["result"], expected["result"]);
  }
  ToolRun const raw = Quillan({"sidecar", "get", File("tone.qvmi"), "--analyzer", "digest"});
  ASSERT_EQ(raw.exitCode, 0) << raw.err;
  EXPECT_EQ(Examples::DigestToHex(testsupport::MakeBlob(raw.out)), json["results"][4]["result"]["fields"]["sha256"]);
}

// A module whose registration throws ends the tool with exit 2 and the module's own message.
TEST_F(AnalyzersAndPluginsTest, AModuleThatCannotRegisterEndsTheToolCleanly) {
  WriteSine(dir / "tone.wav", 0.1);
  for (std::string const command : {"analyze", "analyzers"}) {
    std::vector<std::string> arguments = {command, "--plugin", QUILLAN_THROWING_MODULE_PATH};
    if (command == "analyze") arguments.push_back(File("tone.wav"));
    ToolRun const run = Quillan(arguments);
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find("the test module refuses to register"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("terminate called"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "tone.qvmi"));
  ToolRun const missing = Quillan({"analyzers", "--plugin", File("none.so")});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.err.find("cannot load analyzer module"), std::string::npos) << missing.err;
}

// What reads media is a library the analyzers open when they first compute. A tool without it (a copy of the tool
// beside every library but that one) still answers from what is stored, and a computation fails with the loader's
// reason, file by file, instead of the tool failing to start.
TEST_F(AnalyzersAndPluginsTest, StoredResultsAreReadWithoutTheMediaLibrary) {
  WriteSine(dir / "tone.wav", 0.5);
  ASSERT_EQ(Quillan({"analyze", "-a", "peaks", File("tone.wav")}).exitCode, 0);

  std::filesystem::path const built = std::filesystem::path(QUILLAN_TOOL_PATH).parent_path().parent_path();
  std::filesystem::create_directories(dir / "copy" / "bin");
  std::filesystem::create_directories(dir / "copy" / "lib");
  std::filesystem::copy_file(QUILLAN_TOOL_PATH, dir / "copy" / "bin" / "quillan");
  for (auto const& entry : std::filesystem::directory_iterator(built / "lib")) {
    std::string const name = entry.path().filename().string();
    if (!name.starts_with("libquillan_example_media")) {
      std::filesystem::create_symlink(entry.path(), dir / "copy" / "lib" / name);
    }
  }
  tool = (dir / "copy" / "bin" / "quillan").string();

  ToolRun const stored = Quillan({"analyze", "--no-progress", "-a", "peaks", File("tone.wav")});
  EXPECT_EQ(stored.exitCode, 0) << stored.err;
  EXPECT_NE(stored.out.find("cached"), std::string::npos) << stored.out;

  ToolRun const computed = Quillan({"analyze", "--no-progress", "-a", "silence", "-a", "peaks", File("tone.wav")});
  EXPECT_EQ(computed.exitCode, 1) << computed.err;
  EXPECT_NE(computed.out.find("cached"), std::string::npos) << computed.out;
  EXPECT_NE((computed.out + computed.err).find("Cannot open the example analyzers' media module"), std::string::npos)
      << computed.out << computed.err;
  EXPECT_NE((computed.out + computed.err).find("libquillan_example_media.so.0"), std::string::npos) << computed.out;
}

}  // namespace
}  // namespace Quillan::Cli
