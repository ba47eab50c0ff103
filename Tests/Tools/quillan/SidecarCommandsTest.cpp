#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"
#include "Support/BlobTestUtils.h"
#include "Support/SineWave.h"
#include "Support/TempDirectory.h"
#include "ToolProcess.h"

// The sidecar commands, and what analyze does with sidecars that are damaged, crafted or not files at all.
namespace Quillan::Cli {
namespace {

using testsupport::WriteSine;

class SidecarCommandsTest : public ToolFolderTest {
 protected:
  void WriteSidecar(std::string const& name, std::shared_ptr<SideCarSerializationData> const& data) {
    zelcore::Blob const file = SidecarDataStoreAdaptorSerialization::SerializeDataStoreToBinary(data);
    testsupport::WriteFile(dir / name, std::string_view(reinterpret_cast<char const*>(file->data()), file->size()));
  }
};

TEST_F(SidecarCommandsTest, CorruptSidecarIsReportedByVerifyAndReplacedByTheNextAnalysis) {
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

  EXPECT_EQ(Analyze({"--analyzer", "digest", media}).at("digest " + media)["status"], "computed");
  ToolRun const good = Quillan({"sidecar", "verify", File("clip.qvmi")});
  EXPECT_EQ(good.exitCode, 0) << good.out;
  EXPECT_EQ(Analyze({"--analyzer", "digest", media}).at("digest " + media)["status"], "cached");
}

TEST_F(SidecarCommandsTest, GetReturnsTheBytesAnalyzeStored) {
  WriteSine(dir / "tone.wav", 0.25);
  auto const results = Analyze({"--analyzer", "digest", "--analyzer", "peaks", File("tone.wav")});
  std::string const tone = " " + File("tone.wav");
  std::string const dataSource = results.at("digest" + tone)["contentState"].get<std::string>();

  ToolRun const dump = Quillan({"sidecar", "dump", "--json", File("tone.qvmi")});
  ASSERT_EQ(dump.exitCode, 0) << dump.err;
  Json const container = Json::parse(dump.out);
  ASSERT_EQ(container["items"].size(), 2u);
  for (Json const& item : container["items"]) {
    EXPECT_EQ(item["dataSource"], dataSource);
    ASSERT_EQ(item["values"].size(), 1u);
    Json const& value = item["values"][0];
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
    EXPECT_EQ(raw.out.size(), value["size"]);
    get.insert(get.end(), {"-o", File("value.bin"), "-y"});
    ASSERT_EQ(Quillan(get).exitCode, 0);
    EXPECT_EQ(testsupport::ReadFile(dir / "value.bin"), raw.out);

    zelcore::Blob const blob = testsupport::MakeBlob(raw.out);
    if (item["analyzerId"] == IdOf("digest")) {
      EXPECT_EQ(Examples::DigestToHex(blob), results.at("digest" + tone)["result"]["fields"]["sha256"]);
    } else {
      EXPECT_EQ(item["analyzerId"], IdOf("peaks"));
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

TEST_F(SidecarCommandsTest, DumpJsonIsExactAndEscapesEveryKey) {
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
  WriteSidecar("made.qvmi", data);

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
}

// Cached values are untrusted bytes: one that does not fit its analyzer's layout is computed afresh, and a sidecar
// too large for the format is reported, not read.
TEST_F(SidecarCommandsTest, CraftedCachedValuesAndHugeSidecarsAreNotTrusted) {
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
  WriteSidecar("tone.qvmi", data);
  auto const again = Analyze({"--cache-location", "sidecar", "--analyzer", "peaks", File("tone.wav")});
  EXPECT_EQ(again.at("peaks " + File("tone.wav"))["status"], "computed");
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

// A link, a dangling link or a FIFO where the sidecar would go is never followed, written or waited on; the run
// computes its results and says once, on stderr, that they could not be saved.
TEST_F(SidecarCommandsTest, SidecarPathsThatAreNoFilesAreLeftAloneAndReportedOnce) {
  for (char const* name : {"b.wav", "c.wav", "d.wav"}) WriteSine(dir / name, 0.1);
  std::filesystem::create_symlink("b.wav", dir / "b.qvmi");
  ASSERT_EQ(mkfifo(File("c.qvmi").c_str(), 0600), 0);
  std::filesystem::create_symlink("nowhere.qvmi", dir / "d.qvmi");
  std::string const media = testsupport::ReadFile(dir / "b.wav");

  ToolRun const run = Quillan({"analyze", "--json", "--cache-location", "sidecar", "--analyzer", "digest", "--analyzer",
                               "loudness", File("b.wav"), File("c.wav"), File("d.wav")});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  Json const output = Json::parse(run.out);
  for (Json const& result : output["results"]) EXPECT_EQ(result["status"], "computed") << result["file"];
  EXPECT_EQ(testsupport::ReadFile(dir / "b.wav"), media);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "b.qvmi"));
  EXPECT_FALSE(std::filesystem::exists(dir / "nowhere.qvmi"));
  std::size_t reports = 0;
  for (std::size_t at = 0; (at = run.err.find("could not be saved", at)) != std::string::npos; ++at) ++reports;
  EXPECT_EQ(reports, 1u) << run.err;
  EXPECT_NE(run.err.find("6 results could not be saved"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace Quillan::Cli
