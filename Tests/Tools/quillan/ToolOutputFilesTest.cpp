#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"
#include "SampleMedia/SampleClip.h"
#include "Support/BlobTestUtils.h"
#include "Support/SineWave.h"
#include "Support/TempDirectory.h"
#include "ToolProcess.h"

// What the tool's commands write for the user (pictures, waveform data, raw values), run as a user runs them: never
// over what they read, over an existing file only with -y; and a cached result they cannot use is computed afresh.
namespace Quillan::Cli {
namespace {

namespace fs = std::filesystem;

class ToolOutputFilesTest : public ToolFolderTest {
 protected:
  // Every entry of the folder (not the caches' folders): a file's bytes, a link's target.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> entries;
    for (auto const& entry : fs::directory_iterator(dir.path())) {
      std::string const name = entry.path().filename().string();
      if (name == "cache" || name == "config") continue;
      if (entry.is_symlink()) {
        entries[name] = "-> " + fs::read_symlink(entry.path()).string();
      } else if (entry.is_regular_file()) {
        entries[name] = testsupport::ReadFile(entry.path());
      } else {
        entries[name] = "folder";
      }
    }
    return entries;
  }

  // Links of every kind to `media` and its sidecar, beside them.
  void LinkInputs(std::string const& media, std::string const& sidecar) {
    fs::create_symlink(media, dir / "media-link.png");
    fs::create_hard_link(dir / media, dir / "media-hard.png");
    fs::create_symlink(sidecar, dir / "sidecar-link.png");
    fs::create_hard_link(dir / sidecar, dir / "sidecar-hard.png");
    fs::create_directory_symlink(dir.path(), dir / "same-folder");
  }

  // Runs `command` with each of `outputs` and -y: each is refused all the same, with a usage error that says why, and
  // nothing in the folder changes.
  void ExpectRefused(std::vector<std::string> const& command, std::vector<std::string> const& outputs) {
    std::map<std::string, std::string> const before = Snapshot();
    for (std::string const& output : outputs) {
      SCOPED_TRACE(command.front() + " -o " + output + " -y");
      std::vector<std::string> arguments = command;
      arguments.insert(arguments.end(), {"-o", File(output), "-y"});
      ToolRun const run = Quillan(arguments);
      EXPECT_EQ(run.exitCode, 2) << run.err;
      EXPECT_NE(run.err.find("not writing"), std::string::npos) << run.err;
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(Snapshot(), before);
    }
  }

  // Rewrites the value of `analyzer` that the sidecar at `path` holds with `change`, as a damaged cache would hold it.
  void ChangeStoredValue(fs::path const& path, std::string_view analyzer, std::function<void(std::string&)> change) {
    std::string const bytes = testsupport::ReadFile(path);
    auto data = SidecarDataStoreAdaptorSerialization::DeserializeDataStoreFromBinary(testsupport::MakeBlob(bytes));
    int changed = 0;
    for (auto& [key, item] : data->items) {
      if (item.analyzerId != *Examples::FindExampleAnalyzer(analyzer)) continue;
      for (auto& [valueKey, blob] : item.values) {
        std::string value = testsupport::BlobText(blob);
        change(value);
        blob = testsupport::MakeBlob(value);
        ++changed;
      }
    }
    ASSERT_EQ(changed, 1);
    zelcore::Blob const file = SidecarDataStoreAdaptorSerialization::SerializeDataStoreToBinary(data);
    testsupport::WriteFile(path, std::string_view(reinterpret_cast<char const*>(file->data()), file->size()));
  }

