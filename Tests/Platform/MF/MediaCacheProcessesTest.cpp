#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "MediaCacheTestUtils.h"

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

}  // namespace
}  // namespace MF::testing
