// The scenes analyzer on clips made here with ffmpeg's sources and filters, each with the cuts and transitions it
// was made with: cuts exact to the frame, transitions within two frames, nothing on flashes, zooms and pans.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Analyzers/ExampleAnalyzers.h"
#include "Analyzers/ResultDescription.h"
#include "BE/ProjectFactory.h"
#include "Host/AnalyzerRegistry.h"
#include "Support/TempDirectory.h"
#include "Tools/AnalyzerJobs.h"
#include "Tools/FfmpegCommand.h"

namespace Quillan::Examples {
namespace {

using namespace testsupport::jobs;
using testsupport::Ffmpeg;

constexpr char kSize[] = "320x180";

// A lavfi source of the test size at 25 fps, `seconds` long.
std::string Source(std::string const& name, double seconds, std::string const& size = kSize) {
  return "-f lavfi -i " + name + "=s=" + size + ":r=25:d=" + std::to_string(seconds) + " ";
}

struct Expected {
  std::uint64_t startFrame;
  std::uint64_t endFrame;
  TransitionKind kind;
};

class ScenesLabelledTest : public HostedAnalyzersTest {
 protected:
  Scenes Run(std::filesystem::path const& file, std::string const& parameter = {}) {
    std::any const given = parameter.empty() ? std::any() : std::any(parameter);
    std::optional<Scenes> scenes = DecodeScenes(HostedAnalyzersTest::Run(file, kScenesAnalyzerName, given).blob);
    EXPECT_TRUE(scenes);
    return scenes.value_or(Scenes{});
  }

  static std::vector<std::uint64_t> CutFrames(Scenes const& scenes) {
    std::vector<std::uint64_t> frames;
    for (SceneCut const& cut : scenes.cuts) frames.push_back(cut.frame);
    return frames;
  }

