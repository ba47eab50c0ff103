// The sidecar store against other processes: saves racing from several processes, a reader beside a writer, a
// writer killed at the moment it replaces the file, and a writer whose disk is full.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptor.h"
#include "DataStoreAdaptors/SidecarFile.h"
#include "Helper/SidecarHelperValues.h"
#include "Support/FutureTestUtils.h"
#include "Support/TempDirectory.h"
#include "zelcore/TextConversions.h"

extern char** environ;

namespace Quillan {
namespace {

namespace fs = std::filesystem;
namespace serialization = SidecarDataStoreAdaptorSerialization;
using testsupport::kHelperAnalyzer;
using testsupport::ReadFile;
using testsupport::ValueFor;

// A helper process with its standard output on a pipe.
struct Helper {
  pid_t pid = -1;
  int out = -1;

  static Helper Start(std::vector<std::string> const& arguments) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    std::vector<std::string> all{SIDECAR_TEST_HELPER_PATH};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    Helper helper;
    int const error = posix_spawn(&helper.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    if (error != 0) throw std::runtime_error("posix_spawn");
    helper.out = pipeEnds[0];
    return helper;
  }

  // Everything it printed, once it has ended; and how it ended (the exit code, or 128 + the signal).
  std::string Output() {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(out, buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<std::size_t>(got));
    ::close(out);
    out = -1;
    return text;
  }
  int Wait() {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
};

// The keys a helper said it saved.
std::vector<std::string> SavedKeys(std::string const& output) {
  std::vector<std::string> keys;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("saved ")) keys.push_back(line.substr(6));
  }
  return keys;
}

// The saves' temporary files in `folder`, as name and inode: a save that takes over a killed one's leftover makes a
// new file of the same name.
std::set<std::string> Temporaries(fs::path const& folder) {
  std::set<std::string> names;
  for (auto const& entry : fs::directory_iterator(folder)) {
    std::string const name = entry.path().filename().native();
    struct stat status {};
    if (name.starts_with(".take.qvmi.") && ::lstat(entry.path().c_str(), &status) == 0) {
      names.insert(name + "@" + std::to_string(status.st_ino));
    }
  }
  return names;
}
bool HasTemporary(fs::path const& folder) { return !Temporaries(folder).empty(); }

class SidecarDataStoreAdaptorProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(media_) << "the media's content";
    mediaRef_ = BE::ProjectFactory::CreateMedia(zelcore::text::PathBytesToUTF16(media_.native()));
  }

  // The sidecar decodes, and holds every key of `keys` with its own value.
  void ExpectHolds(std::set<std::string> const& keys) {
    auto const data = serialization::DeserializeDataStoreFromBinary(SidecarFile::Read(sidecar_));
    ASSERT_EQ(data->items.size(), 1u);
    auto const& values = data->items.begin()->second.values;
    for (std::string const& key : keys) {
      std::string const cacheKey(
          GenerateCacheKey(kHelperAnalyzer, ImmutableString(), ImmutableString::Create(key)).view());
      auto const value = values.find(cacheKey);
      ASSERT_NE(value, values.end()) << key;
      EXPECT_TRUE(testsupport::SameBytes(value->second, ValueFor(key, value->second->size()))) << key;
    }
  }

  testsupport::TempDirectory directory_;
  fs::path const media_ = directory_ / "take.wav";
  fs::path const sidecar_ = directory_ / "take.qvmi";
  zelcore::InterfaceRef<BE::IMedia> mediaRef_;
};

TEST_F(SidecarDataStoreAdaptorProcessTest, EightProcessesSavingAtOnceLoseNoValue) {
  constexpr int kProcesses = 8, kSaves = 50;
  std::vector<Helper> helpers;
  for (int p = 0; p < kProcesses; ++p) {
    helpers.push_back(
        Helper::Start({"save", media_.native(), "p" + std::to_string(p) + "-", std::to_string(kSaves), "64"}));
  }
  std::set<std::string> expected;
  for (auto& helper : helpers) {
    for (std::string const& key : SavedKeys(helper.Output())) expected.insert(key);
    EXPECT_EQ(helper.Wait(), 0);
  }
  EXPECT_EQ(expected.size(), static_cast<std::size_t>(kProcesses * kSaves));
  ExpectHolds(expected);
  // Nothing is left beside the sidecar: no temporary file, no lock file.
  std::set<fs::path> entries;
  for (auto const& entry : fs::directory_iterator(directory_.path())) entries.insert(entry.path().filename());
  EXPECT_EQ(entries, (std::set<fs::path>{"take.wav", "take.qvmi"}));
}

