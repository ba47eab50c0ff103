#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "Support/SineWave.h"
#include "Support/TempDirectory.h"
#include "Tools/ForeignMedia.h"

#ifndef __has_feature  // GCC names its sanitizers with macros instead
#define __has_feature(feature) 0
#endif

extern char** environ;

namespace Quillan::Cli {
namespace {

// Counts the opens and reads of one file, by any process, from the watch's start.
class OpenWatch {
 public:
  explicit OpenWatch(std::filesystem::path const& file) : descriptor_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    EXPECT_GE(inotify_add_watch(descriptor_, file.c_str(), IN_OPEN | IN_ACCESS), 0) << file;
  }
  ~OpenWatch() { close(descriptor_); }

  // The opens and reads since the last call.
  int Count() {
    int count = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t got; (got = read(descriptor_, buffer, sizeof buffer)) > 0;) {
      for (char const* at = buffer; at < buffer + got;) {
        auto const* event = reinterpret_cast<inotify_event const*>(at);
        ++count;
        at += sizeof(inotify_event) + event->len;
      }
    }
    return count;
  }

 private:
  int descriptor_;
};

struct LimitedRun {
  int exitCode = -1;
  std::string out;
  std::string err;
  long maxResidentKb = 0;
};

// Runs the built tool in `folder` with its address space limited to `addressSpace` bytes and its settings and caches
// in the folder, and measures the most memory it held.
LimitedRun RunToolIn(std::filesystem::path const& folder, std::vector<std::string> arguments,
                     rlim_t addressSpace = RLIM_INFINITY) {
  arguments.insert(arguments.begin(), {QUILLAN_TOOL_PATH, "--cache-dir", (folder / ".cache").string(), "--config-dir",
                                       (folder / ".config").string()});
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  // One malloc arena per thread would reserve address space for nothing but the number of processors.
  std::vector<std::string> environment{"MALLOC_ARENA_MAX=2"};
  for (char** variable = environ; *variable != nullptr; ++variable) environment.emplace_back(*variable);
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::string const out = (folder / ".out").string();
  std::string const err = (folder / ".err").string();
  pid_t const pid = fork();
  if (pid == 0) {
    rlimit const space{addressSpace, addressSpace};
    rlimit const cpu{60, 60};  // a reader that loops is stopped, not waited for
    int const outFile = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int const errFile = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (chdir(folder.c_str()) != 0 || setrlimit(RLIMIT_AS, &space) != 0 || setrlimit(RLIMIT_CPU, &cpu) != 0 ||
        outFile < 0 || errFile < 0 || dup2(outFile, 1) < 0 || dup2(errFile, 2) < 0) {
      _exit(127);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  LimitedRun run;
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
    ADD_FAILURE() << "cannot run " << QUILLAN_TOOL_PATH;
    return run;
  }
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = testsupport::ReadFile(out);
  run.err = testsupport::ReadFile(err);
  run.maxResidentKb = usage.ru_maxrss;
  return run;
}

bool Has(std::string const& text, std::string const& part) { return text.find(part) != std::string::npos; }

// The first line of `text` that holds `part`; empty when none does.
std::string LineWith(std::string const& text, std::string const& part) {
  std::size_t const at = text.find(part);
  if (at == std::string::npos) return {};
  std::size_t const start = text.rfind('\n', at);
  std::size_t const first = start == std::string::npos ? 0 : start + 1;
  return text.substr(first, text.find('\n', at) - first);
}

TEST(SelfContainedMediaTest, FilesReferringToOtherFilesAreRefusedWithoutOpeningThem) {
  testsupport::TempDirectory dir;
  testsupport::WriteSine(dir / "a.wav", 0.5);
  std::vector<std::filesystem::path> const referring = testsupport::media::WriteFilesReferringTo(dir.path(), "a.wav");
  // A name that FFmpeg would take for a URL is a plain file name: this file holds 3 s of its own.
  testsupport::WriteSine(dir / "concat:a.wav|a.wav", 0.5, 3);
  OpenWatch watch(dir / "a.wav");

  LimitedRun const analysed = RunToolIn(dir.path(), {"analyze", "-a", "peaks", "--cache-location", "read-only",
                                                     "list.m3u8", "list.ffconcat", "concat:a.wav|a.wav"});
  EXPECT_EQ(analysed.exitCode, 1) << analysed.err;
  for (char const* reason : {"list.m3u8: it refers to other files (an HLS playlist); only self-contained media",
                             "list.ffconcat: it refers to other files (a concatenation script)"}) {
    EXPECT_TRUE(Has(analysed.out, reason)) << reason << "\n" << analysed.out;
  }
  std::string const named = LineWith(analysed.out, "concat:a.wav|a.wav ");
  EXPECT_TRUE(Has(named, "computed") && Has(named, "563 peaks")) << analysed.out;
  LimitedRun const missing = RunToolIn(dir.path(), {"analyze", "-a", "peaks", "concat:b.wav|a.wav"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_TRUE(Has(missing.out + missing.err, "No such file or directory")) << missing.out << missing.err;
  for (std::filesystem::path const& file : referring) {
    SCOPED_TRACE(file);
    LimitedRun const waveform = RunToolIn(dir.path(), {"waveform", file.string(), "-o", (dir / "w.png").string()});
    EXPECT_EQ(waveform.exitCode, 1);
    EXPECT_TRUE(Has(waveform.err, "refers to other files")) << waveform.err;
    LimitedRun const scenes = RunToolIn(dir.path(), {"scenes", file.string(), "-o", (dir / "s.png").string()});
    EXPECT_EQ(scenes.exitCode, 1);
    EXPECT_TRUE(Has(scenes.err, "refers to other files")) << scenes.err;
    // The tool's duration probe opens files the same way.
    EXPECT_FALSE(Examples::MediaDurationSeconds(file));
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "w.png"));
  EXPECT_FALSE(std::filesystem::exists(dir / "s.png"));
  EXPECT_EQ(watch.Count(), 0);

  // The watch does see a reader that opens the file.
  std::optional<double> const seconds = Examples::MediaDurationSeconds(dir / "a.wav");
  ASSERT_TRUE(seconds);
  EXPECT_DOUBLE_EQ(*seconds, 1.0);
  EXPECT_GT(watch.Count(), 0);
}

TEST(SelfContainedMediaTest, PicturesLargerThanRealVideoAreRefusedBeforeAnyIsDecoded) {
  testsupport::TempDirectory dir;
  testsupport::media::WriteOversizedMatroska(dir / "huge.mkv");
  // The limit only keeps a reader that believes the header from taking the machine; the measure is what it held.
  // Sanitized builds reserve terabytes of shadow address space and hold freed memory back, so there only the
  // refusals are checked.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || __has_feature(address_sanitizer) || \
    __has_feature(thread_sanitizer)
  rlim_t const addressSpace = RLIM_INFINITY;
  long const enoughKb = LONG_MAX;
#else
  rlim_t const addressSpace = rlim_t{2} << 30;
  long const enoughKb = 300 * 1024;
#endif

  LimitedRun const analysed =
      RunToolIn(dir.path(), {"analyze", "-a", "peaks", "-a", "scenes", "--cache-location", "read-only", "huge.mkv"},
                addressSpace);
  EXPECT_EQ(analysed.exitCode, 1) << analysed.err;
  EXPECT_TRUE(Has(LineWith(analysed.out, " peaks "), "690 peaks")) << analysed.out;
  EXPECT_TRUE(
      Has(LineWith(analysed.out, " scenes "), "huge.mkv: its pictures are 16000x16000, larger than the 8192x8192"))
      << analysed.out;
  EXPECT_LT(analysed.maxResidentKb, enoughKb);

  // The sound alone: no picture is decoded at all, however large it claims to be.
  LimitedRun const waveform = RunToolIn(dir.path(), {"waveform", "huge.mkv", "-o", "w.png"}, addressSpace);
  EXPECT_EQ(waveform.exitCode, 0) << waveform.err;
  EXPECT_TRUE(std::filesystem::exists(dir / "w.png"));
  EXPECT_LT(waveform.maxResidentKb, enoughKb);

  LimitedRun const scenes = RunToolIn(dir.path(), {"scenes", "huge.mkv", "-o", "s.png"}, addressSpace);
  EXPECT_EQ(scenes.exitCode, 1);
  EXPECT_TRUE(Has(scenes.err, "16000x16000, larger than")) << scenes.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "s.png"));
  EXPECT_LT(scenes.maxResidentKb, enoughKb);
}

}  // namespace
}  // namespace Quillan::Cli
