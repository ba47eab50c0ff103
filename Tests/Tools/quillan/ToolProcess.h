#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Analyzers/ExampleAnalyzers.h"
#include "Support/TempDirectory.h"

extern char** environ;

namespace Quillan::Cli {

struct ToolRun {
  int exitCode = -1;  // 128 + the signal when the tool was killed by one
  std::string out;
  std::string err;
};

// Starts the built tool (or the copy of it at `tool`) with `arguments` and the file actions `actions`, in this
// process's environment without the variables that `drop` names (it sees "NAME=value") and with those of `add`. The
// process id; 0 when it cannot start.
inline pid_t SpawnTool(std::vector<std::string> const& arguments, posix_spawn_file_actions_t const& actions,
                       std::function<bool(std::string_view)> const& drop, std::vector<std::string> add,
                       std::string const& tool = QUILLAN_TOOL_PATH) {
  std::vector<char*> argv{const_cast<char*>(tool.c_str())};
  for (std::string const& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> environment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (!drop(*variable)) environment.emplace_back(*variable);
  }
  environment.insert(environment.end(), std::make_move_iterator(add.begin()), std::make_move_iterator(add.end()));
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) return 0;
  return pid;
}

// Runs the built tool with `arguments` (stdin from `input`, /dev/null by default) in the plain C locale, and collects
// what it writes. `onLine` sees each line of stdout (1) and stderr (2) as it comes, with the tool's process id. A tool
// still running after a generous deadline is killed, and the test fails instead of hanging.
inline ToolRun RunTool(std::vector<std::string> const& arguments,
                       std::function<void(int, std::string const&, pid_t)> const& onLine = {},
                       std::string const& input = "/dev/null", std::string const& tool = QUILLAN_TOOL_PATH) {
  ToolRun run;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  // A ThreadSanitizer build would sleep a second at every exit of the tool, looking for races at exit.
  char const* tsanOptions = std::getenv("TSAN_OPTIONS");
  // The C locale, where file names that are not ASCII are hardest: the tool must not depend on a UTF-8 locale.
  pid_t const pid = SpawnTool(
      arguments, actions,
      [](std::string_view name) {
        return name.starts_with("TSAN_OPTIONS=") || name.starts_with("LC_") || name.starts_with("LANG");
      },
      {"LC_ALL=C", std::string("TSAN_OPTIONS=") + (tsanOptions ? tsanOptions : "") + " atexit_sleep_ms=0"}, tool);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (pid == 0) {
    ADD_FAILURE() << "cannot start " << tool;
    close(out[0]);
    close(err[0]);
    return run;
  }

  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* const sinks[2] = {&run.out, &run.err};
  std::size_t linesSeen[2] = {0, 0};
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  for (int open = 2; open > 0;) {
    auto const left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ADD_FAILURE() << "the tool did not end; killed";
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) < 0) continue;  // EINTR
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t const got = read(fds[i].fd, buffer, sizeof buffer);
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      sinks[i]->append(buffer, static_cast<std::size_t>(got));
    }
    for (int i = 0; i < 2 && onLine; ++i) {
      for (std::size_t end; (end = sinks[i]->find('\n', linesSeen[i])) != std::string::npos;) {
        onLine(i + 1, sinks[i]->substr(linesSeen[i], end - linesSeen[i]), pid);
        linesSeen[i] = end + 1;
      }
    }
  }
  for (pollfd const& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // Under a sanitizer build the tool is instrumented too; a report may come with an exit code a test expects.
  EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("runtime error:"), std::string::npos) << run.err;
  return run;
}

using Json = nlohmann::ordered_json;

// Whether the example analyzer `analyzer` reads pictures, and so does not apply to a sound.
inline bool ReadsPictures(std::string_view analyzer) {
  return analyzer == "scenes" || analyzer == "black" || analyzer == "freeze";
}

// What a run of every example analyzer on a sound says for `job` ("analyzer file"): `status`, but the video analyzers
// do not apply.
inline std::string StatusOnASound(std::string const& job, std::string const& status) {
  return ReadsPictures(job.substr(0, job.find(' '))) ? "not applicable" : status;
}

inline std::string IdOf(std::string_view analyzer) { return Examples::FindExampleAnalyzer(analyzer)->AsUTF8String(); }

// Each line of NDJSON text, parsed.
inline std::vector<Json> NdjsonLines(std::string const& text) {
  std::vector<Json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
  return lines;
}

// A test whose tool runs keep their settings and caches in the test's own folder, beside the files it makes there.
class ToolFolderTest : public ::testing::Test {
 protected:
  // The tool with folders of the test's own, which must win over the environment that ctest sets.
  ToolRun Quillan(std::vector<std::string> arguments,
                  std::function<void(int, std::string const&, pid_t)> const& onLine = {},
                  std::string const& input = "/dev/null") {
    arguments.insert(arguments.begin(), {"--cache-dir", (dir / "cache").string(), "--config-dir", Config().string()});
    return RunTool(arguments, onLine, input, tool);
  }
  std::string tool = QUILLAN_TOOL_PATH;  // the tool that Quillan runs
  std::filesystem::path Config() const { return dir / "config"; }
  std::string File(std::string_view name) const { return (dir / name).string(); }

  // The results of `analyze --json`, by "analyzer file" as given; a file that is not analysed (unreadable, or not
  // media) has one row, under "-".
  std::map<std::string, Json> Analyze(std::vector<std::string> arguments, int expectedExit = 0) {
    arguments.insert(arguments.begin(), {"analyze", "--json"});
    ToolRun const run = Quillan(arguments);
    EXPECT_EQ(run.exitCode, expectedExit) << run.err;
    std::map<std::string, Json> results;
    Json const output = Json::parse(run.out);
    for (Json const& result : output["results"]) {
      std::string const analyzer = result["analyzer"].is_string() ? result["analyzer"].get<std::string>() : "-";
      results[analyzer + " " + result["file"].get<std::string>()] = result;
    }
    return results;
  }

  // The items the managed cache holds.
  std::uint64_t ManagedItems() {
    ToolRun const run = Quillan({"cache", "stats", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return Json::parse(run.out)["items"].get<std::uint64_t>();
  }

  testsupport::TempDirectory dir;
};

}  // namespace Quillan::Cli