TEST_F(SidecarDataStoreAdaptorProcessTest, AReaderBesideAWriterNeverSeesAnError) {
  Helper seed = Helper::Start({"save", media_.native(), "seed", "1", "4096"});
  seed.Output();
  ASSERT_EQ(seed.Wait(), 0);
  Helper writer = Helper::Start({"save", media_.native(), "w", "100", "20000"});
  Helper reader = Helper::Start({"load", media_.native(), "seed0", "1500"});
  writer.Output();
  reader.Output();
  EXPECT_EQ(writer.Wait(), 0);
  EXPECT_EQ(reader.Wait(), 0);  // it prints its failure, if any, on the test's stderr
}

TEST_F(SidecarDataStoreAdaptorProcessTest, AWriterKilledAsItReplacesTheFileLeavesAWholeOne) {
  constexpr int kKills = 50;
  std::set<std::string> saved;    // what the writers said they saved
  std::set<std::string> present;  // what the file held after the last round: it may only grow
  for (int round = 0; round < kKills; ++round) {
    struct stat before {};
    bool const existed = ::stat(sidecar_.c_str(), &before) == 0;
    std::set<std::string> const stale = Temporaries(directory_.path());  // left by writers killed earlier
    Helper writer = Helper::Start({"save", media_.native(), "r" + std::to_string(round) + "-", "1000", "10000"});
    // Even rounds: kill the moment the sidecar is another file; odd ones: the moment a new temporary file appears.
    for (;;) {
      if (round % 2 == 0) {
        struct stat now {};
        if (::stat(sidecar_.c_str(), &now) == 0 && (!existed || now.st_ino != before.st_ino)) break;
      } else if (Temporaries(directory_.path()) != stale) {
        break;
      }
      if (::waitpid(writer.pid, nullptr, WNOHANG) != 0) break;  // it should not end by itself; the checks say so
    }
    ::kill(writer.pid, SIGKILL);
    for (std::string const& key : SavedKeys(writer.Output())) saved.insert(key);
    EXPECT_EQ(writer.Wait(), 128 + SIGKILL) << "round " << round;
    if (!fs::exists(sidecar_) || fs::file_size(sidecar_) == 0) {
      EXPECT_TRUE(present.empty()) << "round " << round << ": the sidecar is gone";
      continue;
    }
    auto const data = serialization::DeserializeDataStoreFromBinary(SidecarFile::Read(sidecar_));
    std::set<std::string> now;
    for (auto const& [key, item] : data->items) {
      for (auto const& [valueKey, blob] : item.values) now.insert(valueKey.substr(valueKey.rfind("__") + 2));
    }
    EXPECT_TRUE(std::includes(now.begin(), now.end(), present.begin(), present.end())) << "round " << round;
    EXPECT_TRUE(std::includes(now.begin(), now.end(), saved.begin(), saved.end())) << "round " << round;
    present = std::move(now);
    if (HasFailure()) return;
  }
  ExpectHolds(present);
  // Every save of one sidecar uses one temporary name, so fifty killed writers leave one file behind, not fifty.
  EXPECT_LE(Temporaries(directory_.path()).size(), 1u);
  // Most even rounds kill a writer just after its first save replaced the file, so that save's value is there.
  EXPECT_GE(present.size(), static_cast<std::size_t>(kKills / 4));
}

// A full disk, had through a file-size limit on the writer (no root needed), and through a small tmpfs where the
// test may mount one: the save fails with the store's write error and the old file stays byte for byte.
TEST_F(SidecarDataStoreAdaptorProcessTest, AFullDiskKeepsTheOldFileByteForByte) {
  Helper first = Helper::Start({"save", media_.native(), "old", "3", "20000"});
  first.Output();
  ASSERT_EQ(first.Wait(), 0);
  std::string const old = ReadFile(sidecar_);

  Helper full =
      Helper::Start({"--fsize", std::to_string(old.size() + 1000), "save", media_.native(), "new", "1", "20000"});
  EXPECT_THAT(full.Output(), testing::Not(testing::HasSubstr("saved")));
  EXPECT_EQ(full.Wait(), 3);
  EXPECT_EQ(ReadFile(sidecar_), old);
  EXPECT_FALSE(HasTemporary(directory_.path()));
  ExpectHolds({"old0", "old1", "old2"});

  fs::path const mount = directory_ / "tmpfs";
  fs::create_directory(mount);
  if (::mount("quillan-test", mount.c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "no tmpfs can be mounted here (not root?); the file-size limit stood in for it";
  }
  struct Unmount {
    fs::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } const unmount{mount};
  std::ofstream(mount / "take.wav") << "the media's content";
  Helper fill = Helper::Start({"save", (mount / "take.wav").native(), "fill", "3", "30000"});
  fill.Output();
  ASSERT_EQ(fill.Wait(), 0);
  std::string const filled = ReadFile(mount / "take.qvmi");
  Helper overflow = Helper::Start({"save", (mount / "take.wav").native(), "big", "1", "120000"});
  overflow.Output();
  EXPECT_EQ(overflow.Wait(), 3);
  EXPECT_EQ(ReadFile(mount / "take.qvmi"), filled);
  EXPECT_FALSE(HasTemporary(mount));
}

}  // namespace
}  // namespace Quillan
