#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
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
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "Analyzers/ExampleAnalyzers.h"
#include "BE/Properties.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"
#include "Support/BlobTestUtils.h"
#include "Support/SineWave.h"
#include "Support/TempDirectory.h"
#include "ToolProcess.h"

namespace Quillan::Cli {
namespace {

using testsupport::WriteSine;

using Json = nlohmann::ordered_json;

std::vector<std::string> Keys(Json const& object) {
  std::vector<std::string> keys;
  for (auto const& [key, value] : object.items()) keys.push_back(key);
  return keys;
}

// Rows of RFC 4180 CSV: fields quoted where they hold commas, quotes or line breaks, quotes doubled, CRLF line ends.
// Fails the test on text that is not well-formed CSV.
std::vector<std::vector<std::string>> ReadCsv(std::string const& text) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string field;
  std::size_t at = 0;
  while (at < text.size()) {
    if (text[at] == '"') {
      for (++at;; ++at) {
        if (at >= text.size()) {
          ADD_FAILURE() << "unterminated quoted field";
          return rows;
        }
        if (text[at] == '"') {
          if (at + 1 < text.size() && text[at + 1] == '"') {
            field += '"';
            ++at;
            continue;
          }
          ++at;
          break;
        }
        field += text[at];
      }
    }
    while (at < text.size() && text[at] != ',' && text[at] != '\r') {
      if (text[at] == '"' || text[at] == '\n') ADD_FAILURE() << "stray quote or bare line feed at " << at;
      field += text[at++];
    }
    row.push_back(std::move(field));
    field.clear();
    if (at < text.size() && text[at] == ',') {
      ++at;
      continue;
    }
    if (text.compare(at, 2, "\r\n") != 0) ADD_FAILURE() << "line without CRLF at " << at;
    at += 2;
    rows.push_back(std::move(row));
    row.clear();
  }
  return rows;
}

// The rows of CSV text as maps from the header's names to the fields.
std::vector<std::map<std::string, std::string>> CsvRecords(std::string const& text) {
  std::vector<std::vector<std::string>> const rows = ReadCsv(text);
  std::vector<std::map<std::string, std::string>> records;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].size(), rows[0].size()) << "row " << i;
    std::map<std::string, std::string> record;
    for (std::size_t c = 0; c < rows[i].size() && c < rows[0].size(); ++c) record[rows[0][c]] = rows[i][c];
    records.push_back(std::move(record));
  }
  return records;
}

// Each line of NDJSON text, parsed.
std::vector<Json> NdjsonLines(std::string const& text) {
  std::vector<Json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
  return lines;
}

// Whether `analyzer` reads pictures, and so does not apply to a sound.
bool ReadsPictures(std::string_view analyzer) {
  return analyzer == "scenes" || analyzer == "black" || analyzer == "freeze";
}

// What a run of every analyzer on a sound says for `job` ("analyzer file"): `status`, but the video analyzers do not
// apply.
std::string Expect(std::string const& job, std::string const& status) {
  return ReadsPictures(job.substr(0, job.find(' '))) ? "not applicable" : status;
}

std::string IdOf(std::string_view analyzer) { return Examples::FindExampleAnalyzer(analyzer)->AsUTF8String(); }

class QuillanToolTest : public ::testing::Test {
 protected:
  // The tool with folders of the test's own, which must win over the environment that ctest sets.
  ToolRun Quillan(std::vector<std::string> arguments,
                  std::function<void(int, std::string const&, pid_t)> const& onLine = {},
                  std::string const& input = "/dev/null") {
    arguments.insert(arguments.begin(), {"--cache-dir", (dir / "cache").string(), "--config-dir", Config().string()});
    return RunTool(arguments, onLine, input);
  }
  std::filesystem::path Config() const { return dir / "config"; }
  std::string File(std::string_view name) const { return (dir / name).string(); }

  // The results of `analyze --json`, by "analyzer file" as given.
  std::map<std::string, Json> Analyze(std::vector<std::string> arguments, int expectedExit = 0) {
    arguments.insert(arguments.begin(), {"analyze", "--json"});
    ToolRun const run = Quillan(arguments);
    EXPECT_EQ(run.exitCode, expectedExit) << run.err;
    std::map<std::string, Json> results;
    Json const output = Json::parse(run.out);
    for (Json const& result : output["results"]) {
      // A file that is not analysed (unreadable, or not media) has one row, under "-".
      std::string const analyzer = result["analyzer"].is_string() ? result["analyzer"].get<std::string>() : "-";
      results[analyzer + " " + result["file"].get<std::string>()] = result;
    }
    return results;
  }

