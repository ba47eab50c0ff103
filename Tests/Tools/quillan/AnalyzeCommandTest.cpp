#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "Support/SineWave.h"
#include "Support/TempDirectory.h"
#include "ToolProcess.h"

namespace Quillan::Cli {
namespace {

using testsupport::WriteSine;

using AnalyzeCommandTest = ToolFolderTest;

TEST_F(AnalyzeCommandTest, ComputesThenServesTheSecondRunFromTheSidecar) {
  WriteSine(dir / "tone.wav", 0.1);
  std::vector<std::string_view> const names = Examples::GetExampleAnalyzerNames();
  // Only type-0 analyzers run unasked; the module's type-7 one does not.
  auto const first = Analyze({"--plugin", QUILLAN_TYPE_SEVEN_MODULE_PATH, File("tone.wav")});
  ASSERT_EQ(first.size(), names.size());
  ASSERT_TRUE(std::filesystem::exists(dir / "tone.qvmi"));
  // A sidecar named among the media (a glob such as dir/* does) is skipped: it would be its own sidecar.
  auto const second = Analyze({File("tone.wav"), File("tone.qvmi")});
  ASSERT_EQ(second.size(), names.size());
  std::string const tone = " " + File("tone.wav");
  for (std::string_view const name : names) {
    SCOPED_TRACE(name);
    Json const& computed = first.at(std::string(name) + tone);
    Json const& cached = second.at(std::string(name) + tone);
    if (ReadsPictures(name)) {  // a sound has no pictures: nothing computed, nothing stored
      EXPECT_EQ(computed["status"], "not applicable");
      EXPECT_EQ(cached["status"], "not applicable");
      continue;
    }
    EXPECT_EQ(computed["status"], "computed");
    EXPECT_EQ(cached["status"], "cached");
    EXPECT_EQ(computed["analyzerId"], IdOf(name));
    EXPECT_EQ(computed["contentState"].get<std::string>().size(), 36u);
    EXPECT_EQ(cached["contentState"], computed["contentState"]);
    EXPECT_EQ(cached["result"], computed["result"]);
    EXPECT_EQ(cached["result"]["name"], std::string(name));
  }
  // The debug switch of the command line makes every load miss.
  ToolRun const ignoring = Quillan(
      {"--debug", "ZELSE.IgnoreAnalyzerCache=true", "analyze", "--json", "--analyzer", "digest", File("tone.wav")});
  EXPECT_EQ(Json::parse(ignoring.out)["results"].at(0)["status"], "computed");
  EXPECT_EQ(first.at("peaks" + tone)["result"]["fields"]["peakCount"], 188);  // 48000 frames in runs of 256

  // A parameter keys its own result; a bad one fails without caching anything. A file that cannot be read, that is
  // not media, or that no analyzer can read (a damaged one) is one row whatever the number of analyzers; its name need
  // not be UTF-8 nor printable, and the JSON stays valid all the same.
  testsupport::WriteFile(dir / "text.wav", std::string("not a sound"));
  testsupport::WriteFile(dir / "damaged.wav", std::string("RIFF\x40\0\0\0WAVEdata\x10\0\0\0abcdefghijklmnop", 36));
  auto const mixed = Analyze({"--param", "peaks=100", File("tone.wav"), File("text.wav"), File("missing.wav"),
                              File("odd\xff\n\".wav"), File("damaged.wav")},
                             1);
  EXPECT_EQ(mixed.size(), names.size() + 4);
  Json const& damaged = mixed.at("- " + File("damaged.wav"));
  EXPECT_EQ(damaged["status"], "failed");
  EXPECT_EQ(damaged["resultCode"], "0xa0000003");
  EXPECT_NE(damaged["message"].get<std::string>().find("damaged: FFmpeg cannot read it"), std::string::npos)
      << damaged["message"];
  Json const& odd = mixed.at("- " + File("odd\xef\xbf\xbd\n\".wav"));
  EXPECT_EQ(odd["status"], "failed");
  EXPECT_NE(odd["message"].get<std::string>().find("odd\xef\xbf\xbd\n\".wav"), std::string::npos);
  EXPECT_EQ(mixed.at("peaks" + tone)["status"], "computed");
  EXPECT_EQ(mixed.at("peaks" + tone)["parameter"], "100");
  EXPECT_EQ(mixed.at("peaks" + tone)["result"]["fields"]["peakCount"], 480);
  EXPECT_EQ(mixed.at("digest" + tone)["status"], "cached");
  Json const& missing = mixed.at("- " + File("missing.wav"));
  EXPECT_EQ(missing["status"], "failed");
  EXPECT_EQ(missing["resultCode"], "0xa0000003");
  EXPECT_NE(missing["message"].get<std::string>().find(File("missing.wav")), std::string::npos);
  EXPECT_NE(missing["message"].get<std::string>().find("No such file"), std::string::npos);
  EXPECT_EQ(mixed.at("- " + File("text.wav"))["status"], "skipped");
  EXPECT_EQ(mixed.at("- " + File("text.wav"))["message"], "not a media file");
  auto const zero = Analyze({"--analyzer", "peaks", "--param", "peaks=0", File("tone.wav")}, 1);
  EXPECT_EQ(zero.at("peaks" + tone)["resultCode"], "0xa00f000e");
  EXPECT_FALSE(std::filesystem::exists(dir / "text.qvmi"));
}

TEST_F(AnalyzeCommandTest, EverySpellingOfAParameterIsOneComputation) {
  WriteSine(dir / "tone.wav", 0.1);
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

// Writes `bytes` at `offset` and gives the file back its modification time, as a tool that keeps times would.
void PatchKeepingTime(std::filesystem::path const& path, std::size_t offset, std::string const& bytes) {
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  std::string content = testsupport::ReadFile(path);
  ASSERT_LE(offset + bytes.size(), content.size());
  content.replace(offset, bytes.size(), bytes);
  int const fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, content.data(), content.size(), 0), static_cast<ssize_t>(content.size()));
  ::close(fd);
  struct timespec const times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST_F(AnalyzeCommandTest, AnyEditIsRecomputedAndAByteIdenticalCopySharesItsResults) {
  testsupport::WriteNoiseWav(dir / "clip.wav", 1'000'000, 9);
  WriteSine(dir / "tone.wav", 0.1, 10);
  std::string const clip = File("clip.wav");
  std::string const tone = File("tone.wav");
  auto const first = Analyze({"--analyzer", "digest", "--analyzer", "peaks", clip, tone});
  // Four bytes far from the start, middle and end of the clip; full-scale samples from 1.5 s to 2.5 s of the tone.
  PatchKeepingTime(dir / "clip.wav", 100'000, "\x01\x02\x03\x04");
  std::string const wave = testsupport::ReadFile(dir / "tone.wav");
  std::size_t const samples = wave.find("data") + 8 + 3 * 48000 / 2 * 8;
  std::string fullScale;
  for (int i = 0; i < 2 * 48000; ++i) fullScale += std::string("\x00\x00\x80\x3f", 4);  // 1.0f, little-endian
  PatchKeepingTime(dir / "tone.wav", samples, fullScale);

  auto const second = Analyze({"--analyzer", "digest", "--analyzer", "peaks", clip, tone});
  for (std::string const& job : {"digest " + clip, "digest " + tone, "peaks " + tone}) {
    SCOPED_TRACE(job);
    EXPECT_EQ(second.at(job)["status"], "computed");
    EXPECT_NE(second.at(job)["contentState"], first.at(job)["contentState"]);
  }
  EXPECT_NE(second.at("digest " + clip)["result"]["fields"]["sha256"],
            first.at("digest " + clip)["result"]["fields"]["sha256"]);
  EXPECT_NEAR(first.at("peaks " + tone)["result"]["fields"]["maxPeak"].at(0).get<double>(), 0.1, 1e-3);
  EXPECT_EQ(second.at("peaks " + tone)["result"]["fields"]["maxPeak"].at(0).get<double>(), 1.0);

  // A copy is the same content: the managed cache, keyed by content, serves it.
  testsupport::WriteNoiseWav(dir / "fresh.wav", 300'000, 10);
  Analyze({"--cache-location", "managed", "--analyzer", "digest", File("fresh.wav")});
  std::filesystem::copy_file(dir / "fresh.wav", dir / "copy.wav");
  auto const copy = Analyze({"--cache-location", "managed", "--analyzer", "digest", File("copy.wav")});
  EXPECT_EQ(copy.at("digest " + File("copy.wav"))["status"], "cached");
  EXPECT_FALSE(std::filesystem::exists(dir / "copy.qvmi"));
}

// File names are bytes: Latin-1 bytes, Cyrillic and emoji work in the C locale, each with its own sidecar; a name
// that cannot be shown prints with U+FFFD; a file that cannot be read fails its own row only.
TEST_F(AnalyzeCommandTest, FileNamesOfAnyBytesWorkInTheCLocale) {
  std::string const names[] = {"caf\xe9", "\xd0\xb7\xd0\xb2\xd1\x83\xd0\xba", "\xf0\x9f\x8e\xb5"};
  std::vector<std::string> arguments = {"--cache-location", "sidecar", "--analyzer", "digest", File("missing.wav")};
  for (std::string const& name : names) {
    WriteSine(dir / (name + ".wav"), 0.1);
    arguments.push_back(File(name + ".wav"));
  }
  for (char const* expected : {"computed", "cached"}) {
    auto const results = Analyze(arguments, 1);
    ASSERT_EQ(results.size(), 4u);
    for (auto const& [label, result] : results) {
      bool const missing = label.find("missing.wav") != std::string::npos;
      EXPECT_EQ(result["status"], missing ? "failed" : expected) << label;
    }
    // JSON carries the name with U+FFFD in place of the byte it cannot hold.
    EXPECT_TRUE(results.contains("digest " + File("caf\xef\xbf\xbd.wav")));
  }
  for (std::string const& name : names) EXPECT_TRUE(std::filesystem::is_regular_file(dir / (name + ".qvmi"))) << name;
  // The table shows it the same way.
  ToolRun const table = Quillan({"analyze", "--no-progress", "--analyzer", "digest", File(names[0] + ".wav")});
  EXPECT_EQ(table.exitCode, 0) << table.err;
  EXPECT_NE(table.out.find("caf\xef\xbf\xbd.wav"), std::string::npos) << table.out;
}

// Inputs that stand for something else get no sidecar: /dev/stdin (here a regular file behind it) and devices.
TEST_F(AnalyzeCommandTest, StandardInputAndDevicesGetNoSidecar) {
  WriteSine(dir / "tone.wav", 0.1);
  ToolRun const run =
      Quillan({"analyze", "--json", "--analyzer", "digest", "/dev/stdin", "/dev/null"}, {}, File("tone.wav"));
  EXPECT_EQ(run.exitCode, 1) << run.err;
  auto const results = Json::parse(run.out)["results"];
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0]["status"], "computed");
  EXPECT_EQ(results[1]["status"], "failed");
  EXPECT_FALSE(std::filesystem::exists("/dev/stdin.qvmi"));
  EXPECT_FALSE(std::filesystem::exists("/dev/null.qvmi"));
  EXPECT_EQ(run.err.find("could not be saved"), std::string::npos) << run.err;
}

TEST_F(AnalyzeCommandTest, InterruptCancelsRunningJobsAndLeavesNoBrokenSidecar) {
  WriteSine(dir / "tone.wav", 0.5);
  // Sixteen GiB of silence that take no disk space: digesting them takes minutes, so the run is surely interrupted.
  // An AU file: its header says "to the end of the file", and nothing behind it is scanned as it opens.
  std::filesystem::path const huge = dir / "huge.au";
  testsupport::WriteFile(huge, std::string(".snd\0\0\0\x18\xff\xff\xff\xff\0\0\0\x03\0\0\xbb\x80\0\0\0\x02", 24));
  std::filesystem::resize_file(huge, std::uintmax_t{16} << 30);
  struct stat status {};
  ASSERT_EQ(stat(huge.c_str(), &status), 0);
  if (status.st_blocks > 4096) GTEST_SKIP() << "the temporary folder does not keep sparse files";
  std::filesystem::create_hard_link(huge, dir / "huge2.au");

  // SIGTERM and SIGHUP are handled as SIGINT is, each with its own exit code. Two at a time, smallest first: the
  // tone ends first, the first huge file is running when the signal comes, the second may not have started.
  for (int const signal : {SIGINT, SIGTERM, SIGHUP}) {
    std::filesystem::remove(dir / "tone.qvmi");
    bool signalled = false;
    ToolRun const run = Quillan({"analyze", "--format", "ndjson", "-j", "2", "--analyzer", "digest", huge.string(),
                                 File("huge2.au"), File("tone.wav")},
                                [&](int stream, std::string const& line, pid_t pid) {
                                  if (!signalled && stream == 1 && line.find("tone.wav") != std::string::npos) {
                                    signalled = kill(pid, signal) == 0;
                                  }
                                });
    ASSERT_TRUE(signalled) << run.err;
    EXPECT_EQ(run.exitCode, 128 + signal) << run.err;
    std::vector<Json> const lines = NdjsonLines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[0]["status"], "computed");
    for (std::size_t i : {1, 2}) {
      EXPECT_EQ(lines[i]["status"], "failed") << run.out;
      EXPECT_EQ(lines[i]["resultCode"], "0xa00f0007");
      EXPECT_EQ(lines[i]["message"], "cancelled");  // the same word, whoever noticed first
    }
    // One message, however many jobs it cancels.
    EXPECT_EQ(run.err, "quillan: interrupted; cancelling the running jobs\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "huge.qvmi"));
    EXPECT_EQ(Quillan({"sidecar", "verify", File("tone.qvmi")}).exitCode, 0);
  }
}

// What the tool writes to stderr when that is a terminal of `columns` columns with TERM=`term`; stdout goes nowhere.
std::string StderrOnTerminal(std::vector<std::string> const& arguments, std::string const& term,
                             unsigned short columns) {
  int master = -1, slave = -1;
  winsize size{};
  size.ws_row = 24;
  size.ws_col = columns;
  if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
    ADD_FAILURE() << "openpty failed";
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, slave, 2);
  posix_spawn_file_actions_addclose(&actions, master);
  pid_t const pid =
      SpawnTool(arguments, actions,
                [](std::string_view name) { return name.starts_with("TERM=") || name.starts_with("COLUMNS="); },
                {"TERM=" + term});
  posix_spawn_file_actions_destroy(&actions);
  close(slave);
  std::string text;
  if (pid != 0) {
    char buffer[4096];
    // EIO once the tool has ended and the terminal's last writer is gone.
    for (ssize_t got; (got = read(master, buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<std::size_t>(got));
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
  } else {
    ADD_FAILURE() << "cannot start " << QUILLAN_TOOL_PATH;
  }
  close(master);
  return text;
}

// Bars go to a terminal only: not to a pipe, not to a dumb terminal; on a real one no line reaches its last column.
TEST_F(AnalyzeCommandTest, ProgressIsDrawnOnlyOnATerminalAndFitsIt) {
  WriteSine(dir / "tone.wav", 0.1, 8);
  std::vector<std::string> const arguments = {"--cache-dir",  (dir / "cache").string(),
                                              "--config-dir", Config().string(),
                                              "analyze",      "--cache-location",
                                              "read-only",    "-a",
                                              "loudness",     "-a",
                                              "beats",        File("tone.wav")};
  ToolRun const piped = RunTool(arguments);
  EXPECT_EQ(piped.exitCode, 0) << piped.err;
  EXPECT_EQ(piped.err, "");
  EXPECT_NE(piped.out.find("LUFS"), std::string::npos) << piped.out;

  EXPECT_EQ(StderrOnTerminal(arguments, "dumb", 80), "");
  for (unsigned short const columns : {80, 24}) {
    SCOPED_TRACE(columns);
    std::string const drawn = StderrOnTerminal(arguments, "xterm", columns);
    EXPECT_NE(drawn.find("\x1b[J"), std::string::npos) << drawn;  // bars drawn, then erased
    EXPECT_NE(drawn.find("of 2 done"), std::string::npos) << drawn;
    // Every line, without its escape sequences, leaves the last column free.
    std::string plain;
    for (std::size_t at = 0; at < drawn.size(); ++at) {
      if (drawn[at] == '\x1b') {
        while (at < drawn.size() && !std::isalpha(static_cast<unsigned char>(drawn[at]))) ++at;
      } else if (drawn[at] != '\r') {
        plain += drawn[at];
      }
    }
    std::istringstream lines(plain);
    for (std::string line; std::getline(lines, line);) EXPECT_LT(line.size(), columns) << line;
  }
}

}  // namespace
}  // namespace Quillan::Cli