  static void ExpectTransitions(Scenes const& scenes, std::vector<Expected> const& expected) {
    ASSERT_EQ(scenes.transitions.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      SceneTransition const& found = scenes.transitions[i];
      SCOPED_TRACE(testing::Message() << "transition " << i << ": " << found.startFrame << "-" << found.endFrame << " "
                                      << TransitionKindName(found.kind));
      EXPECT_EQ(found.kind, expected[i].kind);
      EXPECT_NEAR(static_cast<double>(found.startFrame), static_cast<double>(expected[i].startFrame), 2);
      EXPECT_NEAR(static_cast<double>(found.endFrame), static_cast<double>(expected[i].endFrame), 2);
      EXPECT_NEAR(found.startSeconds, static_cast<double>(found.startFrame) / 25, 1e-6);
      EXPECT_NEAR(found.endSeconds, static_cast<double>(found.endFrame) / 25, 1e-6);
      EXPECT_GE(found.score, scenes.threshold);
    }
  }
};

TEST_F(ScenesLabelledTest, HardAndDimCutsOnTheFrameWithScoresOnScdetsScale) {
  // Two seconds each: test pattern, bars, fractal, the pattern mirrored, then the pattern and its mirror at 15% of
  // the contrast (a dim, low-contrast cut), then a five-frame shot of other bars and bright bars again.
  auto const file = directory / "cuts.mkv";
  std::string const dim = "lutyuv=y=16+val*0.15:u=128:v=128";
  Ffmpeg(Source("testsrc2", 2) + Source("smptebars", 2) + "-f lavfi -i mandelbrot=s=" + kSize + ":r=25 " +
         Source("testsrc2", 2) + Source("testsrc2", 2) + Source("testsrc2", 2) + Source("smptehdbars", 0.2) +
         Source("testsrc", 2) + "-filter_complex \"[2]trim=duration=2,setpts=PTS-STARTPTS[m];[3]hflip[f];[4]" + dim +
         "[d];[5]hflip," + dim + "[df];[0][1][m][f][d][df][6][7]concat=n=8\" -c:v mpeg4 -q:v 3 " + file.string());
  std::vector<std::uint64_t> const known{50, 100, 150, 200, 250, 300, 305};

  // Shots of at least a frame: every cut.
  Scenes const all = Run(file, "min=0");
  EXPECT_EQ(all.frameCount, 355u);
  EXPECT_DOUBLE_EQ(all.frameRate, 25);
  EXPECT_EQ(CutFrames(all), known);
  EXPECT_TRUE(all.transitions.empty());
  // scdet's score of the same pictures: ours is on the same scale, never saturates, and tells the dim cut from the
  // others.
  std::string const log = Ffmpeg("-i " + file.string() + " -vf scdet=threshold=1 -an -f null -");
  std::regex const pattern(R"(lavfi\.scd\.score:\s*([0-9.]+),\s*lavfi\.scd\.time:\s*([0-9.]+))");
  std::size_t compared = 0;
  for (std::sregex_iterator it(log.begin(), log.end(), pattern), end; it != end; ++it) {
    double const score = std::stod((*it)[1]);
    auto const frame = static_cast<std::uint64_t>(std::stod((*it)[2]) * 25 + 0.5);
    for (SceneCut const& cut : all.cuts) {
      if (cut.frame != frame) continue;
      SCOPED_TRACE(testing::Message() << "cut at " << frame << ": " << cut.score << " against scdet's " << score);
      EXPECT_GE(cut.score, 0.9 * score);
      EXPECT_LE(cut.score, 1.1 * score);
      EXPECT_LT(cut.score, 80);
      ++compared;
    }
  }
  EXPECT_EQ(compared, known.size()) << log;
  EXPECT_LT(all.cuts[4].score, 0.5 * all.cuts[3].score);  // into the dim shot, then the dim cut
  EXPECT_LT(all.cuts[4].score, 15);
  EXPECT_GE(all.cuts[4].score, all.threshold);

  // The default shortest shot (half a second) keeps the stronger of the two cuts around the five-frame shot.
  Scenes const shots = Run(file);
  EXPECT_DOUBLE_EQ(shots.minimumSeconds, 0.5);
  SceneCut const stronger = all.cuts[5].score >= all.cuts[6].score ? all.cuts[5] : all.cuts[6];
  std::vector<std::uint64_t> expected(known.begin(), known.begin() + 5);
  expected.push_back(stronger.frame);
  EXPECT_EQ(CutFrames(shots), expected);
  // A threshold above every score finds nothing.
  EXPECT_TRUE(Run(file, "80").cuts.empty());
}

TEST_F(ScenesLabelledTest, FlashesZoomsAndPansAreNoCuts) {
  // Four seconds of the test pattern with a two-frame white flash at 30 and a one-frame one at 70, three of a slow
  // zoom into another pattern, three of a fast pan (9 pixels a frame) across a wide one.
  auto const file = directory / "motion.mov";
  Ffmpeg(Source("testsrc2", 4) + Source("testsrc", 3) + Source("testsrc2", 3, "1280x180") +
         "-filter_complex \"[0]drawbox=c=white:t=fill:enable='between(n,30,31)+eq(n,70)'[a];"
         "[1]zoompan=z='1+0.01*in':d=1:x='iw/2-iw/zoom/2':y='ih/2-ih/zoom/2':s=" +
         kSize + ":fps=25[z];[2]crop=320:180:x='t*230':y=0[p];[a][z][p]concat=n=3\" -c:v mpeg4 -q:v 3 " +
         file.string());
  Scenes const scenes = Run(file, "min=0");
  EXPECT_EQ(scenes.frameCount, 250u);
  EXPECT_EQ(CutFrames(scenes), (std::vector<std::uint64_t>{100, 175}));
  EXPECT_TRUE(scenes.transitions.empty());
}

TEST_F(ScenesLabelledTest, DissolvesWipesAndFadesAreTransitionsWithoutCuts) {
  // A one-second cross-dissolve from 2 s and a one-second wipe from 4 s.
  auto const mixes = directory / "mixes.mp4";
  Ffmpeg(Source("testsrc2", 3) + Source("smptebars", 3) + "-f lavfi -i mandelbrot=s=" + kSize + ":r=25 " +
         "-filter_complex \"[2]trim=duration=2,setpts=PTS-STARTPTS[m];[0][1]xfade=transition=fade:duration=1:"
         "offset=2[ab];[ab][m]xfade=transition=wipeleft:duration=1:offset=4\" -c:v mpeg4 -q:v 3 " +
         mixes.string());
  Scenes const mixed = Run(mixes);
  EXPECT_TRUE(mixed.cuts.empty());
  ExpectTransitions(mixed, {{50, 75, TransitionKind::kDissolve}, {100, 125, TransitionKind::kWipe}});

  // Through black (1-2 s out, 2-3 s in), then out to white (4-5 s) and in from white (5-6 s).
  auto const fades = directory / "fades.mkv";
  Ffmpeg(Source("testsrc2", 2) + Source("smptebars", 3) + Source("testsrc", 2) +
         "-filter_complex \"[0]fade=t=out:st=1:d=1[a];[1]fade=t=in:st=0:d=1,fade=t=out:st=2:d=1:c=white[b];"
         "[2]fade=t=in:st=0:d=1:c=white[c];[a][b][c]concat=n=3\" -c:v mpeg4 -q:v 3 " +
         fades.string());
  Scenes const faded = Run(fades);
  EXPECT_TRUE(faded.cuts.empty());
  ExpectTransitions(faded, {{25, 50, TransitionKind::kFadeToBlack},
                            {50, 75, TransitionKind::kFadeFromBlack},
                            {100, 125, TransitionKind::kFadeToWhite},
                            {125, 150, TransitionKind::kFadeFromWhite}});
}

TEST_F(ScenesLabelledTest, ResultsDescribeTransitionsAndTheDecoderRefusesOtherLayouts) {
  auto const file = directory / "mix.mp4";
  Ffmpeg(Source("testsrc2", 2) + Source("smptebars", 2) +
         "-filter_complex \"[0][1]xfade=transition=fade:duration=0.6:offset=1\" -c:v mpeg4 " + file.string());
  Scenes const scenes = Run(file, "min=0");
  ASSERT_EQ(scenes.transitions.size(), 1u);
  ExampleResult const computed =
      ResultOf(RunJob(host, ClipOf(file), *FindExampleAnalyzer(kScenesAnalyzerName), std::string("min=0")));
  std::string const good(reinterpret_cast<char const*>(computed.blob->data()), computed.blob->size());
  auto const decodes = [](std::string const& bytes) {
    auto blob = zelcore::allocator::RecycledMemory::Create(bytes.size());
    if (!bytes.empty()) std::memcpy(blob->data(), bytes.data(), bytes.size());
    return DecodeScenes(blob).has_value();
  };
  ASSERT_TRUE(decodes(good));
  // Tools see the transition with its kind, frames, times and units; a result under the first layout's key is none.
  auto const analyzer = AnalyzerRegistry::GetDefaultRegistry()->GetAnalyzerFactory(
      *FindExampleAnalyzer(kScenesAnalyzerName))(ClipOf(file), std::any(), zelcore::InterfaceWeakRef<IAnalyzerHost>());
  ResultDescription const described = DescribeAnalyzerResult(analyzer, std::string(kScenesAnalyzerName),
                                                             ImmutableString::Create("scenes.2"), computed.blob);
  nlohmann::json const value = nlohmann::json::parse(described.json);
  ASSERT_EQ(value["fields"]["transitions"].size(), 1u) << described.json;
  nlohmann::json const& shown = value["fields"]["transitions"][0];
  EXPECT_EQ(shown["kind"], "dissolve");
  EXPECT_EQ(shown["startFrame"].get<std::uint64_t>(), scenes.transitions[0].startFrame);
  EXPECT_DOUBLE_EQ(shown["end"].get<double>(), scenes.transitions[0].endSeconds);
  EXPECT_EQ(value["units"]["transitions.start"], "s");
  EXPECT_EQ(value["units"]["cuts.score"], "%");
  EXPECT_NE(described.summary.find("1 transition: dissolve "), std::string::npos) << described.summary;
  EXPECT_EQ(DescribeAnalyzerResult(analyzer, std::string(kScenesAnalyzerName), ImmutableString::Create("result"),
                                   computed.blob)
                .json.find("transitions"),
            std::string::npos);
  std::size_t const transition = good.size() - 48;
  auto const with = [&](std::size_t at, std::uint32_t value) {
    std::string bytes = good;
    std::memcpy(bytes.data() + at, &value, sizeof value);
    return bytes;
  };
  struct Case {
    char const* what;
    std::string bytes;
  };
  Case const cases[] = {
      {"the first layout's header (cuts only)", good.substr(0, 32)},
      {"a byte short", good.substr(0, good.size() - 1)},
      {"a transition more than there are", with(36, 2)},
      {"a cut more than there are", with(32, static_cast<std::uint32_t>(scenes.cuts.size() + 1))},
      {"an unknown kind", with(transition + 40, kTransitionKindCount)},
      {"an end before the start", with(transition + 8, 0)},
  };
  for (Case const& c : cases) EXPECT_FALSE(decodes(c.bytes)) << c.what;
}

}  // namespace
}  // namespace Quillan::Examples