  // The one value of `analyzer` in the sidecar at `path`.
  zelcore::Blob StoredValue(fs::path const& path, std::string_view analyzer) {
    auto const data = SidecarDataStoreAdaptorSerialization::DeserializeDataStoreFromBinary(
        testsupport::MakeBlob(testsupport::ReadFile(path)));
    for (auto const& [key, item] : data->items) {
      if (item.analyzerId == *Examples::FindExampleAnalyzer(analyzer) && item.values.size() == 1) {
        return item.values.begin()->second;
      }
    }
    return nullptr;
  }
};

template <class T>
void Put(std::string& bytes, std::size_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

TEST_F(ToolOutputFilesTest, NeverWritesOverTheMediaOrASidecarThroughAnyLink) {
  testsupport::WriteSine(dir / "tone.wav", 0.5);
  ASSERT_EQ(Quillan({"waveform", File("tone.wav"), "-o", File("wave.png")}).exitCode, 0);
  ASSERT_TRUE(fs::exists(dir / "tone.qvmi"));
  LinkInputs("tone.wav", "tone.qvmi");
  ExpectRefused({"waveform", File("tone.wav")},
                {"tone.wav", "same-folder/tone.wav", "media-link.png", "media-hard.png", "tone.qvmi",
                 "same-folder/tone.qvmi", "sidecar-link.png", "sidecar-hard.png", "new.qvmi", "NEW.QVMI"});
  ExpectRefused({"waveform", File("tone.wav"), "--format", "json"}, {"tone.wav", "sidecar-hard.png"});
  ExpectRefused({"sidecar", "get", File("tone.qvmi"), "--analyzer", "peaks"},
                {"tone.qvmi", "same-folder/tone.qvmi", "sidecar-link.png", "sidecar-hard.png", "value.qvmi"});
}

TEST_F(ToolOutputFilesTest, ScenesNeverWritesOverTheVideoOrItsSidecar) {
  Samples::WriteClip(dir / "cuts.mkv", Samples::StandardClip(4, 96, 54));
  ASSERT_EQ(Quillan({"scenes", File("cuts.mkv"), "-o", File("strip.png")}).exitCode, 0);
  ASSERT_TRUE(fs::exists(dir / "cuts.qvmi"));
  LinkInputs("cuts.mkv", "cuts.qvmi");
  ExpectRefused({"scenes", File("cuts.mkv")}, {"cuts.mkv", "same-folder/cuts.mkv", "media-link.png", "media-hard.png",
                                               "cuts.qvmi", "sidecar-link.png", "sidecar-hard.png"});
}

TEST_F(ToolOutputFilesTest, ReplacesAnExistingOutputOnlyWithOverwrite) {
  testsupport::WriteSine(dir / "tone.wav", 0.5);
  ASSERT_EQ(Quillan({"waveform", File("tone.wav"), "-o", File("wave.png"), "--width", "400"}).exitCode, 0);
  testsupport::WriteFile(dir / "value.bin", std::string_view("kept"));
  std::string const picture = testsupport::ReadFile(dir / "wave.png");

  struct Case {
    std::vector<std::string> command;
    std::string output;
  };
  Case const cases[] = {
      {{"waveform", File("tone.wav"), "--width", "500"}, "wave.png"},
      {{"sidecar", "get", File("tone.qvmi"), "--analyzer", "peaks"}, "value.bin"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.output);
    std::string const old = testsupport::ReadFile(dir / c.output);
    std::vector<std::string> arguments = c.command;
    arguments.insert(arguments.end(), {"-o", File(c.output)});
    ToolRun const refused = Quillan(arguments);
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find(File(c.output) + " exists; pass -y (--overwrite) to replace it"), std::string::npos)
        << refused.err;
    EXPECT_EQ(testsupport::ReadFile(dir / c.output), old);

    arguments.push_back("--overwrite");
    ToolRun const replaced = Quillan(arguments);
    EXPECT_EQ(replaced.exitCode, 0) << replaced.err;
    EXPECT_NE(testsupport::ReadFile(dir / c.output), old);
  }
  EXPECT_NE(testsupport::ReadFile(dir / "wave.png"), picture);
  EXPECT_EQ(testsupport::BlobText(StoredValue(dir / "tone.qvmi", "peaks")), testsupport::ReadFile(dir / "value.bin"));
}

TEST_F(ToolOutputFilesTest, CachedResultsThePicturesCannotUseAreComputedAfreshAndReplaced) {
  testsupport::WriteSine(dir / "tone.wav", 0.5);
  Samples::WriteClip(dir / "cuts.mkv", Samples::StandardClip(4, 96, 54));
  ASSERT_EQ(Quillan({"waveform", File("tone.wav"), "-o", File("first.png")}).exitCode, 0);
  ASSERT_EQ(Quillan({"scenes", File("cuts.mkv"), "-o", File("first-strip.png")}).exitCode, 0);
  std::string const goodPeaks = testsupport::BlobText(StoredValue(dir / "tone.qvmi", "peaks"));
  std::string const goodScenes = testsupport::BlobText(StoredValue(dir / "cuts.qvmi", "scenes"));
  ASSERT_TRUE(Examples::DecodeScenes(testsupport::MakeBlob(goodScenes))->cuts.size() >= 1);

  struct Case {
    char const* what;
    char const* media;
    std::string_view analyzer;
    std::function<void(std::string&)> damage;
    std::string const& good;
  };
  double const nan = std::numeric_limits<double>::quiet_NaN();
  Case const cases[] = {
      {"frames 2^64-1", "tone.wav", Examples::kPeaksAnalyzerName,
       [](std::string& peaks) { Put(peaks, 16, std::numeric_limits<std::uint64_t>::max()); }, goodPeaks},
      {"sample rate 0", "tone.wav", Examples::kPeaksAnalyzerName,
       [](std::string& peaks) { Put(peaks, 8, std::uint32_t{0}); }, goodPeaks},
      {"audio starting at -1 s", "tone.wav", Examples::kPeaksAnalyzerName,
       [](std::string& peaks) { Put(peaks, 24, -1.0); }, goodPeaks},
      {"a cut at NaN seconds", "cuts.mkv", Examples::kScenesAnalyzerName,
       [nan](std::string& scenes) { Put(scenes, 40 + 8, nan); }, goodScenes},
      {"no pictures", "cuts.mkv", Examples::kScenesAnalyzerName,
       [](std::string& scenes) { Put(scenes, 24, std::uint64_t{0}); }, goodScenes},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    fs::path const sidecar = (dir / c.media).replace_extension(".qvmi");
    ChangeStoredValue(sidecar, c.analyzer, c.damage);
    ASSERT_NE(testsupport::BlobText(StoredValue(sidecar, c.analyzer)), c.good);
    std::vector<std::string> arguments{std::string(c.analyzer == "peaks" ? "waveform" : "scenes"), File(c.media), "-o",
                                       File("out.png"), "-y"};
    ToolRun const run = Quillan(arguments);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("computed"), std::string::npos) << run.out;
    EXPECT_EQ(testsupport::BlobText(StoredValue(sidecar, c.analyzer)), c.good);
    // Stored again, the good result is used from then on.
    ToolRun const again = Quillan(arguments);
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(again.err, "");
    EXPECT_NE(again.out.find("cached"), std::string::npos) << again.out;
  }
}

}  // namespace
}  // namespace Quillan::Cli
