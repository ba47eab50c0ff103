#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "BE/Properties.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"
#include "Support/BlobTestUtils.h"
#include "Support/SineWave.h"
#include "Support/TempDirectory.h"

extern char** environ;

namespace Quillan::Cli {
namespace {

using testsupport::WriteSine;

// A parsed JSON value; objects keep their members in document order.
struct Json {
  using Array = std::vector<Json>;
  using Object = std::vector<std::pair<std::string, Json>>;
  std::variant<std::nullptr_t, bool, double, std::string, Array, Object> value;

  bool IsNull() const { return std::holds_alternative<std::nullptr_t>(value); }
  std::string const& Text() const { return std::get<std::string>(value); }
  double Number() const { return std::get<double>(value); }
  Array const& Items() const { return std::get<Array>(value); }
  std::vector<std::string> Keys() const {
    std::vector<std::string> keys;
    for (auto const& [key, member] : std::get<Object>(value)) keys.push_back(key);
    return keys;
  }
  Json const& operator[](std::string const& key) const {
    for (auto const& [name, member] : std::get<Object>(value)) {
      if (name == key) return member;
    }
    throw std::out_of_range("no member " + key);
  }
};

// A strict reader of the tool's JSON, so that the tests also catch output that is not valid JSON.
class JsonReader {
 public:
  static Json Parse(std::string_view text) {
    JsonReader reader(text);
    Json value = reader.Value();
    reader.SkipSpace();
    if (reader.at_ != text.size()) reader.Fail("trailing text");
    return value;
  }

 private:
  explicit JsonReader(std::string_view text) : text_(text) {}

  [[noreturn]] void Fail(std::string const& what) const {
    throw std::runtime_error("invalid JSON at " + std::to_string(at_) + ": " + what);
  }
  void SkipSpace() {
    while (at_ < text_.size() && std::string_view(" \t\r\n").find(text_[at_]) != std::string_view::npos) ++at_;
  }
  bool Take(char c) {
    SkipSpace();
    if (at_ < text_.size() && text_[at_] == c) return ++at_, true;
    return false;
  }
  void Expect(char c) {
    if (!Take(c)) Fail(std::string("expected ") + c);
  }
  bool TakeWord(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  Json Value() {
    SkipSpace();
    if (at_ == text_.size()) Fail("unexpected end");
    if (Take('{')) {
      Json::Object members;
      if (Take('}')) return {std::move(members)};
      do {
        SkipSpace();
        std::string key = String();
        Expect(':');
        members.emplace_back(std::move(key), Value());
      } while (Take(','));
      Expect('}');
      return {std::move(members)};
    }
    if (Take('[')) {
      Json::Array items;
      if (Take(']')) return {std::move(items)};
      do items.push_back(Value());
      while (Take(','));
      Expect(']');
      return {std::move(items)};
    }
    if (text_[at_] == '"') return {String()};
    if (TakeWord("true")) return {true};
    if (TakeWord("false")) return {false};
    if (TakeWord("null")) return {nullptr};
    std::size_t const start = at_;
    while (at_ < text_.size() && std::string_view("+-.0123456789eE").find(text_[at_]) != std::string_view::npos) ++at_;
    std::string const number(text_.substr(start, at_ - start));
    char* end = nullptr;
    double const parsed = std::strtod(number.c_str(), &end);
    if (number.empty() || end != number.c_str() + number.size()) Fail("bad value");
    return {parsed};
  }

  unsigned Hex4() {
    if (at_ + 4 > text_.size()) Fail("short \\u escape");
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      char const c = text_[at_++];
      int const digit = std::isdigit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
      if (digit < 0) Fail("bad \\u escape (lowercase hex expected)");
      value = value << 4 | static_cast<unsigned>(digit);
    }
    return value;
  }

  std::string String() {
    if (at_ >= text_.size() || text_[at_++] != '"') Fail("expected a string");
    std::string out;
    for (;;) {
      if (at_ >= text_.size()) Fail("unterminated string");
      char const c = text_[at_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) Fail("raw control character");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) Fail("unterminated escape");
      char const e = text_[at_++];
      std::string_view const simple = "\"\\/bfnrt";
      if (auto const i = simple.find(e); i != std::string_view::npos) {
        out += "\"\\/\b\f\n\r\t"[i];
        continue;
      }
      if (e != 'u') Fail("bad escape");
      char32_t code = Hex4();
      if (code >= 0xD800 && code <= 0xDBFF) {
        if (!TakeWord("\\u")) Fail("lone surrogate");
        code = 0x10000 + ((code - 0xD800) << 10) + (Hex4() - 0xDC00);
      }
      // UTF-8 of the code point.
      if (code < 0x80) {
        out += static_cast<char>(code);
      } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6), out += static_cast<char>(0x80 | (code & 0x3F));
      } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12), out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
      } else {
        out += static_cast<char>(0xF0 | code >> 18), out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F)), out += static_cast<char>(0x80 | (code & 0x3F));
      }
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

struct ToolRun {
  int exitCode = -1;  // 128 + the signal when the tool was killed by one
  std::string out;
  std::string err;
};

