#include "Analyzers/ExampleAnalyzers.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Analyzers/AnalyzerBase.h"
#include "Analyzers/ClipPreparation.h"
#include "Analyzers/ResultDescription.h"
#include "BE/Backend.h"
#include "BE/Preferences.h"
#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Host/AnalyzerCacheLocation.h"
#include "Host/AnalyzerHost.h"
#include "Host/AnalyzerRegistry.h"
#include "SampleMedia/SampleClip.h"
#include "Support/FutureTestUtils.h"
#include "Support/SineWave.h"
#include "Support/TempDirectory.h"
#include "Tools/AnalyzerJobs.h"
#include "zelappsupport/ProgressItem.h"
#include "zelcore/Executor.h"

namespace Quillan::Examples {
namespace {

using testsupport::WriteSine;
using zelcore::InterfaceRef;
using zelcore::async::Future;
using namespace testsupport::jobs;

TEST(ExampleAnalyzersTest, NamesFindRegisteredAnalyzers) {
  std::vector<std::string_view> const names = GetExampleAnalyzerNames();
  ASSERT_FALSE(names.empty());
  // Every name is its own and finds a registered analyzer of its own; every registered one is listed.
  std::vector<zelcore::utility::Guid> ids;
  for (std::string_view const name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(std::count(names.begin(), names.end(), name), 1);
    std::optional<zelcore::utility::Guid> const id = FindExampleAnalyzer(name);
    ASSERT_TRUE(id);
    EXPECT_NO_THROW(AnalyzerRegistry::GetDefaultRegistry()->GetAnalyzerFactory(*id));
    EXPECT_EQ(std::count(ids.begin(), ids.end(), *id), 0);
    ids.push_back(*id);
  }
  EXPECT_EQ(AnalyzerRegistry::GetDefaultRegistry()->GetAnalyzerFactories(AnalyzerType{0}).size(), names.size());
  EXPECT_FALSE(FindExampleAnalyzer("Digest"));
  EXPECT_FALSE(DecodeLoudness(zelcore::allocator::RecycledMemory::Create(23)));
  EXPECT_FALSE(DecodePeakEnvelope(zelcore::allocator::RecycledMemory::Create(31)));
  // An envelope whose peaks do not cover its frames, without a sample rate, starting at no real time or with a min
  // above its max cannot be drawn or timed: such a cached value is computed again.
  struct Envelope {
    std::uint32_t channels, samplesPerPeak, sampleRate, peaks;
    std::uint64_t frames;
    double start;
    float min, max;
    bool decodes;
  };
  double const nan = std::numeric_limits<double>::quiet_NaN();
  Envelope const envelopes[] = {
      {2, 256, 48000, 188, 48000, 0, -0.5f, 0.5f, true},
      {2, 256, 48000, 187, 187 * 256, 1.5, 0.2f, 0.6f, true},
      {1, 256, 48000, 0, 0, 0, 0, 0, true},
      {2, 256, 48000, 188, 187 * 256, 0, 0, 0, false},
      {2, 256, 0, 188, 48000, 0, 0, 0, false},
      {1, 256, 48000, 1, 0, 0, 0, 0, false},
      {2, 256, 48000, 188, ~std::uint64_t{0}, 0, 0, 0, false},
      {2, 256, 48000, 188, 48000, -0.5, 0, 0, false},
      {2, 256, 48000, 188, 48000, nan, 0, 0, false},
      {2, 256, 48000, 188, 48000, 0, 0.5f, -0.5f, false},
  };
  for (Envelope const& e : envelopes) {
    SCOPED_TRACE(testing::Message() << e.peaks << " peaks, " << e.frames << " frames at " << e.sampleRate << " from "
                                    << e.start << ", " << e.min << " to " << e.max);
    std::size_t const values = std::size_t{e.peaks} * e.channels * 2;
    auto blob = zelcore::allocator::RecycledMemory::Create(32 + values * 4);
    std::uint32_t const header[] = {e.channels, e.samplesPerPeak, e.sampleRate, e.peaks};
    std::memcpy(blob->data(), header, sizeof header);
    std::memcpy(blob->data() + 16, &e.frames, sizeof e.frames);
    std::memcpy(blob->data() + 24, &e.start, sizeof e.start);
    for (std::size_t i = 0; i < values; ++i) std::memcpy(blob->data() + 32 + i * 4, i % 2 ? &e.max : &e.min, 4);
    std::optional<PeakEnvelope> const envelope = DecodePeakEnvelope(blob);
    ASSERT_EQ(envelope.has_value(), e.decodes);
    if (envelope && e.peaks > 0) {
      EXPECT_EQ(envelope->startSeconds, e.start);
      EXPECT_EQ(envelope->Min(e.peaks - 1, e.channels - 1), e.min);
      EXPECT_EQ(envelope->Max(e.peaks - 1, e.channels - 1), e.max);
    }
    // One byte more or one less than the counts name.
    for (std::size_t const size : {blob->size() + 1, blob->size() - 1}) {
      auto resized = zelcore::allocator::RecycledMemory::Create(size);
      std::memset(resized->data(), 0, size);
      std::memcpy(resized->data(), blob->data(), std::min(size, blob->size()));
      EXPECT_FALSE(DecodePeakEnvelope(resized)) << size << " bytes";
    }
  }
  // The loudness layout of earlier versions (three numbers) is not today's: such a cached value is measured again.
  EXPECT_FALSE(DecodeLoudness(zelcore::allocator::RecycledMemory::Create(24)));
  // Fewer bytes than a header are refused, and so are counts that promise more than the bytes hold, before anything
  // is allocated: 40 bytes hold the whole header of scenes, beats and freeze, 48 that of black.
  for (std::size_t const size : {0, 31, 40, 48}) {
    auto blob = zelcore::allocator::RecycledMemory::Create(size);
    std::memset(blob->data(), 0xff, blob->size());
    EXPECT_FALSE(DecodeScenes(blob)) << size;
    EXPECT_FALSE(DecodeSilence(blob)) << size;
    EXPECT_FALSE(DecodeBeats(blob)) << size;
    EXPECT_FALSE(DecodeBlack(blob)) << size;
    EXPECT_FALSE(DecodeFreeze(blob)) << size;
  }
}

using ExampleAnalyzersHostTest = HostedAnalyzersTest;

TEST_F(ExampleAnalyzersHostTest, DigestIsSha256OfTheFile) {
  // Sizes about a SHA-256 block, and more than one read of the analyzer.
  for (std::uint32_t const dataBytes : {0u, 20u, 56u, 1'500'000u}) {
    SCOPED_TRACE(dataBytes);
    auto const path = directory / ("file" + std::to_string(dataBytes) + ".wav");
    std::string const bytes = testsupport::WriteNoiseWav(path, dataBytes, dataBytes);
    unsigned char expected[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<unsigned char const*>(bytes.data()), bytes.size(), expected);
    std::string hex;
    for (unsigned char const byte : expected) {
      char pair[3];
      std::snprintf(pair, sizeof pair, "%02x", byte);
      hex += pair;
    }
    auto const clip = ClipOf(path);
    ExampleResult const computed = ResultOf(RunJob(host, clip, *FindExampleAnalyzer("digest")));
    EXPECT_FALSE(computed.fromCache);
    EXPECT_EQ(DigestToHex(computed.blob), hex);
    ExampleResult const cached = ResultOf(RunJob(host, clip, *FindExampleAnalyzer("digest")));
    EXPECT_TRUE(cached.fromCache);
    EXPECT_EQ(DigestToHex(cached.blob), hex);
  }
  // Bytes that are not media get no digest: nothing would be stored beside them.
  auto const text = directory / "notes.txt";
  testsupport::WriteFile(text, std::string("abc"));
  auto const failure = testsupport::AwaitFailure(RunJob(host, ClipOf(text), *FindExampleAnalyzer("digest")));
  EXPECT_EQ(testsupport::ResultOf(failure), kResultNotMediaFile) << testsupport::MessageOf(failure);
  EXPECT_FALSE(std::filesystem::exists(directory / "notes.qvmi"));
}

// Another program renames a different file over the media file after an analyzer has read it and before the result
// is saved: the result stays with the content it was computed from, and the new content is analysed afresh.
TEST_F(ExampleAnalyzersHostTest, AResultIsKeptForTheFileVersionThatWasRead) {
  auto const path = directory / "take.wav";
  auto const replacement = directory / "replacement.wav";
  auto const firstCopy = directory / "first copy.wav";
  for (char const* const name : {"digest", "peaks"}) {  // a file read by descriptor, and one decoded
    SCOPED_TRACE(name);
    zelcore::utility::Guid const id = *FindExampleAnalyzer(name);
    WriteSine(path, 0.1);
    std::filesystem::copy_file(path, firstCopy, std::filesystem::copy_options::overwrite_existing);
    WriteSine(replacement, 0.5);
    int replaced = 0;
    SetAfterReadHookForTesting([&](std::filesystem::path const& file) {
      if (replaced++ == 0) std::filesystem::rename(replacement, file);
    });
    ExampleResult const first = ResultOf(RunJob(host, ClipOf(path), id));
    SetAfterReadHookForTesting(nullptr);
    ASSERT_EQ(replaced, 1);
    EXPECT_FALSE(first.fromCache);
    EXPECT_FALSE(first.saveFailure) << testsupport::MessageOf(first.saveFailure);

    auto const bytes = [](zelcore::Blob const& blob) {
      return blob ? std::string(reinterpret_cast<char const*>(blob->data()), blob->size()) : std::string();
    };
    ExampleResult const second = ResultOf(RunJob(host, ClipOf(path), id));
    EXPECT_FALSE(second.fromCache);
    EXPECT_TRUE(bytes(second.blob) != bytes(first.blob)) << "the new content was given the old content's result";

    // The first content back, as another file: its result is found.
    std::filesystem::rename(firstCopy, path);
    ExampleResult const again = ResultOf(RunJob(host, ClipOf(path), id));
    EXPECT_TRUE(again.fromCache);
    EXPECT_TRUE(!bytes(first.blob).empty() && bytes(again.blob) == bytes(first.blob));
  }
}

TEST_F(ExampleAnalyzersHostTest, AudioAnalyzersMeasureASineAndServeTheSecondRunFromTheCache) {
  auto const path = directory / "tone.wav";
  WriteSine(path, 0.1, 1);  // -20 dBFS
  auto const clip = ClipOf(path);

  ExampleResult const peaks = ResultOf(RunJob(host, clip, *FindExampleAnalyzer("peaks"), 100));
  EXPECT_FALSE(peaks.fromCache);
  std::optional<PeakEnvelope> const envelope = DecodePeakEnvelope(peaks.blob);
  ASSERT_TRUE(envelope);
  EXPECT_EQ(envelope->channelCount, 2u);
  EXPECT_EQ(envelope->samplesPerPeak, 100u);
  EXPECT_EQ(envelope->sampleRate, 48000u);
  EXPECT_EQ(envelope->frameCount, 48000u);
  EXPECT_EQ(envelope->startSeconds, 0.0);
  ASSERT_EQ(envelope->PeakCount(), 480u);
  for (std::size_t i = 0; i < envelope->PeakCount(); ++i) {
    for (std::uint32_t c = 0; c < 2; ++c) {
      ASSERT_NEAR(envelope->Min(i, c), -0.1, 1e-4) << i << " " << c;
      ASSERT_NEAR(envelope->Max(i, c), 0.1, 1e-4) << i << " " << c;
    }
  }
  ExampleResult const cachedPeaks = ResultOf(RunJob(host, clip, *FindExampleAnalyzer("peaks"), 100));
  EXPECT_TRUE(cachedPeaks.fromCache);
  EXPECT_EQ(DecodePeakEnvelope(cachedPeaks.blob)->peaks, envelope->peaks);

  // The default is 256 samples per peak, and a partial last run still gets its peak: 48000 = 187 * 256 + 128.
  std::optional<PeakEnvelope> const byDefault =
      DecodePeakEnvelope(ResultOf(RunJob(host, clip, *FindExampleAnalyzer("peaks"))).blob);
  ASSERT_TRUE(byDefault);
  EXPECT_EQ(byDefault->samplesPerPeak, 256u);
  EXPECT_EQ(byDefault->PeakCount(), 188u);

  ExampleResult const loudness = ResultOf(RunJob(host, clip, *FindExampleAnalyzer("loudness")));
  EXPECT_FALSE(loudness.fromCache);
  std::optional<Loudness> const measured = DecodeLoudness(loudness.blob);
  ASSERT_TRUE(measured);
  // A 1 kHz sine at -20 dBFS on both channels of a stereo pair reads about -20 LUFS.
  EXPECT_NEAR(measured->integratedLufs, -20.0, 0.3);
  EXPECT_NEAR(measured->truePeakDbtp, -20.0, 0.3);
  EXPECT_GE(measured->rangeLu, 0.0);
  EXPECT_LT(measured->rangeLu, 1.0);
  ExampleResult const cachedLoudness = ResultOf(RunJob(host, clip, *FindExampleAnalyzer("loudness")));
  EXPECT_TRUE(cachedLoudness.fromCache);
  EXPECT_EQ(DecodeLoudness(cachedLoudness.blob)->integratedLufs, measured->integratedLufs);
}

// What the analyzer `name` says of `blob`, through the interface tools use.
ResultDescription Describe(std::string_view name, zelcore::Blob const& blob) {
  auto const clip =
      BE::ProjectFactory::CreateClip(BE::ProjectFactory::CreateMedia(u"/nonexistent/x.wav"), BE::kMediaType_Audio);
  auto const analyzer = AnalyzerRegistry::GetDefaultRegistry()->GetAnalyzerFactory(*FindExampleAnalyzer(name))(
      clip, std::any(), zelcore::InterfaceWeakRef<IAnalyzerHost>());
  // Under the key the analyzer stores its result by: an analyzer whose layout changed has a key of its own.
  auto const key = zelcore::InterfaceRef<Analyzers::AnalyzerBase>::Query(analyzer)->GetCacheKeys().front();
  return DescribeAnalyzerResult(analyzer, std::string(name), key, blob);
}

TEST_F(ExampleAnalyzersHostTest, ResultsDescribeThemselvesWithUnitsAndHostileBytesShowTheirSize) {
  auto const path = directory / "tone.wav";
  WriteSine(path, 0.1, 1);  // -20 dBFS
  auto const clip = ClipOf(path);
  using nlohmann::json;

  ExampleResult const loudness = ResultOf(RunJob(host, clip, *FindExampleAnalyzer("loudness")));
  ResultDescription const described = Describe("loudness", loudness.blob);
  json const value = json::parse(described.json);
  EXPECT_EQ(value["name"], "loudness");
  EXPECT_NEAR(value["fields"]["integrated"].get<double>(), -20.0, 0.3);
  EXPECT_EQ(value["units"]["integrated"], "LUFS");
  EXPECT_EQ(value["units"]["truePeak"], "dBTP");
  EXPECT_EQ(value["fields"]["tooShort"], false);
  EXPECT_NE(described.summary.find(" LUFS, range "), std::string::npos) << described.summary;

  ExampleResult const digest = ResultOf(RunJob(host, clip, *FindExampleAnalyzer("digest")));
  json const digestValue = json::parse(Describe("digest", digest.blob).json);
  EXPECT_EQ(digestValue["fields"]["sha256"], DigestToHex(digest.blob));

  json const peaks =
      json::parse(Describe("peaks", ResultOf(RunJob(host, clip, *FindExampleAnalyzer("peaks"))).blob).json);
  EXPECT_EQ(peaks["fields"]["channels"], 2);
  ASSERT_EQ(peaks["fields"]["maxPeak"].size(), 2u);
  EXPECT_NEAR(peaks["fields"]["maxPeak"][0].get<double>(), 0.1, 1e-3);
  EXPECT_NEAR(peaks["fields"]["min"][1].get<double>(), -0.1, 1e-3);
  EXPECT_NEAR(peaks["fields"]["max"][1].get<double>(), 0.1, 1e-3);
  EXPECT_EQ(peaks["units"]["start"], "s");

  // Silence has no loudness: the JSON says null where the summary says -inf, and every number still names its unit.
  auto const quiet = directory / "quiet.wav";
  WriteSine(quiet, 0.0, 1);
  json const silent = json::parse(
      Describe("loudness", ResultOf(RunJob(host, ClipOf(quiet), *FindExampleAnalyzer("loudness"))).blob).json);
  EXPECT_TRUE(silent["fields"]["integrated"].is_null());
  for (auto const& [field, number] : silent["fields"].items()) {
    if (number.is_number_float()) {
      EXPECT_TRUE(silent["units"].contains(field)) << field;
    }
  }

  // Bytes another analyzer wrote, or that a hostile file holds, are shown by their size only.
  for (std::string_view const name : GetExampleAnalyzerNames()) {
    auto blob = zelcore::allocator::RecycledMemory::Create(7);
    std::memset(blob->data(), 0xff, blob->size());
    ResultDescription const sized = Describe(name, blob);
    EXPECT_EQ(sized.summary, "7 bytes") << name;
    EXPECT_EQ(json::parse(sized.json)["fields"]["size"], 7) << name;
  }
  EXPECT_EQ(DescribeAnalyzerResult(nullptr, "gone", ImmutableString::Create("result"), nullptr).summary, "0 bytes");
}

TEST_F(ExampleAnalyzersHostTest, BadInputAndCancelFailWithoutCachingAnything) {
  auto const tone = directory / "tone.wav";
  WriteSine(tone, 0.5, 1);
  auto const notAudio = directory / "text.wav";
  testsupport::WriteFile(notAudio, std::string("not a sound"));

  struct Case {
    std::filesystem::path file;
    char const* analyzer;
    std::any parameter;
    zelcore::config::Result result;
  };
  Case const cases[] = {
      {tone, "peaks", std::string("12x"), kResultIllegalArgument},
      {tone, "peaks", 0, kResultIllegalArgument},
      {notAudio, "peaks", {}, kResultNotMediaFile},
      {notAudio, "loudness", {}, kResultNotMediaFile},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.analyzer);
    // Held past the read: the exception then dies with the job's state, an order ThreadSanitizer can see.
    auto const job = RunJob(host, ClipOf(c.file), *FindExampleAnalyzer(c.analyzer), c.parameter);
    auto const failure = testsupport::AwaitFailure(job);
    EXPECT_EQ(testsupport::ResultOf(failure), c.result) << testsupport::MessageOf(failure);
  }
  EXPECT_FALSE(std::filesystem::exists(directory / "tone.qvmi"));
  EXPECT_FALSE(std::filesystem::exists(directory / "text.qvmi"));
  // The host does not start jobs on a missing file; the analyzer itself reports it too.
  auto const lost =
      Analyzers::CreateUnmanagedAnalyzer(ClipOf(directory / "missing.bin"), *FindExampleAnalyzer("digest"), {});
  ASSERT_TRUE(lost);
  auto const lostJob =
      lost->StartAnalysis(zelcore::async::GetDefaultExecutor(), AnalysisOptions{AnalysisOptions::kNoProgress, 0});
  EXPECT_EQ(testsupport::ResultOf(testsupport::AwaitFailure(lostJob)), zelcore::config::kResultFileRead);

  // A cancel requested before the computation gets going stops it at its first progress update.
  auto const clip = directory / "clip.mkv";
  Samples::WriteClip(clip, Samples::StandardClip(1, 64, 48));
  for (std::string_view const name : GetExampleAnalyzerNames()) {
    SCOPED_TRACE(name);
    auto const analyzer = Analyzers::CreateUnmanagedAnalyzer(ClipOf(clip), *FindExampleAnalyzer(name), {});
    auto const item = InterfaceRef<IAnalyzerProgress>::Query(analyzer)->GetProgressItem();
    item->RequestCancel();
    auto const job = analyzer->StartAnalysis(zelcore::async::GetDefaultExecutor(), AnalysisOptions{0, 0});
    EXPECT_EQ(testsupport::ResultOf(testsupport::AwaitFailure(job)), kResultJobCancelled);
    EXPECT_LT(item->GetProgress(), 1.0);
  }
  EXPECT_FALSE(std::filesystem::exists(directory / "clip.qvmi"));
}

}  // namespace
}  // namespace Quillan::Examples
