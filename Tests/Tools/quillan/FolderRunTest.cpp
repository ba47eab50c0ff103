#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "Support/SineWave.h"
#include "Support/TempDirectory.h"
#include "ToolProcess.h"

namespace Quillan::Cli {
namespace {

class FolderRunTest : public ToolFolderTest {
 protected:
  void Ffmpeg(std::string const& arguments) {
    ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -y " + arguments).c_str()), 0) << arguments;
  }

  // The rows of `analyze --json` (or `show`), by "analyzer file", a file's one row under "-".
  std::map<std::string, Json> Rows(std::vector<std::string> arguments, int expectedExit) {
    arguments.insert(arguments.begin() + 1, "--json");
    ToolRun const run = Quillan(arguments);
    EXPECT_EQ(run.exitCode, expectedExit) << run.err << run.out;
    std::map<std::string, Json> rows;
    Json const document = Json::parse(run.out);
    for (Json const& row : document["results"]) {
      std::string const analyzer = row["analyzer"].is_string() ? row["analyzer"].get<std::string>() : "-";
      std::string const file = std::filesystem::path(row["file"].get<std::string>()).filename().string();
      rows[analyzer + " " + file] = row;
    }
    return rows;
  }

  std::set<std::string> Sidecars(std::filesystem::path const& folder) {
    std::set<std::string> names;
    for (auto const& entry : std::filesystem::recursive_directory_iterator(folder)) {
      if (entry.path().extension() == ".qvmi") names.insert(entry.path().lexically_relative(folder).string());
    }
    return names;
  }
};

// A folder as users have them: sounds, a video without sound, a picture, a script, subtitles, a dangling link. Only
// media are analysed and get sidecars; what is not media is one "skipped" row; what does not apply is "not
// applicable"; none of it fails the run.
TEST_F(FolderRunTest, AMixedFolderAnalysesItsMediaOnlyAndExitsZero) {
  std::filesystem::path const folder = dir / "shoot";
  std::filesystem::create_directories(folder / "proxies");
  testsupport::WriteSine(folder / "take1.wav", 0.2);
  testsupport::WriteSine(folder / "proxies" / "take1-proxy.wav", 0.2);
  Ffmpeg("-f lavfi -i testsrc=size=64x48:rate=25:duration=1 -an -c:v libx264 " + (folder / "broll.mp4").string());
  Ffmpeg("-f lavfi -i testsrc=size=64x48 -frames:v 1 " + (folder / "still.png").string());
  testsupport::WriteFile(folder / "render.sh", std::string("#!/bin/sh\necho rendering\n"));
  testsupport::WriteFile(folder / "take1.srt", std::string("1\n00:00:01,000 --> 00:00:02,000\nHello\n"));
  testsupport::WriteFile(folder / "cut-off.png", std::string("\x89PNG\r\n", 6));  // a picture cut off after its mark
  testsupport::WriteFile(folder / "notes.mp4", std::string("shot list: take 1 good\n"));  // named like media
  testsupport::WriteFile(folder / "failed-render.mov", std::string());
  std::filesystem::create_symlink("gone.wav", folder / "gone.wav");

  auto const rows = Rows({"analyze", "-r", folder.string()}, 0);
  for (char const* name : {"still.png", "render.sh", "take1.srt", "cut-off.png", "notes.mp4", "failed-render.mov"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(rows.contains(std::string("- ") + name));
    EXPECT_EQ(rows.at(std::string("- ") + name)["status"], "skipped");
    EXPECT_EQ(rows.at(std::string("- ") + name)["message"], "not a media file");
    for (char const* analyzer : {"digest ", "peaks ", "scenes "})
      EXPECT_FALSE(rows.contains(analyzer + std::string(name)));
  }
  for (char const* analyzer : {"peaks", "loudness", "silence", "beats"}) {
    EXPECT_EQ(rows.at(std::string(analyzer) + " broll.mp4")["status"], "not applicable") << analyzer;
    EXPECT_EQ(rows.at(std::string(analyzer) + " take1.wav")["status"], "computed") << analyzer;
  }
  EXPECT_EQ(rows.at("scenes broll.mp4")["status"], "computed");
  EXPECT_EQ(rows.at("scenes take1.wav")["status"], "not applicable");
  EXPECT_FALSE(rows.contains("- gone.wav"));  // a folder yields regular files only
  // That an analyzer does not apply is kept like a result: show, which computes nothing, knows it.
  EXPECT_EQ(Rows({"show", "-a", "scenes", "-a", "peaks", File("shoot/take1.wav")}, 0).at("scenes take1.wav")["status"],
            "not applicable");
  EXPECT_EQ(Sidecars(folder), (std::set<std::string>{"broll.qvmi", "take1.qvmi", "proxies/take1-proxy.qvmi"}));

  // --include and --exclude pick what a folder yields; an excluded folder is not walked.
  std::set<std::string> files;
  for (auto const& [job, row] : Rows({"analyze", "-a", "digest", "-r", "--include", "*.wav", "--include", "*.mp4",
                                      "--exclude", "proxies", folder.string()},
                                     0)) {
    files.insert(job);
  }
  EXPECT_EQ(files, (std::set<std::string>{"digest broll.mp4", "digest take1.wav", "- notes.mp4"}));
  files.clear();
  for (auto const& [job, row] :
       Rows({"analyze", "-a", "digest", "-r", "--include", "proxies/*.wav", folder.string()}, 0)) {
    files.insert(job);
  }
  EXPECT_EQ(files, (std::set<std::string>{"digest take1-proxy.wav"}));
}

// --force computes what is stored afresh; show prints what is stored and computes nothing; sidecar clean removes
// our sidecars only, and --dry-run only names them.
TEST_F(FolderRunTest, ForceShowAndCleanWorkOnWhatIsStored) {
  std::filesystem::path const folder = dir / "media";
  std::filesystem::create_directories(folder / "sub");
  testsupport::WriteSine(folder / "a.wav", 0.2);
  testsupport::WriteSine(folder / "sub" / "b.wav", 0.3);
  testsupport::WriteFile(folder / "notes.qvmi", std::string("not a sidecar"));

  auto shown = Rows({"show", "-r", "-a", "peaks", "-a", "digest", folder.string()}, 0);
  EXPECT_EQ(shown.at("peaks a.wav")["status"], "not stored");
  EXPECT_TRUE(Sidecars(folder) == std::set<std::string>{"notes.qvmi"});  // show wrote nothing

  EXPECT_EQ(Rows({"analyze", "-r", "-a", "peaks", "-a", "digest", folder.string()}, 0).at("peaks a.wav")["status"],
            "computed");
  shown = Rows({"show", "-r", "-a", "peaks", "-a", "digest", folder.string()}, 0);
  EXPECT_EQ(shown.at("peaks a.wav")["status"], "cached");
  EXPECT_EQ(shown.at("digest b.wav")["status"], "cached");
  // Another parameter was never computed.
  EXPECT_EQ(Rows({"show", "-a", "peaks", "-p", "peaks=1024", File("media/a.wav")}, 0).at("peaks a.wav")["status"],
            "not stored");

  // Forced, the results are computed again and replace the stored ones, which a later run serves.
  auto const forced = Rows({"analyze", "--force", "-r", "-a", "peaks", folder.string()}, 0);
  EXPECT_EQ(forced.at("peaks a.wav")["status"], "computed");
  EXPECT_EQ(forced.at("peaks b.wav")["status"], "computed");
  EXPECT_EQ(Rows({"analyze", "-r", "-a", "peaks", folder.string()}, 0).at("peaks b.wav")["status"], "cached");

  ToolRun const dryRun = Quillan({"sidecar", "clean", "-r", "--dry-run", folder.string()});
  EXPECT_EQ(dryRun.exitCode, 1) << dryRun.err;  // notes.qvmi is no sidecar and is named as such
  EXPECT_NE(dryRun.out.find("would remove " + File("media/a.qvmi")), std::string::npos) << dryRun.out;
  EXPECT_NE(dryRun.err.find("notes.qvmi: left: not a sidecar file"), std::string::npos) << dryRun.err;
  EXPECT_EQ(Sidecars(folder), (std::set<std::string>{"a.qvmi", "notes.qvmi", "sub/b.qvmi"}));

  // Without -r, a folder's own sidecars; a media file names its sidecar.
  ToolRun const clean = Quillan({"sidecar", "clean", File("media/sub/b.wav"), File("media/a.qvmi")});
  EXPECT_EQ(clean.exitCode, 0) << clean.err;
  EXPECT_NE(clean.out.find("2 sidecar files removed"), std::string::npos) << clean.out;
  EXPECT_EQ(Sidecars(folder), (std::set<std::string>{"notes.qvmi"}));
  EXPECT_EQ(testsupport::ReadFile(folder / "notes.qvmi"), "not a sidecar");
  EXPECT_EQ(Rows({"show", "-a", "peaks", File("media/a.wav")}, 0).at("peaks a.wav")["status"], "not stored");
}

// Hundreds of tiny jobs through the tool: every one ends once, in a row of its own, computed and then cached. The
// runner's own test (runner_tests) runs thousands, under ThreadSanitizer too.
TEST_F(FolderRunTest, HundredsOfTinyJobsEachEndOnce) {
  std::filesystem::path const folder = dir / "many";
  std::filesystem::create_directories(folder);
  constexpr int kFiles = 300;
  for (int i = 0; i < kFiles; ++i) testsupport::WriteNoiseWav(folder / ("f" + std::to_string(i) + ".wav"), 8, i);
  for (char const* status : {"computed", "cached"}) {
    SCOPED_TRACE(status);
    auto const rows = Rows({"analyze", "-j", "8", "-a", "digest", "-a", "silence", folder.string()}, 0);
    ASSERT_EQ(rows.size(), 2u * kFiles);
    for (auto const& [job, row] : rows) ASSERT_EQ(row["status"], status) << job;
  }
}

// Folders give their media files (all levels with -r), sidecars left out; -j and --order change when jobs run, never
// what they give or the order of the JSON.
TEST_F(FolderRunTest, FoldersAndParallelJobsGiveTheSameResults) {
  std::filesystem::create_directories(dir / "media" / "sub");
  testsupport::WriteSine(dir / "media" / "long.wav", 0.2, 3);
  testsupport::WriteSine(dir / "media" / "sub" / "short.wav", 0.3, 1);
  std::filesystem::create_directories(dir / "media" / "sub" / "deeper");
  testsupport::WriteNoiseWav(dir / "media" / "sub" / "deeper" / "noise.wav", 100, 1);
  testsupport::WriteFile(dir / "media" / "old.qvmi", std::string("not media"));
  std::string const folder = (dir / "media").string();
  auto files = [](Json const& results) {
    std::vector<std::string> names;
    for (Json const& result : results) names.push_back(result["file"]);
    return names;
  };

  ToolRun const flat = Quillan({"analyze", "--json", "-a", "digest", "--cache-location", "read-only", folder});
  EXPECT_EQ(flat.exitCode, 0) << flat.err;
  EXPECT_EQ(files(Json::parse(flat.out)["results"]), std::vector<std::string>{File("media/long.wav")});

  std::map<std::string, Json> byJobs;
  for (std::string const jobs : {"1", "4"}) {
    ToolRun const run = Quillan({"analyze", "--json", "-r", "-j", jobs, "-a", "digest", "-a", "peaks", "-a", "silence",
                                 "--cache-location", "read-only", folder});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    byJobs[jobs] = Json::parse(run.out)["results"];
  }
  std::vector<std::string> expected;
  for (char const* name : {"media/long.wav", "media/sub/deeper/noise.wav", "media/sub/short.wav"}) {
    for (int i = 0; i < 3; ++i) expected.push_back(File(name));
  }
  EXPECT_EQ(files(byJobs["1"]), expected);
  EXPECT_EQ(byJobs["1"], byJobs["4"]);
  EXPECT_EQ(byJobs["1"][0]["status"], "computed");
  EXPECT_FALSE(std::filesystem::exists(dir / "media" / "long.qvmi"));

  // One at a time, NDJSON shows the order jobs ran in: the smallest file first, or as given.
  struct Case {
    char const* order;
    std::vector<std::string> files;
  };
  Case const cases[] = {
      {"shortest", {File("media/sub/deeper/noise.wav"), File("media/sub/short.wav"), File("media/long.wav")}},
      {"given", {File("media/long.wav"), File("media/sub/deeper/noise.wav"), File("media/sub/short.wav")}},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.order);
    ToolRun const run = Quillan({"analyze", "--format", "ndjson", "-r", "-j", "1", "--order", c.order, "-a", "digest",
                                 "--cache-location", "read-only", folder});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::vector<std::string> order;
    for (Json const& line : NdjsonLines(run.out)) order.push_back(line["file"]);
    EXPECT_EQ(order, c.files);
  }
}

}  // namespace
}  // namespace Quillan::Cli