  std::uint64_t ManagedItems() {
    ToolRun const run = Quillan({"cache", "stats", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return static_cast<std::uint64_t>(Json::parse(run.out)["items"].get<double>());
  }

  testsupport::TempDirectory dir;
};

TEST_F(QuillanToolTest, AnalyzeComputesThenServesTheSecondRunFromTheSidecar) {
  WriteSine(dir / "tone.wav", 0.1);
  // Only type-0 analyzers run unasked; the module's type-7 one does not.
  auto const first = Analyze({"--plugin", QUILLAN_TYPE_SEVEN_MODULE_PATH, File("tone.wav")});
  ASSERT_EQ(first.size(), 8u);
  ASSERT_TRUE(std::filesystem::exists(dir / "tone.qvmi"));
  // A sidecar named among the media (a glob such as dir/* does) is skipped: it would be its own sidecar.
  auto const second = Analyze({File("tone.wav"), File("tone.qvmi")});
  ASSERT_EQ(second.size(), 8u);
  for (std::string const name : {"digest", "peaks", "loudness", "scenes", "silence", "beats", "black", "freeze"}) {
    SCOPED_TRACE(name);
    Json const& computed = first.at(name + (" " + File("tone.wav")));
    Json const& cached = second.at(name + (" " + File("tone.wav")));
    if (ReadsPictures(name)) {  // a sound has no pictures: nothing computed, nothing stored
      EXPECT_EQ(computed["status"].get<std::string>(), "not applicable");
      EXPECT_EQ(cached["status"].get<std::string>(), "not applicable");
      continue;
    }
    EXPECT_EQ(computed["status"].get<std::string>(), "computed");
    EXPECT_EQ(cached["status"].get<std::string>(), "cached");
    EXPECT_EQ(computed["analyzerId"].get<std::string>(), IdOf(name));
    EXPECT_EQ(computed["contentState"].get<std::string>().size(), 36u);
    EXPECT_EQ(cached["contentState"].get<std::string>(), computed["contentState"].get<std::string>());
    EXPECT_EQ(Keys(cached["result"]["fields"]), Keys(computed["result"]["fields"]));
    EXPECT_EQ(cached["result"]["name"].get<std::string>(), name);
  }
  std::string const tone = " " + File("tone.wav");
  // The debug switch of the command line makes every load miss.
  ToolRun const ignoring = Quillan(
      {"--debug", "ZELSE.IgnoreAnalyzerCache=true", "analyze", "--json", "--analyzer", "digest", File("tone.wav")});
  EXPECT_EQ(Json::parse(ignoring.out)["results"].at(0)["status"].get<std::string>(), "computed");
  EXPECT_EQ(first.at("digest" + tone)["result"]["fields"]["sha256"].get<std::string>().size(), 64u);
  EXPECT_EQ(second.at("digest" + tone)["result"]["fields"]["sha256"].get<std::string>(),
            first.at("digest" + tone)["result"]["fields"]["sha256"].get<std::string>());
  EXPECT_NEAR(first.at("loudness" + tone)["result"]["fields"]["integrated"].get<double>(), -20.0, 0.3);
  Json const& peaks = first.at("peaks" + tone)["result"]["fields"];
  EXPECT_EQ(peaks["channels"].get<double>(), 2);
  EXPECT_EQ(peaks["peakCount"].get<double>(), 188);  // 48000 frames in runs of 256
  EXPECT_NEAR(peaks["maxPeak"].at(1).get<double>(), 0.1, 1e-3);

  // A parameter keys its own result; a bad one fails without caching anything; unreadable files fail as such.
  testsupport::WriteFile(dir / "text.wav", std::string("not a sound"));
  // A file name need not be UTF-8 nor printable; the JSON stays valid all the same.
  auto const mixed = Analyze({"--analyzer", "peaks", "--param", "peaks=100", File("tone.wav"), File("text.wav"),
                              File("missing.wav"), File("odd\xff\n\".wav")},
                             1);
  Json const& odd = mixed.at("- " + File("odd\xef\xbf\xbd\n\".wav"));
  EXPECT_EQ(odd["status"].get<std::string>(), "failed");
  EXPECT_NE(odd["message"].get<std::string>().find("odd\xef\xbf\xbd\n\".wav"), std::string::npos);
  EXPECT_EQ(mixed.at("peaks" + tone)["status"].get<std::string>(), "computed");
  EXPECT_EQ(mixed.at("peaks" + tone)["parameter"].get<std::string>(), "100");
  EXPECT_EQ(mixed.at("peaks" + tone)["result"]["fields"]["peakCount"].get<double>(), 480);
  // A file that cannot be read, or is not media, is one row, whatever the number of analyzers.
  Json const& missing = mixed.at("- " + File("missing.wav"));
  EXPECT_EQ(missing["status"].get<std::string>(), "failed");
  EXPECT_EQ(missing["resultCode"].get<std::string>(), "0xa0000003");
  EXPECT_NE(missing["message"].get<std::string>().find("missing.wav"), std::string::npos);
  EXPECT_EQ(mixed.at("- " + File("text.wav"))["status"].get<std::string>(), "skipped");
  EXPECT_EQ(mixed.at("- " + File("text.wav"))["message"].get<std::string>(), "not a media file");
  auto const zero = Analyze({"--analyzer", "peaks", "--param", "peaks=0", File("tone.wav")}, 1);
  EXPECT_EQ(zero.at("peaks" + tone)["resultCode"].get<std::string>(), "0xa00f000e");
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
      {"managed", false, 8, "cached"},  // the video analyzers keep that they do not apply to a sound
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
      ASSERT_EQ(results.size(), 8u);
      for (auto const& [job, result] : results) EXPECT_EQ(result["status"].get<std::string>(), Expect(job, status));
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
  EXPECT_EQ(again.at("digest " + File("media1.wav"))["status"].get<std::string>(), "computed");
  EXPECT_EQ(Quillan({"cache", "path"}).out, (dir / "cache" / "AnalyzerCache").string() + "\n");
}

TEST_F(QuillanToolTest, CorruptSidecarIsReportedByVerifyAndReplacedByTheNextAnalysis) {
  std::string const media = File("clip.wav");
  testsupport::WriteNoiseWav(media, 400, 1);
  testsupport::WriteNoiseWav(dir / "other.wav", 400, 2);
  Analyze({"--analyzer", "digest", media, File("other.wav")});
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
  EXPECT_EQ(redone.at("digest " + media)["status"].get<std::string>(), "computed");
  ToolRun const good = Quillan({"sidecar", "verify", File("clip.qvmi")});
  EXPECT_EQ(good.exitCode, 0) << good.out;
  EXPECT_EQ(Analyze({"--analyzer", "digest", media}).at("digest " + media)["status"].get<std::string>(), "cached");
}

TEST_F(QuillanToolTest, SidecarGetReturnsTheBytesAnalyzeStored) {
  WriteSine(dir / "tone.wav", 0.25);
  auto const results = Analyze({"--analyzer", "digest", "--analyzer", "peaks", File("tone.wav")});
  std::string const tone = " " + File("tone.wav");
  std::string const dataSource = results.at("digest" + tone)["contentState"].get<std::string>();

  ToolRun const dump = Quillan({"sidecar", "dump", "--json", File("tone.qvmi")});
  ASSERT_EQ(dump.exitCode, 0) << dump.err;
  Json const container = Json::parse(dump.out);
  ASSERT_EQ(Keys(container), (std::vector<std::string>{"schema", "items"}));
  ASSERT_EQ(container["items"].size(), 2u);
  for (Json const& item : container["items"]) {
    EXPECT_EQ(Keys(item), (std::vector<std::string>{"analyzer", "analyzerId", "dataSource", "values"}));
    EXPECT_EQ(item["dataSource"].get<std::string>(), dataSource);
    ASSERT_EQ(item["values"].size(), 1u);
    Json const& value = item["values"][0];
    EXPECT_EQ(Keys(value), (std::vector<std::string>{"key", "size", "result"}));

    std::vector<std::string> get = {"sidecar",
                                    "get",
                                    File("tone.qvmi"),
                                    "--analyzer",
                                    item["analyzerId"].get<std::string>(),
                                    "--data-source",
                                    dataSource,
                                    "--key",
                                    value["key"].get<std::string>()};
    ToolRun const raw = Quillan(get);
    ASSERT_EQ(raw.exitCode, 0) << raw.err;
    EXPECT_EQ(raw.out.size(), value["size"].get<double>());
    get.insert(get.end(), {"-o", File("value.bin"), "-y"});
    ASSERT_EQ(Quillan(get).exitCode, 0);
    EXPECT_EQ(testsupport::ReadFile(dir / "value.bin"), raw.out);

    zelcore::Blob const blob = testsupport::MakeBlob(raw.out);
    if (item["analyzerId"].get<std::string>() == IdOf("digest")) {
      EXPECT_EQ(Examples::DigestToHex(blob),
                results.at("digest" + tone)["result"]["fields"]["sha256"].get<std::string>());
    } else {
      EXPECT_EQ(item["analyzerId"].get<std::string>(), IdOf("peaks"));
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
  // Analyzers that are not registered: their values are described by their size.
  auto const sized = [](char const* id, int size) {
    return std::string("\"result\":{\"name\":\"") + id + "\",\"summary\":\"" + std::to_string(size) +
           " bytes\",\"fields\":{\"size\":" + std::to_string(size) + "},\"units\":{\"size\":\"bytes\"}}";
  };
  char const* const lowId = "00000000-0000-0000-0000-0000000000aa";
  char const* const highId = "ff000000-0000-0000-0000-000000000001";
  EXPECT_EQ(dump.out,
            std::string("{\"schema\":1,\"items\":[") + "{\"analyzer\":\"" + lowId + "\",\"analyzerId\":\"" + lowId +
                "\",\"dataSource\":\"caf\xc3\xa9\",\"values\":[" + "{\"key\":\"bad\xef\xbf\xbd\",\"size\":1," +
                sized(lowId, 1) + "}," + "{\"key\":\"ctl\\n\\t\\u0001\",\"size\":0," + sized(lowId, 0) + "}," +
                "{\"key\":\"quote\\\"back\\\\slash\",\"size\":3," + sized(lowId, 3) + "}]}," + "{\"analyzer\":\"" +
                highId + "\",\"analyzerId\":\"" + highId + "\",\"dataSource\":\"source \\\"two\\\"\",\"values\":[" +
                "{\"key\":\"z\",\"size\":2," + sized(highId, 2) + "}]}]}\n");
  // A GUID needs no registered analyzer; the item's only value needs no --data-source or --key.
  ToolRun const value = Quillan({"sidecar", "get", File("made.qvmi"), "--analyzer", highId});
  EXPECT_EQ(value.exitCode, 0) << value.err;
  EXPECT_EQ(value.out, "12");
  ToolRun const several = Quillan({"sidecar", "get", File("made.qvmi"), "--analyzer", lowId});
  EXPECT_EQ(several.exitCode, 2);
  EXPECT_NE(several.err.find("give --key, one of:\n  bad"), std::string::npos) << several.err;
  // A JSON reader gets the same texts back (the file's decoder already made the stray byte U+FFFD).
  Json const parsed = Json::parse(dump.out);
  EXPECT_EQ(parsed["items"][0]["values"][1]["key"].get<std::string>(), std::string("ctl\n\t\x01", 6));
  EXPECT_EQ(parsed["items"][0]["dataSource"].get<std::string>(), "caf\xc3\xa9");
}

TEST_F(QuillanToolTest, ReadOnlySettingsAreReportedAndNothingIsWritten) {
  std::string const media = File("media.wav");
  testsupport::WriteNoiseWav(media, 400, 3);
  // The location that reads but never writes, persisted.
  ASSERT_EQ(Quillan({"config", "set", "cache-location", "read-only"}).exitCode, 0);
  EXPECT_EQ(Quillan({"config", "get", "cache-location"}).out, "read-only\n");
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(Analyze({"--analyzer", "digest", media}).at("digest " + media)["status"].get<std::string>(), "computed");
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
    std::vector<Json> lines;
    std::istringstream out(run.out);
    for (std::string line; std::getline(out, line);) lines.push_back(Json::parse(line));
    ASSERT_EQ(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[0]["status"].get<std::string>(), "computed");
    for (std::size_t i : {1, 2}) {
      EXPECT_EQ(lines[i]["status"].get<std::string>(), "failed") << run.out;
      EXPECT_EQ(lines[i]["resultCode"].get<std::string>(), "0xa00f0007");
      EXPECT_EQ(lines[i]["message"].get<std::string>(), "cancelled");  // the same word, whoever noticed first
    }
    // One message, however many jobs it cancels.
    EXPECT_EQ(run.err, "quillan: interrupted; cancelling the running jobs\n");
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
      {{"analyze", "--analyzer", "digest", "--param", "digets=4", media}, "did you mean \"digest\"?"},
      {{"analyze", "--cache-location", "nowhere", media}, "cache location must be"},
      {{"analyze", "--format", "xml", media}, "--format: xml not in {csv,json,ndjson,table}"},
      {{"analyze", "-j", "0", media}, "--jobs: Value 0 not in range 1 to 1024"},
      {{"analyze", "--json=yes", media}, "disallowed flag override"},
      {{"analyze", media, "--analyzer"}, "--analyzer: 1 required NAME missing"},
      {{"sidecar", "get", File("x.qvmi"), "--analyzer", "zz"}, "unknown analyzer \"zz\""},
      {{"sidecar", "get", File("x.qvmi"), "--key", "k"}, "--analyzer is required"},
      {{"sidecar", "verify"}, "FILE is required"},
      {{"cache", "stats", "extra"}, "unexpected argument extra"},
      {{"config", "set", "cache-location", "sideways"},
       "cache-location cannot be \"sideways\"; allowed values: sidecar, managed, read-only"},
      {{"config", "set", "cache-location", "7"}, "cache-location cannot be \"7\""},
      {{"config", "set", "cache-location", "sidecra"}, "did you mean \"sidecar\"?"},
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
  ToolRun const help = RunTool({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (char const* command : {"analyze, analyse", "analyzers", "sidecar", "cache", "config", "help"}) {
    EXPECT_NE(help.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;
  }
  ToolRun const listed = Quillan(
      {"analyzers", "--json", "--plugin", QUILLAN_EXAMPLES_MODULE_PATH, "--plugin", QUILLAN_TYPE_SEVEN_MODULE_PATH});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  Json const analyzers = Json::parse(listed.out)["analyzers"];
  ASSERT_EQ(analyzers.size(), 9u);
  // Listed from the registry under its GUID, though its factory builds nothing to ask for a name.
  Json const& typeSeven = analyzers.front();
  EXPECT_EQ(typeSeven["name"].get<std::string>(), "7e57a7e5-0000-4000-8000-000000000007");
  EXPECT_EQ(typeSeven["id"].get<std::string>(), "7e57a7e5-0000-4000-8000-000000000007");
  EXPECT_EQ(typeSeven["type"].get<double>(), 7);
  EXPECT_EQ(typeSeven["target"].get<std::string>(), "unknown");
  for (Json const& analyzer : std::vector<Json>(analyzers.begin() + 1, analyzers.end())) {
    EXPECT_EQ(analyzer["type"].get<double>(), 0);
    EXPECT_EQ(analyzer["id"].get<std::string>(), IdOf(analyzer["name"].get<std::string>()));
    EXPECT_EQ(analyzer["target"].get<std::string>(), "media");
    if (analyzer["name"].get<std::string>() == "peaks" || ReadsPictures(analyzer["name"].get<std::string>())) {
      EXPECT_EQ(analyzer["maxJobs"].get<double>(), 2);
    } else {
      EXPECT_TRUE(analyzer["maxJobs"].is_null());
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
    EXPECT_EQ(second.at(job)["status"].get<std::string>(), "computed");
    EXPECT_NE(second.at(job)["contentState"].get<std::string>(), first.at(job)["contentState"].get<std::string>());
  }
  EXPECT_NE(second.at("digest " + clip)["result"]["fields"]["sha256"].get<std::string>(),
            first.at("digest " + clip)["result"]["fields"]["sha256"].get<std::string>());
  EXPECT_NEAR(first.at("peaks " + tone)["result"]["fields"]["maxPeak"].at(0).get<double>(), 0.1, 1e-3);
  EXPECT_EQ(second.at("peaks " + tone)["result"]["fields"]["maxPeak"].at(0).get<double>(), 1.0);

  // A copy is the same content: the managed cache, keyed by content, serves it.
  testsupport::WriteNoiseWav(dir / "fresh.wav", 300'000, 10);
  Analyze({"--cache-location", "managed", "--analyzer", "digest", File("fresh.wav")});
  std::filesystem::copy_file(dir / "fresh.wav", dir / "copy.wav");
  auto const copy = Analyze({"--cache-location", "managed", "--analyzer", "digest", File("copy.wav")});
  EXPECT_EQ(copy.at("digest " + File("copy.wav"))["status"].get<std::string>(), "cached");
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
    Json const output = Json::parse(run.out);
    for (Json const& result : output["results"]) {
      EXPECT_EQ(result["status"].get<std::string>(), Expect(result["analyzer"].get<std::string>(), status));
    }
  }

  // Managed runs say so once, serve what the sidecar holds, and fail the files whose results they cannot keep.
  WriteSine(dir / "new.wav", 0.3);
  ToolRun const managed = Quillan({"analyze", "--json", "--cache-location", "managed", tone, File("new.wav")});
  EXPECT_EQ(managed.exitCode, 1) << managed.err;
  std::size_t const warning = managed.err.find("warning: the managed cache cannot be used");
  ASSERT_NE(warning, std::string::npos) << managed.err;
  EXPECT_EQ(managed.err.find("warning", warning + 1), std::string::npos) << managed.err;
  Json const output = Json::parse(managed.out);
  for (Json const& result : output["results"]) {
    bool const known = result["file"].get<std::string>() == tone;
    EXPECT_EQ(result["status"].get<std::string>(),
              Expect(result["analyzer"].get<std::string>(), known ? "cached" : "computed"));
    if (!known && !ReadsPictures(result["analyzer"].get<std::string>())) {
      EXPECT_FALSE(result["stored"].get<bool>());
      EXPECT_NE(result["notStored"].get<std::string>(), "");
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
      for (auto const& [job, result] : results) EXPECT_EQ(result["status"].get<std::string>(), Expect(job, "cached"));
    }
  }
  ToolRun const stats = Quillan({"cache", "stats", "--json"});
  Json const limits = Json::parse(stats.out);
  EXPECT_EQ(limits["bound"].get<double>(), 5368709120.0);
  EXPECT_EQ(limits["freeSpaceTarget"].get<double>(), static_cast<double>((64u << 20) / 20));
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
  Json const output = Json::parse(run.out);
  for (Json const& result : output["results"]) {
    EXPECT_EQ(result["status"].get<std::string>(), "computed") << result["file"].get<std::string>();
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
        EXPECT_EQ(result["status"].get<std::string>(), "failed");
      } else {
        EXPECT_EQ(result["status"].get<std::string>(), expected) << label;
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
  std::string const state = results.at("peaks " + File("tone.wav"))["contentState"].get<std::string>();
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
  EXPECT_EQ(again.at("peaks " + File("tone.wav"))["status"].get<std::string>(), "computed");
  EXPECT_LE(again.at("peaks " + File("tone.wav"))["result"]["fields"]["channels"].get<double>(), 2);

  testsupport::WriteFile(dir / "tone.qvmi", std::string());
  std::filesystem::resize_file(dir / "tone.qvmi", std::uintmax_t{2} << 30);
  ToolRun const verify = Quillan({"sidecar", "verify", File("tone.qvmi")});
  EXPECT_EQ(verify.exitCode, 1);
  EXPECT_NE(verify.out.find("too large for the format"), std::string::npos) << verify.out;
  ToolRun const analyze = Quillan({"analyze", "--json", "--analyzer", "digest", File("tone.wav")});
  EXPECT_EQ(analyze.exitCode, 0) << analyze.err;
  EXPECT_NE(analyze.err.find("too large"), std::string::npos) << analyze.err;
  EXPECT_EQ(std::filesystem::file_size(dir / "tone.qvmi"), std::uintmax_t{2} << 30);

  // Within the format, over the load bound (256 MiB unless the user sets one): refused before it is read.
  std::filesystem::resize_file(dir / "tone.qvmi", std::uintmax_t{300} << 20);
  ToolRun const bounded = Quillan({"sidecar", "dump", File("tone.qvmi")});
  EXPECT_EQ(bounded.exitCode, 1);
  EXPECT_NE(bounded.err.find("SidecarMaxLoadBytes"), std::string::npos) << bounded.err;
}

// Inputs that stand for something else get no sidecar: /dev/stdin (here a regular file behind it) and devices.
TEST_F(QuillanToolTest, StandardInputAndDevicesGetNoSidecar) {
  WriteSine(dir / "tone.wav", 0.1);
  ToolRun const run =
      Quillan({"analyze", "--json", "--analyzer", "digest", "/dev/stdin", "/dev/null"}, {}, File("tone.wav"));
  EXPECT_EQ(run.exitCode, 1) << run.err;
  auto const results = Json::parse(run.out)["results"];
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0]["status"].get<std::string>(), "computed");
  EXPECT_EQ(results[1]["status"].get<std::string>(), "failed");
  EXPECT_FALSE(std::filesystem::exists("/dev/stdin.qvmi"));
  EXPECT_FALSE(std::filesystem::exists("/dev/null.qvmi"));
  EXPECT_EQ(run.err.find("could not be saved"), std::string::npos) << run.err;
}

// A module's analyzer describes its own results, and every format carries the description: the table its summary,
// JSON and NDJSON its fields and units, CSV all of it in quoted fields. The example analyzers' values come the same
// way.
TEST_F(QuillanToolTest, EveryFormatShowsThePluginsDescribedResult) {
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i % 256);  // 1000 bytes that sum to 124716
  testsupport::WriteFile(dir / "bytes.bin", bytes);
  WriteSine(dir / "tone.wav", 0.1);
  std::vector<std::string> const common = {"--plugin",
                                           QUILLAN_DESCRIBED_MODULE_PATH,
                                           "-a",
                                           "byte-sum",
                                           "-a",
                                           "digest",
                                           "-a",
                                           "loudness",
                                           File("bytes.bin"),
                                           File("tone.wav")};
  auto run = [&](std::string const& format) {
    std::vector<std::string> arguments = {"analyze", "--format", format};
    arguments.insert(arguments.end(), common.begin(), common.end());
    ToolRun result = Quillan(arguments);
    // bytes.bin is not media: the module's analyzer reads it, the media analyzers do not apply, nothing failed.
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result;
  };

  Json const json = Json::parse(run("json").out);
  EXPECT_EQ(json["schema"], 1);
  ASSERT_EQ(json["results"].size(), 6u);
  Json const& sum = json["results"][0];
  EXPECT_EQ(sum["analyzer"], "byte-sum");
  EXPECT_EQ(sum["analyzerId"], "7e57a7e5-0000-4000-8000-0000000000b5");
  EXPECT_EQ(sum["result"]["name"], "byte-sum");
  EXPECT_EQ(sum["result"]["summary"], "1000 bytes, \"sum\" 124716");
  EXPECT_EQ(sum["result"]["fields"]["bytes"], 1000);
  EXPECT_EQ(sum["result"]["fields"]["sum"], 124716);
  EXPECT_EQ(sum["result"]["units"], Json({{"bytes", "bytes"}}));
  Json const& loudness = json["results"][5];
  EXPECT_EQ(loudness["file"], File("tone.wav"));
  EXPECT_NEAR(loudness["result"]["fields"]["integrated"].get<double>(), -20.0, 0.3);
  EXPECT_EQ(loudness["result"]["units"]["integrated"], "LUFS");
  EXPECT_EQ(json["results"][4]["result"]["fields"]["sha256"].get<std::string>().size(), 64u);
  EXPECT_EQ(json["results"][1]["status"], "not applicable");
  EXPECT_EQ(json["results"][2]["status"], "not applicable");

  // NDJSON: the same objects, one per line, each with the schema; the same set of rows in any order.
  std::vector<Json> const lines = NdjsonLines(run("ndjson").out);
  ASSERT_EQ(lines.size(), 6u);
  std::map<std::string, Json> byJob;
  for (Json line : lines) {
    EXPECT_EQ(line["schema"], 1);
    line.erase("schema");
    byJob[line["analyzer"].get<std::string>() + " " + line["file"].get<std::string>()] = line;
  }
  for (Json const& result : json["results"]) {
    auto const found = byJob.find(result["analyzer"].get<std::string>() + " " + result["file"].get<std::string>());
    ASSERT_NE(found, byJob.end());
    // The cached result is the same value, told as cached.
    Json expected = result;
    if (expected["status"] == "computed" && result["analyzer"] != "byte-sum") expected["status"] = "cached";
    EXPECT_EQ(found->second, expected);
  }

  auto const records = CsvRecords(run("csv").out);
  ASSERT_EQ(records.size(), 6u);
  EXPECT_EQ(records[0].at("schema"), "1");
  EXPECT_EQ(records[0].at("file"), File("bytes.bin"));
  EXPECT_EQ(records[0].at("summary"), "1000 bytes, \"sum\" 124716");
  EXPECT_EQ(Json::parse(records[0].at("fields")), json["results"][0]["result"]["fields"]);
  EXPECT_EQ(Json::parse(records[0].at("units")), json["results"][0]["result"]["units"]);
  EXPECT_EQ(records[2].at("status"), "not applicable");
  EXPECT_EQ(records[2].at("resultCode"), json["results"][2]["resultCode"]);
  EXPECT_EQ(records[5].at("summary"), json["results"][5]["result"]["summary"]);

  ToolRun const table = run("table");
  EXPECT_NE(table.out.find("1000 bytes, \"sum\" 124716"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("sha256 " + json["results"][4]["result"]["fields"]["sha256"].get<std::string>()),
            std::string::npos)
      << table.out;

  // Stored results read back described too, and `sidecar get` takes the analyzer's name.
  ToolRun const dump = Quillan({"sidecar", "dump", "--json", File("tone.qvmi")});
  ASSERT_EQ(dump.exitCode, 0) << dump.err;
  Json const items = Json::parse(dump.out)["items"];
  ASSERT_EQ(items.size(), 2u);
  for (Json const& item : items) {
    Json const& expected = item["analyzer"] == "digest" ? json["results"][4] : json["results"][5];
    EXPECT_EQ(item["values"][0]["result"], expected["result"]);
  }
  ToolRun const raw = Quillan({"sidecar", "get", File("tone.qvmi"), "--analyzer", "digest"});
  ASSERT_EQ(raw.exitCode, 0) << raw.err;
  EXPECT_EQ(Examples::DigestToHex(testsupport::MakeBlob(raw.out)), json["results"][4]["result"]["fields"]["sha256"]);
}

// A module whose registration throws ends the tool with exit 2 and the module's own message.
TEST_F(QuillanToolTest, AModuleThatCannotRegisterEndsTheToolCleanly) {
  WriteSine(dir / "tone.wav", 0.1);
  for (std::string const command : {"analyze", "analyzers"}) {
    std::vector<std::string> arguments = {command, "--plugin", QUILLAN_THROWING_MODULE_PATH};
    if (command == "analyze") arguments.push_back(File("tone.wav"));
    ToolRun const run = Quillan(arguments);
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find("the test module refuses to register"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("terminate called"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "tone.qvmi"));
  ToolRun const missing = Quillan({"analyzers", "--plugin", File("none.so")});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.err.find("cannot load analyzer module"), std::string::npos) << missing.err;
}

// Folders give their media files (all levels with -r), sidecars left out; -j and --order change when jobs run, never
// what they give or the order of the JSON.
TEST_F(QuillanToolTest, FoldersAndParallelJobsGiveTheSameResults) {
  std::filesystem::create_directories(dir / "media" / "sub");
  WriteSine(dir / "media" / "long.wav", 0.2, 3);
  WriteSine(dir / "media" / "sub" / "short.wav", 0.3, 1);
  std::filesystem::create_directories(dir / "media" / "sub" / "deeper");
  testsupport::WriteNoiseWav(dir / "media" / "sub" / "deeper" / "noise.wav", 100, 1);
  testsupport::WriteFile(dir / "media" / "old.qvmi", std::string("not media"));
  std::string const folder = (dir / "media").string();
  auto files = [](Json const& results) {
    std::vector<std::string> names;
    for (Json const& result : results) names.push_back(result["file"]);
    return names;
  };

  ToolRun const flat = Quillan({"analyze", "--json", "-a", "digest", "--cache-location", "read-only", folder});
  EXPECT_EQ(flat.exitCode, 0) << flat.err;
  EXPECT_EQ(files(Json::parse(flat.out)["results"]), std::vector<std::string>{File("media/long.wav")});

  std::map<std::string, Json> byJobs;
  for (std::string const jobs : {"1", "4"}) {
    ToolRun const run = Quillan({"analyze", "--json", "-r", "-j", jobs, "-a", "digest", "-a", "peaks", "-a", "silence",
                                 "--cache-location", "read-only", folder});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    byJobs[jobs] = Json::parse(run.out)["results"];
  }
  std::vector<std::string> expected;
  for (char const* name : {"media/long.wav", "media/sub/deeper/noise.wav", "media/sub/short.wav"}) {
    for (int i = 0; i < 3; ++i) expected.push_back(File(name));
  }
  EXPECT_EQ(files(byJobs["1"]), expected);
  EXPECT_EQ(byJobs["1"], byJobs["4"]);
  EXPECT_EQ(byJobs["1"][0]["status"], "computed");
  EXPECT_FALSE(std::filesystem::exists(dir / "media" / "long.qvmi"));

  // One at a time, NDJSON shows the order jobs ran in: the smallest file first, or as given.
  struct Case {
    char const* order;
    std::vector<std::string> files;
  };
  Case const cases[] = {
      {"shortest", {File("media/sub/deeper/noise.wav"), File("media/sub/short.wav"), File("media/long.wav")}},
      {"given", {File("media/long.wav"), File("media/sub/deeper/noise.wav"), File("media/sub/short.wav")}},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.order);
    ToolRun const run = Quillan({"analyze", "--format", "ndjson", "-r", "-j", "1", "--order", c.order, "-a", "digest",
                                 "--cache-location", "read-only", folder});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::vector<std::string> order;
    for (Json const& line : NdjsonLines(run.out)) order.push_back(line["file"]);
    EXPECT_EQ(order, c.files);
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
TEST_F(QuillanToolTest, ProgressIsDrawnOnlyOnATerminalAndFitsIt) {
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

// The help of every command describes each of its options; the man page and the completion are made from the same
// command line, and the completion completes commands, options and their values in a real bash.
TEST_F(QuillanToolTest, HelpManPageAndCompletionDescribeEveryCommand) {
  ToolRun const help = Quillan({"help", "analyze"});
  ASSERT_EQ(help.exitCode, 0) << help.err;
  EXPECT_EQ(Quillan({"analyse", "--help"}).out, help.out);
  EXPECT_EQ(Quillan({"analyze", "-h"}).out, help.out);
  for (char const* option : {"--analyzer", "--param", "--cache-location", "--format", "--json", "--jobs", "--order",
                             "--recursive", "--no-progress", "--plugin", "--help"}) {
    std::size_t const at = help.out.find(std::string(option));
    ASSERT_NE(at, std::string::npos) << option;
    std::string const line = help.out.substr(at, help.out.find('\n', at) - at);
    EXPECT_GT(line.size(), 34u) << "no description: " << line;
  }
  EXPECT_NE(Quillan({"help", "sidecar", "get"}).out.find("--data-source"), std::string::npos);
  EXPECT_EQ(Quillan({"help"}).out, Quillan({"--help"}).out);

  std::string const man = testsupport::ReadFile(QUILLAN_MAN_PAGE_PATH);
  EXPECT_TRUE(man.starts_with(".TH QUILLAN 1")) << man.substr(0, 80);
  for (char const* heading : {".SS \"quillan analyze [OPTIONS] FILE...\"", ".SS \"quillan sidecar get [OPTIONS] FILE\"",
                              ".SS \"quillan config list [OPTIONS]\"", "\\fB\\-\\-format\\fR \\fIFORMAT"}) {
    EXPECT_NE(man.find(heading), std::string::npos) << heading;
  }
  EXPECT_EQ(man.find("generate"), std::string::npos);  // the hidden command stays hidden
  // The analyzers and their parameters' settings.
  for (char const* entry : {".SH ANALYZERS", ".TP\n\\fBsilence\\fR\nsilent ranges of the audio.\n",
                            ".TP\n\\fBthreshold\\fR\n\\-60 dBFS by default, \\-200 to 0: ",
                            ".TP\n\\fBdigest\\fR\nSHA\\-256 of the file's bytes; no parameters.\n"}) {
    EXPECT_NE(man.find(entry), std::string::npos) << entry;
  }

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
      {"quillan analyze --analyzer ", {"beats", "black", "digest", "freeze", "loudness", "peaks", "scenes", "silence"}},
      {"quillan analyze -p sil", {"silence="}},
      {"quillan analyse x.wav --param ",
       {"beats=", "black=", "digest=", "freeze=", "loudness=", "peaks=", "scenes=", "silence="}},
      {"quillan help ana", {"analyze", "analyse", "analyzers"}},
      {"quillan help sidecar g", {"get"}},
      {"quillan config get ", {"cache-location", "cache-size"}},
      {"quillan --cache-dir x config set cache-s", {"cache-size"}},
      {"quillan export x.mkv --to ", {"ffmetadata", "webvtt", "mlt", "otio", "edl", "csv", "ndjson"}},
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

// Settings: `config list` tells where each value comes from; values the setting does not know are refused above;
// unknown debug keys warn and are set all the same.
TEST_F(QuillanToolTest, ConfigListShowsEachSettingsSource) {
  auto setting = [&](std::string const& name) {
    ToolRun const run = Quillan({"config", "list", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    Json const list = Json::parse(run.out);
    for (Json const& entry : list["settings"]) {
      if (entry["name"] == name) return entry;
    }
    ADD_FAILURE() << "no setting " << name;
    return Json();
  };
  EXPECT_EQ(setting("cache-location"),
            Json({{"name", "cache-location"}, {"value", "sidecar"}, {"source", "default"}, {"readOnly", false}}));
  EXPECT_EQ(setting("settings-file")["value"], (Config() / "properties").string());
  EXPECT_EQ(setting("settings-file")["source"], "--config-dir");
  ASSERT_EQ(Quillan({"config", "set", "cache-location", "managed"}).exitCode, 0);
  EXPECT_EQ(setting("cache-location")["value"], "managed");
  EXPECT_EQ(setting("cache-location")["source"], "settings file");
  auto const csv = CsvRecords(Quillan({"config", "list", "--format", "csv"}).out);
  ASSERT_EQ(csv.size(), 4u);
  EXPECT_EQ(csv[0].at("source"), "settings file");
  EXPECT_EQ(csv[1].at("source"), "default");

  ToolRun const debug = Quillan({"--debug", "ZELSE.IgnoreAnalyzerCach=true", "config", "get", "cache-location"});
  EXPECT_EQ(debug.exitCode, 0);
  EXPECT_EQ(debug.out, "managed\n");
  EXPECT_NE(debug.err.find("warning: unknown debug entry \"ZELSE.IgnoreAnalyzerCach\"; did you mean "
                           "\"ZELSE.IgnoreAnalyzerCache\"?"),
            std::string::npos)
      << debug.err;
  EXPECT_EQ(Quillan({"--debug", "ZELSE.IgnoreAnalyzerCache=true", "config", "get", "cache-location"}).err, "");
}

TEST_F(QuillanToolTest, TheCacheSizeSettingBoundsTheManagedCacheAndPruneRemovesTheLeastRecentlyUsed) {
  WriteSine(dir / "a.wav", 0.1);
  WriteSine(dir / "b.wav", 0.2);
  // Refused sizes and rules are usage errors and change nothing.
  for (std::vector<std::string> const& refused : {std::vector<std::string>{"config", "set", "cache-size", "12"},
                                                  {"config", "set", "cache-size", "lots"},
                                                  {"cache", "prune"},
                                                  {"cache", "prune", "--older-than", "30"},
                                                  {"cache", "prune", "--to-size", "-1G"}}) {
    ToolRun const run = Quillan(refused);
    EXPECT_EQ(run.exitCode, 2) << refused.back() << ": " << run.err;
  }
  EXPECT_EQ(Quillan({"config", "get", "cache-size"}).out, "5.0 GiB\n");

  ASSERT_EQ(Quillan({"config", "set", "cache-size", "2G"}).exitCode, 0);
  EXPECT_EQ(Quillan({"config", "get", "cache-size"}).out, "2.0 GiB\n");
  Json const listed = Json::parse(Quillan({"config", "list", "--format", "json"}).out);
  EXPECT_EQ(listed["settings"][1],
            Json({{"name", "cache-size"}, {"value", "2.0 GiB"}, {"source", "settings file"}, {"readOnly", false}}));

  auto const analyze = [&](std::string const& file) {
    return Analyze({"--cache-location", "managed", "--analyzer", "digest", "--analyzer", "peaks", File(file)});
  };
  analyze("a.wav");
  analyze("b.wav");
  Json const stats = Json::parse(Quillan({"cache", "stats", "--format", "json"}).out);
  EXPECT_EQ(stats["items"], 4);
  EXPECT_EQ(stats["bound"], 2147483648u);
  EXPECT_GE(stats["diskBytes"].get<std::uint64_t>(), stats["storedBytes"].get<std::uint64_t>());

  // Nothing is a day old; a size that holds only the newest results keeps b's and drops a's.
  Json const young = Json::parse(Quillan({"cache", "prune", "--older-than", "1d", "--format", "json"}).out);
  EXPECT_EQ(young["removedItems"], 0);
  analyze("b.wav");  // read again: b's results are the most recently used
  std::uint64_t const bytes = stats["storedBytes"].get<std::uint64_t>();
  ToolRun const pruned = Quillan({"cache", "prune", "--to-size", std::to_string(bytes / 2 + 1), "--format", "json"});
  ASSERT_EQ(pruned.exitCode, 0) << pruned.err;
  EXPECT_EQ(Json::parse(pruned.out)["removedItems"], 2);
  for (auto const& [job, result] : analyze("b.wav")) EXPECT_EQ(result["status"], "cached") << job;
  for (auto const& [job, result] : analyze("a.wav")) EXPECT_EQ(result["status"], "computed") << job;

  // Cleared, the database gives its space back: its files are those of an empty database (seven 16 KiB pages, the
  // log's 32 KiB index and an empty log; earlier runs emptied the log when they closed the database).
  Json const cleared = Json::parse(Quillan({"cache", "clear", "--format", "json"}).out);
  EXPECT_EQ(cleared["removedItems"], 4);
  EXPECT_TRUE(cleared["spaceReturned"].get<bool>());
  EXPECT_LE(cleared["diskBytesAfter"].get<std::uint64_t>(), cleared["diskBytesBefore"].get<std::uint64_t>());
  EXPECT_EQ(cleared["diskBytesAfter"].get<std::uint64_t>(), 7u * 16384 + 32768);
  EXPECT_EQ(ManagedItems(), 0u);
}

}  // namespace
}  // namespace Quillan::Cli
