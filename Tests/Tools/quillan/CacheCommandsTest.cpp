#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Support/SineWave.h"
#include "Support/TempDirectory.h"
#include "ToolProcess.h"

// The cache locations a run can choose, and the commands that look after the managed cache.
namespace Quillan::Cli {
namespace {

using testsupport::WriteSine;

using CacheCommandsTest = ToolFolderTest;

TEST_F(CacheCommandsTest, EachCacheLocationWritesWhereItSaysForThisRunOnly) {
  struct Case {
    char const* location;
    bool sidecar;
    std::uint64_t managedItems;  // added by the run, one per analyzer
    char const* rerun;           // status of a second run
  };
  Case const cases[] = {
      {"sidecar", true, 0, "cached"},
      {"managed", false, 8, "cached"},  // the video analyzers keep that they do not apply to a sound
      {"read-only", false, 0, "computed"},
      {"7", false, 0, "computed"},  // a value without a name reads the sidecar only and writes nowhere
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    Case const& c = cases[i];
    SCOPED_TRACE(c.location);
    // Content of its own, so that no case finds the results of another.
    std::string const name = "media" + std::to_string(i);
    WriteSine(dir / (name + ".wav"), 0.1 * static_cast<double>(i + 1));
    std::uint64_t const before = ManagedItems();
    for (std::string const status : {"computed", c.rerun}) {
      auto const results = Analyze({"--cache-location", c.location, File(name + ".wav")});
      ASSERT_EQ(results.size(), 8u);
      for (auto const& [job, result] : results) EXPECT_EQ(result["status"], StatusOnASound(job, status));
    }
    EXPECT_EQ(std::filesystem::exists(dir / (name + ".qvmi")), c.sidecar);
    // Every result reached the disk before the tool exited.
    EXPECT_EQ(ManagedItems(), before + c.managedItems);
  }
  // The persisted setting was never touched.
  EXPECT_EQ(Quillan({"config", "get", "cache-location"}).out, "sidecar\n");
  EXPECT_FALSE(std::filesystem::exists(Config() / "properties"));

  // Cleared, the managed cache serves nothing; the next run computes again.
  EXPECT_EQ(Quillan({"cache", "clear"}).exitCode, 0);
  EXPECT_EQ(ManagedItems(), 0u);
  auto const again = Analyze({"--cache-location", "managed", "--analyzer", "digest", File("media1.wav")});
  EXPECT_EQ(again.at("digest " + File("media1.wav"))["status"], "computed");
  EXPECT_EQ(Quillan({"cache", "path"}).out, (dir / "cache" / "AnalyzerCache").string() + "\n");
}

TEST_F(CacheCommandsTest, AnUnusableManagedFolderDegradesTheRunInsteadOfStoppingIt) {
  // A file where the managed cache folder should be.
  testsupport::WriteFile(dir / "cache" / "AnalyzerCache", std::string("in the way"));
  WriteSine(dir / "tone.wav", 0.2);
  std::string const tone = File("tone.wav");
  for (std::string const status : {"computed", "cached"}) {
    ToolRun const run = Quillan({"analyze", "--json", tone});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find("managed cache"), std::string::npos) << run.err;  // sidecar runs do not miss it
    Json const output = Json::parse(run.out);
    for (Json const& result : output["results"]) {
      EXPECT_EQ(result["status"], StatusOnASound(result["analyzer"].get<std::string>(), status));
    }
  }

  // Managed runs say so once, serve what the sidecar holds, and fail the files whose results they cannot keep.
  WriteSine(dir / "new.wav", 0.3);
  ToolRun const managed = Quillan({"analyze", "--json", "--cache-location", "managed", tone, File("new.wav")});
  EXPECT_EQ(managed.exitCode, 1) << managed.err;
  std::size_t const warning = managed.err.find("warning: the managed cache cannot be used");
  ASSERT_NE(warning, std::string::npos) << managed.err;
  EXPECT_EQ(managed.err.find("warning", warning + 1), std::string::npos) << managed.err;
  Json const output = Json::parse(managed.out);
  for (Json const& result : output["results"]) {
    bool const known = result["file"] == tone;
    EXPECT_EQ(result["status"], StatusOnASound(result["analyzer"].get<std::string>(), known ? "cached" : "computed"));
    if (!known && !ReadsPictures(result["analyzer"].get<std::string>())) {
      EXPECT_FALSE(result["stored"].get<bool>());
      EXPECT_NE(result["notStored"], "");
    }
  }
  EXPECT_EQ(testsupport::ReadFile(dir / "cache" / "AnalyzerCache"), "in the way");
}

TEST_F(CacheCommandsTest, AManagedCacheOnASmallVolumeKeepsItsItemsThroughOtherRuns) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  std::filesystem::create_directories(dir / "cache");
  ASSERT_EQ(::mount("tmpfs", (dir / "cache").c_str(), "tmpfs", 0, "size=64m"), 0) << std::strerror(errno);
  WriteSine(dir / "tone.wav", 0.4);
  for (std::string const location : {"managed", "read-only", "sidecar", "managed"}) {
    SCOPED_TRACE(location);
    auto const results = Analyze({"--cache-location", location, File("tone.wav")});
    EXPECT_EQ(ManagedItems(), results.size());
    if (location == "read-only") {
      for (auto const& [job, result] : results) EXPECT_EQ(result["status"], StatusOnASound(job, "cached"));
    }
  }
  Json const limits = Json::parse(Quillan({"cache", "stats", "--json"}).out);
  EXPECT_EQ(limits["bound"], 5368709120u);
  EXPECT_EQ(limits["freeSpaceTarget"], (64u << 20) / 20);
  ::umount2((dir / "cache").c_str(), MNT_DETACH);
}

