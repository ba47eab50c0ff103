#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <vector>

#include "MediaCacheTestUtils.h"
#include "Platform/MF/Helper/SmallVolume.h"

extern char** environ;

namespace MF::testing {
namespace {

// The helper program, running with its standard output on a pipe.
class HelperProcess {
 public:
  explicit HelperProcess(std::vector<std::string> arguments) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe failed";
      return;
    }
    arguments.insert(arguments.begin(), MF_TEST_HELPER_PATH);
    std::vector<char*> argv;
    for (std::string& each : arguments) argv.push_back(each.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    int const error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    output_ = pipeFds[0];
    if (error != 0) {
      ADD_FAILURE() << "cannot start " << argv[0];
      pid_ = -1;
    }
  }
  ~HelperProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
    if (output_ >= 0) close(output_);
  }

  // The next line of output; empty at its end or after the wait limit.
  std::string ReadLine() {
    auto const deadline = std::chrono::steady_clock::now() + kWaitLimit;
    for (;;) {
      if (auto const end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      auto const left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd ready{output_, POLLIN, 0};
      if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return {};
      char chunk[256];
      ssize_t const count = read(output_, chunk, sizeof chunk);
      if (count <= 0) return {};
      buffer_.append(chunk, static_cast<std::size_t>(count));
    }
  }

  void Kill() { kill(pid_, SIGKILL); }

  // The wait status.
  int Wait() {
    int status = 0;
    if (pid_ > 0) waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string buffer_;
};

TEST(MediaCacheProcessesTest, TwoProcessesShareOneFolder) {
  TempFolder folder;
  std::string const count = "150";
  // Each writes its own items and meanwhile reads and checks the other's.
  HelperProcess first({"share", folder.path().string(), "first", "second", count});
  HelperProcess second({"share", folder.path().string(), "second", "first", count});
  for (HelperProcess* each : {&first, &second}) {
    std::string const report = each->ReadLine();
    int const status = each->Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;
    EXPECT_EQ(report.rfind("ok ", 0), 0u) << report;
  }

  // Every item of both is there and intact, seen from a third process.
  OpenedDisk check = OpenDisk(NameOf(folder.path()));
  EXPECT_EQ(check.directory->GetItemCount(), 300u);
  for (std::string owner : {"first", "second"}) {
    for (std::uint64_t i = 0; i < 150; ++i) {
      EXPECT_TRUE(MatchesPattern(LookUp(*check.cache, owner, PatternName(i)).blob, owner, i)) << owner << i;
    }
  }
}

TEST(MediaCacheProcessesTest, WriterKilledMidBatchLeavesEveryCommittedItemIntact) {
  TempFolder folder;
  HelperProcess child({"write", folder.path().string(), "victim"});
  // Let it commit a few batches, then kill it while it writes the next one.
  std::uint64_t committed = 0;
  for (int batches = 0; batches < 3; ++batches) {
    std::string const line = child.ReadLine();
    ASSERT_EQ(line.rfind("committed ", 0), 0u) << "helper said \"" << line << "\"";
    committed = std::stoull(line.substr(10));
  }
  child.Kill();
  int const status = child.Wait();
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

  OpenedDisk disk = OpenDisk(NameOf(folder.path()));
  std::uint64_t const stored = disk.directory->GetItemCount();
  EXPECT_GE(stored, committed);
  std::uint64_t found = 0;
  // The child may have committed more than it reported, never more than a few batches beyond.
  for (std::uint64_t i = 0; i < committed + 2000; ++i) {
    LookUpResult const item = LookUp(*disk.cache, "victim", PatternName(i));
    if (i < committed) {
      ASSERT_EQ(item.code, kResultItemAvailable) << i;
    }
    if (item.code != kResultItemAvailable) continue;
    ASSERT_TRUE(MatchesPattern(item.blob, "victim", i)) << i;
    ++found;
  }
  EXPECT_EQ(found, stored);

  // And it goes on working.
  ASSERT_TRUE(WaitForSuccess(disk.cache->PutItem(ImmutableString::Create("after"), ImmutableString::Create("x"),
                                                 MakePatternBlob("after", 1), false)));
  EXPECT_EQ(disk.directory->GetItemCount(), stored + 1);
}

// Puts `count` pattern items of `owner` and waits until they are on disk.
void PutItems(DataCache& cache, std::string const& owner, std::uint64_t count) {
  for (std::uint64_t i = 0; i < count; ++i) {
    cache.PutItem(ImmutableString::Create(owner), ImmutableString::Create(PatternName(i)), MakePatternBlob(owner, i),
                  false);
  }
  ASSERT_TRUE(WaitForSuccess(cache.Flush()));
}

zelcore::config::Result BusyResultOf(std::function<void()> const& call) {
  try {
    call();
  } catch (zelcore::config::zel_exception const& e) {
    return e.GetResult();
  }
  return 0;
}

TEST(MediaCacheProcessesTest, ClearAndPruneWaitForAnotherProcessWritingAndRemoveNothingWhenItHoldsOn) {
  TempFolder folder;
  OpenedDisk disk = OpenDisk(NameOf(folder.path()));
  PutItems(*disk.cache, "mine", 20);
  std::filesystem::path const release = folder / "release";
  HelperProcess writer({"hold-write", folder.path().string(), release.string()});
  ASSERT_EQ(writer.ReadLine(), "holding");

  // The other process is mid-write: neither waits it out, and both leave everything as it was.
  constexpr std::chrono::milliseconds kShortWait{200};
  EXPECT_EQ(BusyResultOf([&] { disk.directory->RemoveAllItems(kShortWait); }), Code(kResultCacheBusy));
  EXPECT_EQ(BusyResultOf([&] { disk.directory->PruneItems({std::nullopt, 0}, kShortWait); }), Code(kResultCacheBusy));
  EXPECT_EQ(disk.directory->GetStatistics().items, 20u);
  for (std::uint64_t i = 0; i < 20; ++i)
    EXPECT_TRUE(MatchesPattern(LookUp(*disk.cache, "mine", PatternName(i)).blob, "mine", i));

  std::ofstream(release).put('x');
  EXPECT_EQ(writer.ReadLine(), "committed");
  EXPECT_EQ(WEXITSTATUS(writer.Wait()), 0);
  // Its item arrived whole, and a prune by age takes it (it was last used at the epoch) and nothing else.
  EXPECT_EQ(disk.directory->GetStatistics().items, 21u);
  // Read through a cache that records no last use, so the item stays as old as its writer made it.
  OpenedDisk const peek = OpenDisk(NameOf(folder.path()), false);
  LookUpResult const pending = LookUp(*peek.cache, "other", "pending");
  ASSERT_EQ(pending.code, kResultItemAvailable);
  EXPECT_EQ(std::string(reinterpret_cast<char const*>(pending.blob->data()), pending.blob->size()), "pending");
  DiskCacheRemoval const removal = disk.directory->PruneItems({std::chrono::hours(24), std::nullopt});
  EXPECT_EQ(removal.items, 1u);
  EXPECT_EQ(removal.usedBytes, 7u + 5 + 7 + 128);
  EXPECT_EQ(disk.directory->GetStatistics().items, 20u);
}

TEST(MediaCacheProcessesTest, ClearLeavesAnotherProcessReadingItsSnapshotAndReturnsTheSpaceOnceItEnds) {
  TempFolder folder;
  OpenedDisk disk = OpenDisk(NameOf(folder.path()));
  PutItems(*disk.cache, "read", 100);
  std::uint64_t bytes = 0;
  for (std::uint64_t i = 0; i < 100; ++i) bytes += PatternSize("read", i);
  std::filesystem::path const release = folder / "release";
  HelperProcess reader({"hold-read", folder.path().string(), release.string()});
  ASSERT_EQ(reader.ReadLine(), "reading 100");

  // Readers do not stop the clear, only the return of the space while they read.
  DiskCacheRemoval const first = disk.directory->RemoveAllItems(std::chrono::milliseconds(200));
  EXPECT_EQ(first.items, 100u);
  EXPECT_FALSE(first.spaceReturned);
  EXPECT_EQ(disk.directory->GetStatistics().items, 0u);

  std::ofstream(release).put('x');
  EXPECT_EQ(reader.ReadLine(), "read 100 " + std::to_string(bytes));
  EXPECT_EQ(WEXITSTATUS(reader.Wait()), 0);
  DiskCacheRemoval const second = disk.directory->RemoveAllItems();
  EXPECT_EQ(second.items, 0u);
  EXPECT_TRUE(second.spaceReturned);
  EXPECT_LT(second.fileBytesAfter, first.fileBytesBefore / 5);
}

// On a volume another file has filled to the last byte, a clear cannot run in SQLite and deletes the database's files
// instead; never while another process has the cache open, which goes on reading its items unharmed.
TEST(MediaCacheProcessesTest, AClearOnAFullVolumeDeletesTheFilesOnlyOnceNoOtherProcessHasThemOpen) {
  TempFolder folder;
  testsupport::SmallVolume volume(folder / "volume", 8 << 20);
  if (!volume.Mounted()) GTEST_SKIP() << volume.Why();
  std::filesystem::path const cacheFolder = volume.path() / "cache";
  OpenedDisk disk = OpenDisk(NameOf(cacheFolder));
  disk.directory->GetManagedVolume()->SetFreeSpaceBytes(std::nullopt);
  disk.directory->GetManagedVolume()->SetFreeSpacePercentage(std::nullopt);
  PutItems(*disk.cache, "mine", 30);
  ASSERT_TRUE(volume.Fill("filler"));

  std::filesystem::path const release = folder / "release";
  HelperProcess reader({"hold-open", cacheFolder.string(), "mine", "30", release.string()});
  ASSERT_EQ(reader.ReadLine(), "open 30");
  EXPECT_EQ(BusyResultOf([&] { disk.directory->RemoveAllItems(std::chrono::milliseconds(200)); }),
            Code(kResultCacheBusy));
  EXPECT_EQ(disk.directory->GetStatistics().items, 30u);
  std::ofstream(release).put('x');
  EXPECT_EQ(reader.ReadLine(), "read 30");
  EXPECT_EQ(WEXITSTATUS(reader.Wait()), 0);

  DiskCacheRemoval const removal = disk.directory->RemoveAllItems();
  EXPECT_TRUE(removal.filesDeleted);
  EXPECT_EQ(removal.items, 30u);
  EXPECT_GT(volume.Available(), 150'000u);
  EXPECT_EQ(disk.directory->GetStatistics().items, 0u);
}

}  // namespace
}  // namespace MF::testing
