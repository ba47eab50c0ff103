#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "Support/TempDirectory.h"
#include "ToolProcess.h"

namespace Quillan::Cli {
namespace {

using HelpAndUsageTest = ToolFolderTest;

// The entries (name, description) of the section of `help` under `heading` ("Options:"): the name in the first 34
// columns, or on a line of its own when it is longer, and the description after it.
std::vector<std::pair<std::string, std::string>> HelpEntries(std::string const& help, std::string const& heading) {
  constexpr std::size_t kColumn = 34;
  auto const trim = [](std::string const& text) {
    std::size_t const first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of(' ') - first + 1);
  };
  std::vector<std::pair<std::string, std::string>> entries;
  std::size_t const at = help.find("\n" + heading + "\n");
  if (at == std::string::npos) return entries;
  std::vector<std::string> lines;
  std::istringstream in(help.substr(at + 1));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  for (std::size_t i = 1; i < lines.size() && !lines[i].empty(); ++i) {
    if (i + 1 < lines.size() && lines[i + 1].starts_with(std::string(kColumn, ' '))) {
      entries.emplace_back(trim(lines[i]), trim(lines[i + 1]));
      ++i;
    } else {
      entries.emplace_back(trim(lines[i].substr(0, kColumn)),
                           trim(lines[i].substr(std::min(kColumn, lines[i].size()))));
    }
  }
  return entries;
}

TEST_F(HelpAndUsageTest, BadArgumentsExitWithCodeTwoAndAUsageLine) {
  testsupport::WriteFile(dir / "media.bin", std::string("media"));
  std::string const media = File("media.bin");
  struct Case {
    std::vector<std::string> arguments;
    char const* message;
  };
  Case const cases[] = {
      {{}, "missing COMMAND"},
      {{"frobnicate"}, "unknown command \"frobnicate\"\n"},
      {{"analyzee", media}, "unknown command \"analyzee\"; did you mean \"analyze\"?"},
      {{"sidecar", "dupm", "x"}, "unknown command \"sidecar dupm\"; did you mean \"dump\"?"},
      {{"sidecar"}, "missing command after \"sidecar\" (dump, get, verify, clean)"},
      {{"help", "cahce"}, "unknown command \"cahce\"; did you mean \"cache\"?"},
      {{"--bogus", "analyzers"}, "unknown option --bogus"},
      {{"--debug", "NOEQUALS", "analyzers"}, "--debug expects KEY=VALUE"},
      {{"analyze"}, "FILE is required"},
      {{"analyze", "--analyzer", "nosuch", media}, "unknown analyzer \"nosuch\" (known: beats, black, digest"},
      {{"analyze", "--analyzer", "digets", media}, "unknown analyzer \"digets\"; did you mean \"digest\"?"},
      {{"analyze", "--formt", "json", media}, "unknown option --formt; did you mean \"--format\"?"},
      {{"analyze", "--analyzer", "00000000-0000-0000-0000-0000000000ff", media}, "no analyzer is registered"},
      {{"analyze", "--param", "peaks", media}, "--param expects NAME=VALUE"},
      {{"analyze", "--analyzer", "digest", "--param", "peaks=4", media}, "not one of the analyzers"},
      {{"analyze", "--cache-location", "nowhere", media}, "cache location must be"},
      {{"analyze", "--format", "xml", media}, "--format: xml not in {csv,json,ndjson,table}"},
      {{"analyze", "-j", "0", media}, "--jobs: Value 0 not in range 1 to 1024"},
      {{"sidecar", "get", File("x.qvmi"), "--analyzer", "zz"}, "unknown analyzer \"zz\""},
      {{"sidecar", "get", File("x.qvmi"), "--key", "k"}, "--analyzer is required"},
      {{"cache", "stats", "extra"}, "unexpected argument extra"},
      {{"config", "set", "cache-location", "sideways"},
       "cache-location cannot be \"sideways\"; allowed values: sidecar, managed, read-only"},
      // A value without a name is for a single run; it is never persisted.
      {{"config", "set", "cache-location", "7"}, "cache-location cannot be \"7\""},
      {{"config", "get", "colour"}, "unknown setting \"colour\""},
  };
  for (Case const& c : cases) {
    std::string joined;
    for (auto const& argument : c.arguments) joined += argument + " ";
    SCOPED_TRACE(joined);
    ToolRun const run = Quillan(c.arguments);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("\nusage: quillan"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  // Nothing was written by any of them.
  EXPECT_FALSE(std::filesystem::exists(dir / "media.qvmi"));
  EXPECT_FALSE(std::filesystem::exists(Config() / "properties"));

  ToolRun const version = RunTool({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_TRUE(version.out.starts_with("quillan ")) << version.out;
}

// Every command that the help lists, and every command under it, has help of its own that describes each option and
// argument, and a section of the man page that names each option; the hidden command stays out of the man page.
TEST_F(HelpAndUsageTest, EveryCommandHasDescribedOptionsAndAManPageSection) {
  std::string const man = testsupport::ReadFile(QUILLAN_MAN_PAGE_PATH);
  EXPECT_TRUE(man.starts_with(".TH QUILLAN 1")) << man.substr(0, 80);
  EXPECT_EQ(man.find("generate"), std::string::npos);
  ToolRun const help = Quillan({"--help"});
  ASSERT_EQ(help.exitCode, 0) << help.err;
  EXPECT_EQ(Quillan({"help"}).out, help.out);
  std::vector<std::string> commands;
  auto const addCommands = [&](std::string const& parent, std::string const& text) {
    for (auto const& [names, description] : HelpEntries(text, "Commands:")) {
      EXPECT_NE(description, "") << names;
      commands.push_back(parent + names.substr(0, names.find(',')));
    }
  };
  addCommands("", help.out);
  ASSERT_GT(commands.size(), 5u) << help.out;
  for (std::size_t i = 0; i < commands.size(); ++i) {
    std::string const command = commands[i];
    SCOPED_TRACE(command);
    std::vector<std::string> arguments = {"help"};
    std::istringstream words(command);
    for (std::string word; words >> word;) arguments.push_back(word);
    ToolRun const own = Quillan(arguments);
    ASSERT_EQ(own.exitCode, 0) << own.err;
    addCommands(command + " ", own.out);

    std::size_t const at = man.find(".SS \"quillan " + command + " [");
    ASSERT_NE(at, std::string::npos);
    std::string const section = man.substr(at, man.find("\n.S", at) - at);
    auto options = HelpEntries(own.out, "Options:");
    EXPECT_FALSE(options.empty());
    for (auto const& [names, description] : HelpEntries(own.out, "Positionals:"))
      options.emplace_back(names, description);
    for (auto const& [names, description] : options) {
      EXPECT_NE(description, "") << "no description: " << names;
      std::size_t const dashes = names.find("--");
      if (dashes != std::string::npos) {
        // Every dash of the name is escaped in the page.
        std::string name = "\\fB";
        for (std::size_t c = dashes; c < names.size() && names[c] != ' ' && names[c] != ','; ++c) {
          name += names[c] == '-' ? std::string("\\-") : std::string(1, names[c]);
        }
        EXPECT_NE(section.find(name + "\\fR"), std::string::npos) << name;
      }
    }
  }
  EXPECT_EQ(Quillan({"analyse", "-h"}).out, Quillan({"help", "analyze"}).out);
  // The analyzers and their parameters' settings.
  for (std::string_view const name : Examples::GetExampleAnalyzerNames()) {
    EXPECT_NE(man.find(".TP\n\\fB" + std::string(name) + "\\fR\n"), std::string::npos) << name;
  }
  for (char const* entry : {".TP\n\\fBthreshold\\fR\n\\-60 dBFS by default, \\-200 to 0: ",
                            ".TP\n\\fBdigest\\fR\nSHA\\-256 of the file's bytes; no parameters.\n"}) {
    EXPECT_NE(man.find(entry), std::string::npos) << entry;
  }
}

// The completion completes commands, options and their values in a real bash, from the same command line.
TEST_F(HelpAndUsageTest, CompletionOffersCommandsOptionsAndValues) {
  std::vector<std::string> parameters;
  for (std::string_view const name : Examples::GetExampleAnalyzerNames()) parameters.push_back(std::string(name) + "=");
  std::sort(parameters.begin(), parameters.end());
  struct Case {
    std::string line;  // the words before the cursor, the last one being completed
    std::vector<std::string> expected;
  };
  Case const cases[] = {
      {"quillan ana", {"analyze", "analyse", "analyzers"}},
      {"quillan sidecar ", {"dump", "get", "verify", "clean"}},
      {"quillan --config-dir x analyse --for", {"--format", "--force"}},
      {"quillan analyze --format n", {"ndjson"}},
      {"quillan analyze -a dig", {"digest"}},
      {"quillan config set cache-location sidecar --", {"--help"}},
      {"quillan analyse x.wav --param ", parameters},
      {"quillan help sidecar g", {"get"}},
      {"quillan --cache-dir x config set cache-s", {"cache-size"}},
      {"quillan export x.mkv --to e", {"edl"}},
      {"quillan waveform x.wav --to 1", {""}},  // a time: no words to offer
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.line);
    std::string const script = std::string("source ") + QUILLAN_COMPLETION_PATH + "\nCOMP_WORDS=(" + c.line +
                               (c.line.back() == ' ' ? "''" : "") + ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n" +
                               "COMP_WORDS[0]=" + QUILLAN_TOOL_PATH +
                               "\n_quillan\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
    testsupport::WriteFile(dir / "complete.sh", script);
    std::string const command = "QUILLAN_CONFIG_DIR=" + Config().string() +
                                " QUILLAN_CACHE_DIR=" + (dir / "cache").string() + " bash " +
                                (dir / "complete.sh").string() + " > " + (dir / "reply.txt").string();
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::vector<std::string> reply;
    std::istringstream in(testsupport::ReadFile(dir / "reply.txt"));
    for (std::string word; std::getline(in, word);) reply.push_back(word);
    EXPECT_EQ(reply, c.expected);
  }
}

}  // namespace
}  // namespace Quillan::Cli