TEST_F(CacheCommandsTest, TheCacheSizeSettingBoundsTheManagedCacheAndPruneRemovesTheLeastRecentlyUsed) {
  WriteSine(dir / "a.wav", 0.1);
  WriteSine(dir / "b.wav", 0.2);
  // Refused sizes and rules are usage errors and change nothing.
  for (std::vector<std::string> const& refused : {std::vector<std::string>{"config", "set", "cache-size", "12"},
                                                  {"config", "set", "cache-size", "lots"},
                                                  {"cache", "prune"},
                                                  {"cache", "prune", "--older-than", "30"},
                                                  {"cache", "prune", "--to-size", "-1G"}}) {
    ToolRun const run = Quillan(refused);
    EXPECT_EQ(run.exitCode, 2) << refused.back() << ": " << run.err;
  }
  EXPECT_EQ(Quillan({"config", "get", "cache-size"}).out, "5.0 GiB\n");

  ASSERT_EQ(Quillan({"config", "set", "cache-size", "2G"}).exitCode, 0);
  EXPECT_EQ(Quillan({"config", "get", "cache-size"}).out, "2.0 GiB\n");
  auto const analyze = [&](std::string const& file) {
    return Analyze({"--cache-location", "managed", "--analyzer", "digest", "--analyzer", "peaks", File(file)});
  };
  analyze("a.wav");
  analyze("b.wav");
  Json const stats = Json::parse(Quillan({"cache", "stats", "--format", "json"}).out);
  EXPECT_EQ(stats["items"], 4);
  EXPECT_EQ(stats["bound"], 2147483648u);
  EXPECT_GE(stats["diskBytes"].get<std::uint64_t>(), stats["storedBytes"].get<std::uint64_t>());

  // Nothing is a day old; a size that holds only the newest results keeps b's and drops a's.
  Json const young = Json::parse(Quillan({"cache", "prune", "--older-than", "1d", "--format", "json"}).out);
  EXPECT_EQ(young["removedItems"], 0);
  analyze("b.wav");  // read again: b's results are the most recently used
  std::uint64_t const bytes = stats["storedBytes"].get<std::uint64_t>();
  ToolRun const pruned = Quillan({"cache", "prune", "--to-size", std::to_string(bytes / 2 + 1), "--format", "json"});
  ASSERT_EQ(pruned.exitCode, 0) << pruned.err;
  EXPECT_EQ(Json::parse(pruned.out)["removedItems"], 2);
  for (auto const& [job, result] : analyze("b.wav")) EXPECT_EQ(result["status"], "cached") << job;
  for (auto const& [job, result] : analyze("a.wav")) EXPECT_EQ(result["status"], "computed") << job;

  // Cleared, the database gives its space back: its files are those of an empty database (seven 16 KiB pages, the
  // log's 32 KiB index and an empty log; earlier runs emptied the log when they closed the database).
  Json const cleared = Json::parse(Quillan({"cache", "clear", "--format", "json"}).out);
  EXPECT_EQ(cleared["removedItems"], 4);
  EXPECT_TRUE(cleared["spaceReturned"].get<bool>());
  EXPECT_LE(cleared["diskBytesAfter"].get<std::uint64_t>(), cleared["diskBytesBefore"].get<std::uint64_t>());
  EXPECT_EQ(cleared["diskBytesAfter"], 7u * 16384 + 32768);
  EXPECT_EQ(ManagedItems(), 0u);
}

}  // namespace
}  // namespace Quillan::Cli
