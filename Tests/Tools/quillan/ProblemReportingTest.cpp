#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Support/BlobTestUtils.h"
#include "Support/SineWave.h"
#include "Support/TempDirectory.h"
#include "ToolProcess.h"

namespace Quillan::Cli {
namespace {

// The analyzers of the ThrowingAnalyzers module: one whose constructor throws an int, one a std::runtime_error.
constexpr char kThrowsInt[] = "7e57a7e5-0000-4000-8000-0000000000e1";
constexpr char kThrowsError[] = "7e57a7e5-0000-4000-8000-0000000000e2";
constexpr char kErrorMessage[] = "the test analyzer refuses to be made";

std::size_t Count(std::string const& text, std::string const& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

class ProblemReportingTest : public ToolFolderTest {
 protected:
  ProblemReportingTest() { testsupport::WriteSine(dir / "tone.wav", 0.1); }

  std::filesystem::path Settings() const { return dir / "config" / "properties"; }
};

// Whatever an analyzer's constructor throws, an int as much as a std::exception, fails that analyzer's rows with its
// message, and `analyzers` lists it as failing: the tool neither aborts nor leaves it out.
TEST_F(ProblemReportingTest, AnalyzersThatCannotBeBuiltFailTheirRowsAndAreListed) {
  ToolRun const run = Quillan({"analyze", "--json", "--plugin", QUILLAN_THROWING_ANALYZERS_PATH, File("tone.wav")});
  ASSERT_EQ(run.exitCode, 1) << run.err;
  std::map<std::string, Json> rows;
  Json const output = Json::parse(run.out);
  for (Json const& result : output["results"]) rows[result["analyzerId"].get<std::string>()] = result;
  ASSERT_EQ(rows.size(), 10u) << run.out;  // the eight example analyzers and the module's two
  EXPECT_EQ(rows.at(kThrowsInt)["status"], "failed");
  EXPECT_NE(rows.at(kThrowsInt)["message"].get<std::string>().find("int"), std::string::npos) << run.out;
  EXPECT_EQ(rows.at(kThrowsError)["status"], "failed");
  EXPECT_EQ(rows.at(kThrowsError)["message"], kErrorMessage);
  for (auto const& [id, row] : rows) {
    if (id != kThrowsInt && id != kThrowsError) {
      EXPECT_EQ(row["status"], ReadsPictures(row["analyzer"].get<std::string>()) ? "not applicable" : "computed")
          << row;
    }
  }

  // Named alone, each fails its own row.
  for (char const* id : {kThrowsInt, kThrowsError}) {
    ToolRun const alone =
        Quillan({"analyze", "--json", "--plugin", QUILLAN_THROWING_ANALYZERS_PATH, "-a", id, File("tone.wav")});
    EXPECT_EQ(alone.exitCode, 1) << alone.err;
    Json const results = Json::parse(alone.out)["results"];
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["status"], "failed");
  }

  ToolRun const listed = Quillan({"analyzers", "--json", "--plugin", QUILLAN_THROWING_ANALYZERS_PATH});
  EXPECT_EQ(listed.exitCode, 1) << listed.err;
  std::map<std::string, Json> analyzers;
  Json const list = Json::parse(listed.out);
  for (Json const& analyzer : list["analyzers"]) analyzers[analyzer["id"]] = analyzer;
  ASSERT_EQ(analyzers.size(), 10u) << listed.out;
  EXPECT_EQ(analyzers.at(kThrowsInt)["target"], "failed");
  EXPECT_NE(analyzers.at(kThrowsInt)["failure"].get<std::string>().find("int"), std::string::npos);
  EXPECT_EQ(analyzers.at(kThrowsError)["target"], "failed");
  EXPECT_EQ(analyzers.at(kThrowsError)["failure"], kErrorMessage);
  EXPECT_EQ(Count(listed.err, "cannot be built: "), 2u) << listed.err;
  EXPECT_EQ(Count(listed.err, kThrowsError), 1u) << listed.err;
}

// A settings file that cannot be read, or an entry of another type than its reader needs, is told once, naming the
// file (and the key), with exit 1, by whichever command meets it: not as an unknown analyzer, not as a usage error,
// not once per analyzer. The file stays as it was.
TEST_F(ProblemReportingTest, SettingsProblemsAreToldOnceNamingTheFileAndTheKey) {
  std::string const tone = File("tone.wav");
  std::vector<std::vector<std::string>> const everyCommand = {{"analyze", "-a", "digest", tone},
                                                              {"analyze", tone},
                                                              {"analyzers"},
                                                              {"config", "list"},
                                                              {"waveform", tone, "-o", File("wave.png")},
                                                              {"sidecar", "get", File("tone.qvmi"), "-a", "digest"}};
  struct Case {
    char const* what;
    std::function<void()> make;
    std::string key;  // empty: the file as a whole
    std::vector<std::vector<std::string>> commands;
  };
  auto const write = [this](std::string const& text) {
    return [this, text] { testsupport::WriteFile(Settings(), text); };
  };
  std::vector<Case> cases = {
      {"a cache location of another type", write("[values]\nAnalyzeImportedMediaCacheLocation = \"managed\"\n"),
       "AnalyzeImportedMediaCacheLocation", everyCommand},
      {"a cache size of another type",
       write("[values]\nAnalyzerCacheMaxBytes = \"big\"\n"),
       "AnalyzerCacheMaxBytes",
       {{"cache", "stats"}, {"config", "get", "cache-size"}, {"config", "list"}}},
      {"a folder at the settings file's path", [this] { std::filesystem::create_directories(Settings()); }, "",
       everyCommand},
  };
  // Root reads a file whatever its permissions; the folder case covers that run.
  if (geteuid() != 0) {
    cases.push_back({"a settings file without read permission",
                     [this] {
                       testsupport::WriteFile(Settings(), std::string("[values]\n"));
                       ::chmod(Settings().c_str(), 0);
                     },
                     "", everyCommand});
  }
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(dir / "config");
    c.make();
    // What a readable file held, to compare afterwards.
    bool const readable = std::filesystem::is_regular_file(Settings()) && ::access(Settings().c_str(), R_OK) == 0;
    std::string const before = readable ? testsupport::ReadFile(Settings()) : std::string();
    for (std::vector<std::string> const& command : c.commands) {
      SCOPED_TRACE(command.front() + (command.size() > 1 ? " " + command[1] : ""));
      ToolRun const run = Quillan(command);
      EXPECT_EQ(run.exitCode, 1) << run.err;
      EXPECT_EQ(Count(run.err, "settings file " + Settings().string()), 1u) << run.err;
      if (!c.key.empty()) {
        EXPECT_EQ(Count(run.err, "key \"" + c.key + "\""), 1u) << run.err;
      }
      EXPECT_EQ(run.err.find("usage:"), std::string::npos) << run.err;
      EXPECT_EQ(run.err.find("unknown analyzer"), std::string::npos) << run.err;
      EXPECT_EQ(run.out, "");
    }
    if (readable) {
      EXPECT_EQ(testsupport::ReadFile(Settings()), before);
    }
    std::filesystem::permissions(Settings(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "tone.qvmi"));
}

// A managed run whose bound setting cannot be used goes on with the bound the store keeps, and says so once.
TEST_F(ProblemReportingTest, ManagedRunsWarnOnceWhenTheBoundSettingCannotBeUsed) {
  struct Case {
    char const* value;
    char const* problem;
  };
  Case const cases[] = {{"\"big\"", "a string"}, {"{ type = 6, text = \"1000\" }", "below the smallest bound"}};
  for (Case const& c : cases) {
    SCOPED_TRACE(c.value);
    testsupport::WriteFile(Settings(), std::string("[values]\nAnalyzerCacheMaxBytes = ") + c.value + "\n");
    ToolRun const run =
        Quillan({"analyze", "--cache-location", "managed", "-a", "digest", "-a", "peaks", File("tone.wav")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Count(run.err, "warning: settings file " + Settings().string() + ", key \"AnalyzerCacheMaxBytes\""), 1u)
        << run.err;
    EXPECT_NE(run.err.find(c.problem), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("keeps the default bound of 5.0 GiB"), std::string::npos) << run.err;
  }
  // A bound that can be used says nothing.
  testsupport::WriteFile(Settings(),
                         std::string("[values]\nAnalyzerCacheMaxBytes = { type = 6, text = \"2147483648\" }\n"));
  ToolRun const fine = Quillan({"analyze", "--cache-location", "managed", "-a", "digest", File("tone.wav")});
  EXPECT_EQ(fine.exitCode, 0) << fine.err;
  EXPECT_EQ(fine.err, "");
}

}  // namespace
}  // namespace Quillan::Cli
