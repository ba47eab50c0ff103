#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

namespace testsupport {

// Runs `command` through the shell and returns what it printed on stdout and stderr; a command that cannot run or
// fails is a test failure.
inline std::string RunCommand(std::string const& command) {
  std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) {
    ADD_FAILURE() << "cannot run " << command;
    return {};
  }
  std::string output;
  char buffer[4096];
  while (std::size_t const got = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, got);
  int const status = ::pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << "\n" << output;
  return output;
}

// Runs the ffmpeg command-line tool (the reference the analyzers are held against, and the maker of test media) and
// returns what it printed, its filters' logs among it.
inline std::string Ffmpeg(std::string const& arguments) {
  return RunCommand("ffmpeg -hide_banner -nostdin -y " + arguments);
}

// The numbers that follow `label` in ffmpeg's log, in order.
inline std::vector<double> Logged(std::string const& log, std::string const& label) {
  std::vector<double> values;
  std::regex const pattern(label + R"(\s*(-?[0-9.]+))");
  for (std::sregex_iterator it(log.begin(), log.end(), pattern), end; it != end; ++it) {
    values.push_back(std::stod((*it)[1]));
  }
  return values;
}

}  // namespace testsupport