// Runs the built tool with `arguments` (stdin from `input`, /dev/null by default) in the plain C locale, and collects
// what it writes. `onErrorLine` sees each line of stderr as it comes, with the tool's process id. A tool still
// running after a generous deadline is killed, and the test fails instead of hanging.
ToolRun RunTool(std::vector<std::string> const& arguments,
                std::function<void(std::string const&, pid_t)> const& onErrorLine = {},
                std::string const& input = "/dev/null") {
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
  std::vector<char*> argv{const_cast<char*>(QUILLAN_TOOL_PATH)};
  for (std::string const& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  // A ThreadSanitizer build would sleep a second at every exit of the tool, looking for races at exit.
  std::vector<std::string> environment;
  // The C locale, where file names that are not ASCII are hardest: the tool must not depend on a UTF-8 locale.
  for (char** variable = environ; *variable != nullptr; ++variable) {
    std::string_view const name(*variable);
    if (!name.starts_with("TSAN_OPTIONS=") && !name.starts_with("LC_") && !name.starts_with("LANG")) {
      environment.emplace_back(*variable);
    }
  }
  environment.push_back("LC_ALL=C");
  char const* tsanOptions = std::getenv("TSAN_OPTIONS");
  environment.push_back(std::string("TSAN_OPTIONS=") + (tsanOptions ? tsanOptions : "") + " atexit_sleep_ms=0");
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  int const spawned = posix_spawn(&pid, QUILLAN_TOOL_PATH, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << QUILLAN_TOOL_PATH;
    close(out[0]);
    close(err[0]);
    return run;
  }

  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* const sinks[2] = {&run.out, &run.err};
  std::size_t linesSeen = 0;
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
    for (std::size_t end; onErrorLine && (end = run.err.find('\n', linesSeen)) != std::string::npos;) {
      onErrorLine(run.err.substr(linesSeen, end - linesSeen), pid);
      linesSeen = end + 1;
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

std::string IdOf(std::string_view analyzer) { return Examples::FindExampleAnalyzer(analyzer)->AsUTF8String(); }

class QuillanToolTest : public ::testing::Test {
 protected:
  // The tool with folders of the test's own, which must win over the environment that ctest sets.
  ToolRun Quillan(std::vector<std::string> arguments,
                  std::function<void(std::string const&, pid_t)> const& onErrorLine = {},
                  std::string const& input = "/dev/null") {
    arguments.insert(arguments.begin(), {"--cache-dir", (dir / "cache").string(), "--config-dir", Config().string()});
    return RunTool(arguments, onErrorLine, input);
  }
  std::filesystem::path Config() const { return dir / "config"; }
  std::string File(std::string_view name) const { return (dir / name).string(); }

  // The results of `analyze --json`, by "analyzer file" as given.
  std::map<std::string, Json> Analyze(std::vector<std::string> arguments, int expectedExit = 0) {
    arguments.insert(arguments.begin(), {"analyze", "--json"});
    ToolRun const run = Quillan(arguments);
    EXPECT_EQ(run.exitCode, expectedExit) << run.err;
    std::map<std::string, Json> results;
    Json const output = JsonReader::Parse(run.out);
    for (Json const& result : output["results"].Items()) {
      results[result["analyzer"].Text() + " " + result["file"].Text()] = result;
    }
    return results;
  }

  std::uint64_t ManagedItems() {
    ToolRun const run = Quillan({"cache", "stats", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return static_cast<std::uint64_t>(JsonReader::Parse(run.out)["items"].Number());
  }

  testsupport::TempDirectory dir;
};

TEST_F(QuillanToolTest, AnalyzeComputesThenServesTheSecondRunFromTheSidecar) {
  WriteSine(dir / "tone.wav", 0.1);
  // Only type-0 analyzers run unasked; the module's type-7 one does not.
  auto const first = Analyze({"--plugin", QUILLAN_TYPE_SEVEN_MODULE_PATH, File("tone.wav")});
  ASSERT_EQ(first.size(), 6u);
  ASSERT_TRUE(std::filesystem::exists(dir / "tone.qvmi"));
  // A sidecar named among the media (a glob such as dir/* does) is skipped: it would be its own sidecar.
  auto const second = Analyze({File("tone.wav"), File("tone.qvmi")});
  ASSERT_EQ(second.size(), 6u);
  for (std::string const name : {"digest", "peaks", "loudness", "scenes", "silence", "beats"}) {
    SCOPED_TRACE(name);
    Json const& computed = first.at(name + (" " + File("tone.wav")));
    Json const& cached = second.at(name + (" " + File("tone.wav")));
    EXPECT_EQ(computed["status"].Text(), "computed");
    EXPECT_EQ(cached["status"].Text(), "cached");
    EXPECT_EQ(computed["analyzerId"].Text(), IdOf(name));
    EXPECT_EQ(computed["contentState"].Text().size(), 36u);
    EXPECT_EQ(cached["contentState"].Text(), computed["contentState"].Text());
    EXPECT_EQ(cached["result"].Keys(), computed["result"].Keys());
  }
  std::string const tone = " " + File("tone.wav");
  // The debug switch of the command line makes every load miss.
  ToolRun const ignoring = Quillan(
      {"--debug", "ZELSE.IgnoreAnalyzerCache=true", "analyze", "--json", "--analyzer", "digest", File("tone.wav")});
  EXPECT_EQ(JsonReader::Parse(ignoring.out)["results"].Items().at(0)["status"].Text(), "computed");
  EXPECT_EQ(first.at("digest" + tone)["result"]["sha256"].Text().size(), 64u);
  EXPECT_EQ(second.at("digest" + tone)["result"]["sha256"].Text(),
            first.at("digest" + tone)["result"]["sha256"].Text());
  EXPECT_NEAR(first.at("loudness" + tone)["result"]["integratedLufs"].Number(), -20.0, 0.3);
  Json const& peaks = first.at("peaks" + tone)["result"];
  EXPECT_EQ(peaks["channels"].Number(), 2);
  EXPECT_EQ(peaks["peakCount"].Number(), 188);  // 48000 frames in runs of 256
  EXPECT_NEAR(peaks["maxPeak"].Items().at(1).Number(), 0.1, 1e-3);

  // A parameter keys its own result; a bad one fails without caching anything; unreadable files fail as such.
  testsupport::WriteFile(dir / "text.wav", std::string("not a sound"));
  // A file name need not be UTF-8 nor printable; the JSON stays valid all the same.
  auto const mixed = Analyze({"--analyzer", "peaks", "--param", "peaks=100", File("tone.wav"), File("text.wav"),
                              File("missing.wav"), File("odd\xff\n\".wav")},
                             1);
  Json const& odd = mixed.at("peaks " + File("odd\xef\xbf\xbd\n\".wav"));
  EXPECT_EQ(odd["status"].Text(), "failed");
  EXPECT_NE(odd["message"].Text().find("odd\xef\xbf\xbd\n\".wav"), std::string::npos);
  EXPECT_EQ(mixed.at("peaks" + tone)["status"].Text(), "computed");
  EXPECT_EQ(mixed.at("peaks" + tone)["parameter"].Text(), "100");
  EXPECT_EQ(mixed.at("peaks" + tone)["result"]["peakCount"].Number(), 480);
  for (std::string const file : {"text.wav", "missing.wav"}) {
    Json const& failed = mixed.at("peaks " + File(file));
    EXPECT_EQ(failed["status"].Text(), "failed");
    EXPECT_EQ(failed["resultCode"].Text(), "0xa0000003");
    EXPECT_NE(failed["message"].Text().find(file), std::string::npos) << failed["message"].Text();
  }
  auto const zero = Analyze({"--analyzer", "peaks", "--param", "peaks=0", File("tone.wav")}, 1);
  EXPECT_EQ(zero.at("peaks" + tone)["resultCode"].Text(), "0xa00f000e");
  EXPECT_FALSE(std::filesystem::exists(dir / "text.qvmi"));
}

TEST_F(QuillanToolTest, EachCacheLocationWritesWhereItSaysForThisRunOnly) {
  struct Case {
    char const* location;
    bool sidecar;
    std::uint64_t managedItems;  // added by the run, one per analyzer
    char const* rerun;           // status of a second run
  };
  Case const cases[] = {
      {"sidecar", true, 0, "cached"},
      {"managed", false, 6, "cached"},
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
      ASSERT_EQ(results.size(), 6u);
      for (auto const& [job, result] : results) EXPECT_EQ(result["status"].Text(), status) << job;
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
  EXPECT_EQ(again.at("digest " + File("media1.wav"))["status"].Text(), "computed");
  EXPECT_EQ(Quillan({"cache", "path"}).out, (dir / "cache" / "AnalyzerCache").string() + "\n");
}

TEST_F(QuillanToolTest, CorruptSidecarIsReportedByVerifyAndReplacedByTheNextAnalysis) {
  std::string const media = File("clip.bin");
  testsupport::WriteFile(media, std::string("some media bytes"));
  testsupport::WriteFile(dir / "other.bin", std::string("other media bytes"));
  Analyze({"--analyzer", "digest", media, File("other.bin")});
  testsupport::WriteFile(dir / "clip.qvmi", std::string(40, '\x7f'));
  testsupport::WriteFile(dir / "empty.qvmi", std::string());

  ToolRun const bad =
      Quillan({"sidecar", "verify", File("clip.qvmi"), File("other.qvmi"), File("empty.qvmi"), File("none.qvmi")});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.out.find(File("clip.qvmi") + ": Data store buffer has invalid format\n"), std::string::npos) << bad.out;
  EXPECT_NE(bad.out.find(File("other.qvmi") + ": ok (1 item, 1 value)\n"), std::string::npos) << bad.out;
  EXPECT_NE(bad.out.find(File("empty.qvmi") + ": Sidecar file not found\n"), std::string::npos) << bad.out;
  EXPECT_NE(bad.out.find(File("none.qvmi") + ": Sidecar file not found\n"), std::string::npos) << bad.out;

  auto const redone = Analyze({"--analyzer", "digest", media});
  EXPECT_EQ(redone.at("digest " + media)["status"].Text(), "computed");
  ToolRun const good = Quillan({"sidecar", "verify", File("clip.qvmi")});
  EXPECT_EQ(good.exitCode, 0) << good.out;
  EXPECT_EQ(Analyze({"--analyzer", "digest", media}).at("digest " + media)["status"].Text(), "cached");
}

TEST_F(QuillanToolTest, SidecarGetReturnsTheBytesAnalyzeStored) {
  WriteSine(dir / "tone.wav", 0.25);
  auto const results = Analyze({"--analyzer", "digest", "--analyzer", "peaks", File("tone.wav")});
  std::string const tone = " " + File("tone.wav");
  std::string const dataSource = results.at("digest" + tone)["contentState"].Text();

  ToolRun const dump = Quillan({"sidecar", "dump", "--json", File("tone.qvmi")});
  ASSERT_EQ(dump.exitCode, 0) << dump.err;
  Json const container = JsonReader::Parse(dump.out);
  ASSERT_EQ(container.Keys(), std::vector<std::string>{"items"});
  ASSERT_EQ(container["items"].Items().size(), 2u);
  for (Json const& item : container["items"].Items()) {
    EXPECT_EQ(item.Keys(), (std::vector<std::string>{"analyzer", "dataSource", "values"}));
    EXPECT_EQ(item["dataSource"].Text(), dataSource);
    ASSERT_EQ(item["values"].Items().size(), 1u);
    Json const& value = item["values"].Items()[0];
    EXPECT_EQ(value.Keys(), (std::vector<std::string>{"key", "size"}));

    std::vector<std::string> get = {
        "sidecar",       "get",      File("tone.qvmi"), "--analyzer",       item["analyzer"].Text(),
        "--data-source", dataSource, "--key",           value["key"].Text()};
    ToolRun const raw = Quillan(get);
    ASSERT_EQ(raw.exitCode, 0) << raw.err;
    EXPECT_EQ(raw.out.size(), value["size"].Number());
    get.insert(get.end(), {"-o", File("value.bin")});
    ASSERT_EQ(Quillan(get).exitCode, 0);
    EXPECT_EQ(testsupport::ReadFile(dir / "value.bin"), raw.out);

    zelcore::Blob const blob = testsupport::MakeBlob(raw.out);
    if (item["analyzer"].Text() == IdOf("digest")) {
      EXPECT_EQ(Examples::DigestToHex(blob), results.at("digest" + tone)["result"]["sha256"].Text());
    } else {
      EXPECT_EQ(item["analyzer"].Text(), IdOf("peaks"));
      ASSERT_TRUE(Examples::DecodePeakEnvelope(blob));
      EXPECT_EQ(Examples::DecodePeakEnvelope(blob)->PeakCount(), 188u);
    }
  }

  struct Miss {
    std::string analyzer, dataSource, key, message;
  };
  std::string const digestKey = IdOf("digest") + "____result";
  Miss const misses[] = {
      {IdOf("digest"), "00000000-0000-0000-0000-000000000001", digestKey, "Analyzer Item not found in cache"},
      {IdOf("loudness"), dataSource, digestKey, "Analyzer Item not found in cache"},
      {IdOf("digest"), dataSource, "result", "Value not found in cache"},
  };
  for (Miss const& miss : misses) {
    ToolRun const run = Quillan({"sidecar", "get", File("tone.qvmi"), "--analyzer", miss.analyzer, "--data-source",
                                 miss.dataSource, "--key", miss.key});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "quillan: " + miss.message + "\n");
    EXPECT_EQ(run.out, "");
  }
}

TEST_F(QuillanToolTest, DumpJsonIsExactAndEscapesEveryKey) {
  auto data = std::make_shared<SideCarSerializationData>();
  zelcore::utility::Guid const low = *zelcore::utility::Guid::FromString("00000000-0000-0000-0000-0000000000aa");
  zelcore::utility::Guid const high = *zelcore::utility::Guid::FromString("ff000000-0000-0000-0000-000000000001");
  // Inserted out of order: items come out in the container's order, values sorted by key.
  data->items[{high, "source \"two\""}] = {{{"z", testsupport::MakeBlob("12")}}, "source \"two\"", high};
  data->items[{low, "caf\xc3\xa9"}] = {{{"quote\"back\\slash", testsupport::MakeBlob("abc")},
                                        {std::string("ctl\n\t\x01", 6), testsupport::MakeBlob("")},
                                        {"bad\xff", testsupport::MakeBlob("x")}},
                                       "caf\xc3\xa9",
                                       low};
  zelcore::Blob const file = SidecarDataStoreAdaptorSerialization::SerializeDataStoreToBinary(data);
  testsupport::WriteFile(dir / "made.qvmi",
                         std::string_view(reinterpret_cast<char const*>(file->data()), file->size()));

  ToolRun const dump = Quillan({"sidecar", "dump", File("made.qvmi"), "--json"});
  ASSERT_EQ(dump.exitCode, 0) << dump.err;
  EXPECT_EQ(dump.out,
            "{\"items\":["
            "{\"analyzer\":\"00000000-0000-0000-0000-0000000000aa\",\"dataSource\":\"caf\xc3\xa9\",\"values\":["
            "{\"key\":\"bad\\ufffd\",\"size\":1},"
            "{\"key\":\"ctl\\n\\t\\u0001\",\"size\":0},"
            "{\"key\":\"quote\\\"back\\\\slash\",\"size\":3}]},"
            "{\"analyzer\":\"ff000000-0000-0000-0000-000000000001\",\"dataSource\":\"source \\\"two\\\"\",\"values\":["
            "{\"key\":\"z\",\"size\":2}]}]}\n");
  // A JSON reader gets the same texts back (the file's decoder already made the stray byte U+FFFD).
  Json const parsed = JsonReader::Parse(dump.out);
  EXPECT_EQ(parsed["items"].Items()[0]["values"].Items()[1]["key"].Text(), std::string("ctl\n\t\x01", 6));
  EXPECT_EQ(parsed["items"].Items()[0]["dataSource"].Text(), "caf\xc3\xa9");
}

TEST_F(QuillanToolTest, ReadOnlySettingsAreReportedAndNothingIsWritten) {
  std::string const media = File("media.bin");
  testsupport::WriteFile(media, std::string("bytes to digest"));
  // The location that reads but never writes, persisted.
  ASSERT_EQ(Quillan({"config", "set", "cache-location", "read-only"}).exitCode, 0);
  EXPECT_EQ(Quillan({"config", "get", "cache-location"}).out, "read-only\n");
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(Analyze({"--analyzer", "digest", media}).at("digest " + media)["status"].Text(), "computed");
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "media.qvmi"));
  EXPECT_EQ(ManagedItems(), 0u);

  // Locked by an administrator: neither `config set` nor a run-only override changes it.
  BE::CreateProperties(Config() / "properties")->SetReadOnly(BE::kPrefsAnalyzeImportedMediaCacheLocation, true);
  std::string const before = testsupport::ReadFile(Config() / "properties");
  ToolRun const set = Quillan({"config", "set", "cache-location", "sidecar"});
  EXPECT_EQ(set.exitCode, 1);
  EXPECT_NE(set.err.find("read-only"), std::string::npos) << set.err;
  ToolRun const get = Quillan({"config", "get", "cache-location"});
  EXPECT_EQ(get.out, "read-only\n");
  EXPECT_NE(get.err.find("read-only"), std::string::npos);
  ToolRun const overridden = Quillan({"analyze", "--cache-location", "sidecar", media});
  EXPECT_EQ(overridden.exitCode, 1);
  EXPECT_EQ(overridden.out, "");
  EXPECT_EQ(Analyze({"--cache-location", "read-only", "--analyzer", "digest", media}).size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(dir / "media.qvmi"));
  EXPECT_EQ(testsupport::ReadFile(Config() / "properties"), before);
}

TEST_F(QuillanToolTest, InterruptCancelsRunningJobsAndLeavesNoBrokenSidecar) {
  WriteSine(dir / "tone.wav", 0.5);
  // Sixteen GiB of zeros that take no disk space: digesting them takes minutes, so the run is surely interrupted.
  std::filesystem::path const huge = dir / "huge.bin";
  testsupport::WriteFile(huge, std::string());
  std::filesystem::resize_file(huge, std::uintmax_t{16} << 30);
  struct stat status {};
  ASSERT_EQ(stat(huge.c_str(), &status), 0);
  if (status.st_blocks > 2048) GTEST_SKIP() << "the temporary folder does not keep sparse files";

  // SIGTERM and SIGHUP are handled as SIGINT is, each with its own exit code.
  for (int const signal : {SIGINT, SIGTERM, SIGHUP}) {
    std::filesystem::remove(dir / "tone.qvmi");
    bool signalled = false;
    ToolRun const run = Quillan({"analyze", "--json", "--analyzer", "digest", File("tone.wav"), huge.string()},
                                [&](std::string const& line, pid_t pid) {
                                  if (!signalled && line == "quillan: digest " + huge.string() + ": started") {
                                    signalled = kill(pid, signal) == 0;
                                  }
                                });
    ASSERT_TRUE(signalled) << run.err;
    EXPECT_EQ(run.exitCode, 128 + signal) << run.err;
    Json const output = JsonReader::Parse(run.out);
    EXPECT_TRUE(std::get<bool>(output["interrupted"].value));
    ASSERT_EQ(output["results"].Items().size(), 2u);
    EXPECT_EQ(output["results"].Items()[0]["status"].Text(), "computed");
    EXPECT_EQ(output["results"].Items()[1]["status"].Text(), "failed");
    EXPECT_EQ(output["results"].Items()[1]["resultCode"].Text(), "0xa00f0007");
    EXPECT_FALSE(std::filesystem::exists(dir / "huge.qvmi"));
    EXPECT_EQ(Quillan({"sidecar", "verify", File("tone.qvmi")}).exitCode, 0);
  }
}

TEST_F(QuillanToolTest, BadArgumentsExitWithCodeTwoAndAUsageLine) {
  testsupport::WriteFile(dir / "media.bin", std::string("media"));
  std::string const media = File("media.bin");
  struct Case {
    std::vector<std::string> arguments;
    char const* message;
  };
  Case const cases[] = {
      {{}, "missing COMMAND"},
      {{"frobnicate"}, "unknown command"},
      {{"--bogus", "analyzers"}, "unknown option --bogus"},
      {{"--debug", "NOEQUALS", "analyzers"}, "--debug expects NAME=VALUE"},
      {{"analyze"}, "no FILE"},
      {{"analyze", "--analyzer", "nosuch", media}, "unknown analyzer \"nosuch\""},
      {{"analyze", "--analyzer", "00000000-0000-0000-0000-0000000000ff", media}, "no analyzer is registered"},
      {{"analyze", "--param", "peaks", media}, "--param expects NAME=VALUE"},
      {{"analyze", "--analyzer", "digest", "--param", "peaks=4", media}, "not one of the analyzers"},
      {{"analyze", "--cache-location", "nowhere", media}, "cache location must be"},
      {{"analyze", "--plugin", File("none.so"), media}, "cannot load analyzer module"},
      {{"analyze", "--json=yes", media}, "takes no value"},
      {{"analyze", media, "--analyzer"}, "--analyzer needs a value"},
      {{"sidecar", "get", File("x.qvmi"), "--analyzer", "zz", "--data-source", "d", "--key", "k"}, "expects a GUID"},
      {{"sidecar", "get", File("x.qvmi"), "--key", "k"}, "are all required"},
      {{"sidecar", "verify"}, "missing FILE"},
      {{"sidecar", "shred", "x"}, "unknown sidecar action"},
      {{"cache", "stats", "extra"}, "unexpected argument extra"},
      {{"config", "set", "cache-location", "sideways"}, "cache location must be"},
      {{"config", "get", "colour"}, "unknown setting"},
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
  ToolRun const help = RunTool({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (char const* command :
       {"analyze", "analyzers", "sidecar dump", "sidecar get", "sidecar verify", "cache", "config"}) {
    EXPECT_NE(help.out.find(std::string("quillan ") + command + " "), std::string::npos) << command;
  }
  ToolRun const listed = Quillan(
      {"analyzers", "--json", "--plugin", QUILLAN_EXAMPLES_MODULE_PATH, "--plugin", QUILLAN_TYPE_SEVEN_MODULE_PATH});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  Json const analyzers = JsonReader::Parse(listed.out)["analyzers"];
  ASSERT_EQ(analyzers.Items().size(), 7u);
  // Listed from the registry under its GUID, though its factory builds nothing to ask for a name.
  Json const& typeSeven = analyzers.Items().front();
  EXPECT_EQ(typeSeven["name"].Text(), "7e57a7e5-0000-4000-8000-000000000007");
  EXPECT_EQ(typeSeven["id"].Text(), "7e57a7e5-0000-4000-8000-000000000007");
  EXPECT_EQ(typeSeven["type"].Number(), 7);
  EXPECT_EQ(typeSeven["target"].Text(), "unknown");
  for (Json const& analyzer : std::vector<Json>(analyzers.Items().begin() + 1, analyzers.Items().end())) {
    EXPECT_EQ(analyzer["type"].Number(), 0);
    EXPECT_EQ(analyzer["id"].Text(), IdOf(analyzer["name"].Text()));
    EXPECT_EQ(analyzer["target"].Text(), "media");
    if (analyzer["name"].Text() == "peaks" || analyzer["name"].Text() == "scenes") {
      EXPECT_EQ(analyzer["maxJobs"].Number(), 2);
    } else {
      EXPECT_TRUE(analyzer["maxJobs"].IsNull());
    }
  }
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

TEST_F(QuillanToolTest, AnyEditIsRecomputedAndAByteIdenticalCopySharesItsResults) {
  testsupport::WriteFile(dir / "clip.bin", testsupport::RandomBytes(1'000'000, 9));
  WriteSine(dir / "tone.wav", 0.1, 10);
  std::string const clip = File("clip.bin");
  std::string const tone = File("tone.wav");
  auto const first = Analyze({"--analyzer", "digest", "--analyzer", "peaks", clip, tone}, 1);  // clip is no audio
  // Four bytes far from the start, middle and end of the clip; full-scale samples from 1.5 s to 2.5 s of the tone.
  PatchKeepingTime(dir / "clip.bin", 100'000, "\x01\x02\x03\x04");
  std::string const wave = testsupport::ReadFile(dir / "tone.wav");
  std::size_t const samples = wave.find("data") + 8 + 3 * 48000 / 2 * 8;
  std::string fullScale;
  for (int i = 0; i < 2 * 48000; ++i) fullScale += std::string("\x00\x00\x80\x3f", 4);  // 1.0f, little-endian
  PatchKeepingTime(dir / "tone.wav", samples, fullScale);

  auto const second = Analyze({"--analyzer", "digest", "--analyzer", "peaks", clip, tone}, 1);
  for (std::string const& job : {"digest " + clip, "digest " + tone, "peaks " + tone}) {
    SCOPED_TRACE(job);
    EXPECT_EQ(second.at(job)["status"].Text(), "computed");
    EXPECT_NE(second.at(job)["contentState"].Text(), first.at(job)["contentState"].Text());
  }
  EXPECT_NE(second.at("digest " + clip)["result"]["sha256"].Text(),
            first.at("digest " + clip)["result"]["sha256"].Text());
  EXPECT_NEAR(first.at("peaks " + tone)["result"]["maxPeak"].Items().at(0).Number(), 0.1, 1e-3);
  EXPECT_EQ(second.at("peaks " + tone)["result"]["maxPeak"].Items().at(0).Number(), 1.0);

  // A copy is the same content: the managed cache, keyed by content, serves it.
  testsupport::WriteFile(dir / "fresh.bin", testsupport::RandomBytes(300'000, 10));
  Analyze({"--cache-location", "managed", "--analyzer", "digest", File("fresh.bin")});
  std::filesystem::copy_file(dir / "fresh.bin", dir / "copy.bin");
  auto const copy = Analyze({"--cache-location", "managed", "--analyzer", "digest", File("copy.bin")});
  EXPECT_EQ(copy.at("digest " + File("copy.bin"))["status"].Text(), "cached");
  EXPECT_FALSE(std::filesystem::exists(dir / "copy.qvmi"));
}

TEST_F(QuillanToolTest, AnUnusableManagedFolderDegradesTheRunInsteadOfStoppingIt) {
  // A file where the managed cache folder should be.
  testsupport::WriteFile(dir / "cache" / "AnalyzerCache", std::string("in the way"));
  WriteSine(dir / "tone.wav", 0.2);
  std::string const tone = File("tone.wav");
  for (std::string const status : {"computed", "cached"}) {
    ToolRun const run = Quillan({"analyze", "--json", tone});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find("managed cache"), std::string::npos) << run.err;  // sidecar runs do not miss it
    Json const output = JsonReader::Parse(run.out);
    for (Json const& result : output["results"].Items()) EXPECT_EQ(result["status"].Text(), status);
  }

  // Managed runs say so once, serve what the sidecar holds, and fail the files whose results they cannot keep.
  WriteSine(dir / "new.wav", 0.3);
  ToolRun const managed = Quillan({"analyze", "--json", "--cache-location", "managed", tone, File("new.wav")});
  EXPECT_EQ(managed.exitCode, 1) << managed.err;
  std::size_t const warning = managed.err.find("warning: the managed cache cannot be used");
  ASSERT_NE(warning, std::string::npos) << managed.err;
  EXPECT_EQ(managed.err.find("warning", warning + 1), std::string::npos) << managed.err;
  Json const output = JsonReader::Parse(managed.out);
  for (Json const& result : output["results"].Items()) {
    bool const known = result["file"].Text() == tone;
    EXPECT_EQ(result["status"].Text(), known ? "cached" : "computed");
    if (!known) {
      EXPECT_FALSE(std::get<bool>(result["stored"].value));
      EXPECT_NE(result["notStored"].Text(), "");
    }
  }
  EXPECT_EQ(testsupport::ReadFile(dir / "cache" / "AnalyzerCache"), "in the way");
}

TEST_F(QuillanToolTest, AManagedCacheOnASmallVolumeKeepsItsItemsThroughOtherRuns) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  std::filesystem::create_directories(dir / "cache");
  ASSERT_EQ(::mount("tmpfs", (dir / "cache").c_str(), "tmpfs", 0, "size=64m"), 0) << std::strerror(errno);
  WriteSine(dir / "tone.wav", 0.4);
  for (std::string const location : {"managed", "read-only", "sidecar", "managed"}) {
    SCOPED_TRACE(location);
    auto const results = Analyze({"--cache-location", location, File("tone.wav")});
    EXPECT_EQ(ManagedItems(), results.size());
    if (location == "read-only") {
      for (auto const& [job, result] : results) EXPECT_EQ(result["status"].Text(), "cached") << job;
    }
  }
  ToolRun const stats = Quillan({"cache", "stats", "--json"});
  Json const limits = JsonReader::Parse(stats.out);
  EXPECT_EQ(limits["bound"].Number(), 5368709120.0);
  EXPECT_EQ(limits["freeSpaceTarget"].Number(), static_cast<double>((64u << 20) / 20));
  ::umount2((dir / "cache").c_str(), MNT_DETACH);
}

// A link, a dangling link or a FIFO where the sidecar would go is never followed, written or waited on; the run
// computes its results and says once, on stderr, that they could not be saved.
TEST_F(QuillanToolTest, SidecarPathsThatAreNoFilesAreLeftAloneAndReportedOnce) {
  WriteSine(dir / "b.wav", 0.1);
  WriteSine(dir / "c.wav", 0.1);
  WriteSine(dir / "d.wav", 0.1);
  std::filesystem::create_symlink("b.wav", dir / "b.qvmi");
  ASSERT_EQ(mkfifo(File("c.qvmi").c_str(), 0600), 0);
  std::filesystem::create_symlink("nowhere.qvmi", dir / "d.qvmi");
  std::string const media = testsupport::ReadFile(dir / "b.wav");

  ToolRun const run = Quillan({"analyze", "--json", "--cache-location", "sidecar", "--analyzer", "digest", "--analyzer",
                               "loudness", File("b.wav"), File("c.wav"), File("d.wav")});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  Json const output = JsonReader::Parse(run.out);
  for (Json const& result : output["results"].Items()) {
    EXPECT_EQ(result["status"].Text(), "computed") << result["file"].Text();
  }
  EXPECT_EQ(testsupport::ReadFile(dir / "b.wav"), media);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "b.qvmi"));
  EXPECT_FALSE(std::filesystem::exists(dir / "nowhere.qvmi"));
  std::size_t reports = 0;
  for (std::size_t at = 0; (at = run.err.find("could not be saved", at)) != std::string::npos; ++at) ++reports;
  EXPECT_EQ(reports, 1u) << run.err;
  EXPECT_NE(run.err.find("6 results could not be saved"), std::string::npos) << run.err;
}

// File names are bytes: Latin-1 bytes, Cyrillic and emoji work in the C locale, each with its own sidecar; a name
// that cannot be shown prints with U+FFFD; a file that cannot be read fails its own row only.
TEST_F(QuillanToolTest, FileNamesOfAnyBytesWorkInTheCLocale) {
  std::string const names[] = {"caf\xe9", "\xd0\xb7\xd0\xb2\xd1\x83\xd0\xba", "\xf0\x9f\x8e\xb5"};
  std::vector<std::string> files;
  for (std::string const& name : names) {
    WriteSine(dir / (name + ".wav"), 0.1);
    files.push_back(File(name + ".wav"));
  }
  std::vector<std::string> arguments = {"--cache-location", "sidecar", "--analyzer", "digest"};
  arguments.insert(arguments.end(), files.begin(), files.end());
  arguments.push_back(File("missing.wav"));
  for (char const* expected : {"computed", "cached"}) {
    auto const results = Analyze(arguments, 1);
    ASSERT_EQ(results.size(), 4u);
    for (auto const& [label, result] : results) {
      if (label.find("missing.wav") != std::string::npos) {
        EXPECT_EQ(result["status"].Text(), "failed");
      } else {
        EXPECT_EQ(result["status"].Text(), expected) << label;
      }
    }
  }
  for (std::string const& name : names) EXPECT_TRUE(std::filesystem::is_regular_file(dir / (name + ".qvmi"))) << name;
  // JSON carries the name with U+FFFD in place of the byte it cannot hold; the table shows it the same way.
  EXPECT_TRUE(Analyze(arguments, 1).contains("digest " + File("caf\xef\xbf\xbd.wav")));
  ToolRun const table = Quillan({"analyze", "--no-progress", "--analyzer", "digest", files[0]});
  EXPECT_EQ(table.exitCode, 0) << table.err;
  EXPECT_NE(table.out.find("caf\xef\xbf\xbd.wav"), std::string::npos) << table.out;
}

// Cached values are untrusted bytes: one that does not fit its analyzer's layout is computed afresh, and a sidecar
// too large for the format is reported, not read.
TEST_F(QuillanToolTest, CraftedCachedValuesAndHugeSidecarsAreNotTrusted) {
  WriteSine(dir / "tone.wav", 0.1);
  auto const results = Analyze({"--cache-location", "sidecar", "--analyzer", "peaks", File("tone.wav")});
  std::string const state = results.at("peaks " + File("tone.wav"))["contentState"].Text();
  // A peaks value of 24 bytes that claims 2^30 channels.
  auto data = std::make_shared<SideCarSerializationData>();
  zelcore::utility::Guid const peaks = *Examples::FindExampleAnalyzer("peaks");
  std::string crafted(24, '\0');
  crafted[3] = 0x40;  // channel count 0x40000000, little-endian
  crafted[4] = 1;     // samples per peak 1
  data->items[{peaks, state}] = {
      {{peaks.AsUTF8String() + "__256__result", testsupport::MakeBlob(crafted)}}, state, peaks};
  zelcore::Blob const file = SidecarDataStoreAdaptorSerialization::SerializeDataStoreToBinary(data);
  testsupport::WriteFile(dir / "tone.qvmi",
                         std::string_view(reinterpret_cast<char const*>(file->data()), file->size()));
  auto const again = Analyze({"--cache-location", "sidecar", "--analyzer", "peaks", File("tone.wav")});
  EXPECT_EQ(again.at("peaks " + File("tone.wav"))["status"].Text(), "computed");
  EXPECT_LE(again.at("peaks " + File("tone.wav"))["result"]["channels"].Number(), 2);

  testsupport::WriteFile(dir / "tone.qvmi", std::string());
  std::filesystem::resize_file(dir / "tone.qvmi", std::uintmax_t{2} << 30);
  ToolRun const verify = Quillan({"sidecar", "verify", File("tone.qvmi")});
  EXPECT_EQ(verify.exitCode, 1);
  EXPECT_NE(verify.out.find("too large for the format"), std::string::npos) << verify.out;
  ToolRun const analyze = Quillan({"analyze", "--json", "--analyzer", "digest", File("tone.wav")});
  EXPECT_EQ(analyze.exitCode, 0) << analyze.err;
  EXPECT_NE(analyze.err.find("too large"), std::string::npos) << analyze.err;
  EXPECT_EQ(std::filesystem::file_size(dir / "tone.qvmi"), std::uintmax_t{2} << 30);
}

// Inputs that stand for something else get no sidecar: /dev/stdin (here a regular file behind it) and devices.
TEST_F(QuillanToolTest, StandardInputAndDevicesGetNoSidecar) {
  WriteSine(dir / "tone.wav", 0.1);
  ToolRun const run =
      Quillan({"analyze", "--json", "--analyzer", "digest", "/dev/stdin", "/dev/null"}, {}, File("tone.wav"));
  EXPECT_EQ(run.exitCode, 1) << run.err;
  auto const results = JsonReader::Parse(run.out)["results"].Items();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0]["status"].Text(), "computed");
  EXPECT_EQ(results[1]["status"].Text(), "failed");
  EXPECT_FALSE(std::filesystem::exists("/dev/stdin.qvmi"));
  EXPECT_FALSE(std::filesystem::exists("/dev/null.qvmi"));
  EXPECT_EQ(run.err.find("could not be saved"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace Quillan::Cli
