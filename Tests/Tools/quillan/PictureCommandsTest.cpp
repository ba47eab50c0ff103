#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "SampleMedia/SampleClip.h"
#include "Support/BlobTestUtils.h"
#include "Support/SineWave.h"
#include "Support/TempDirectory.h"
#include "ToolProcess.h"
#include "quillan/TimeArgument.h"
#include "quillan/ToolErrors.h"

namespace Quillan::Cli {
namespace {

struct PngSize {
  bool ok = false;
  int width = 0;
  int height = 0;
};

PngSize DecodePng(std::filesystem::path const& path) {
  cairo_surface_t* surface = cairo_image_surface_create_from_png(path.c_str());
  PngSize size{cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS, cairo_image_surface_get_width(surface),
               cairo_image_surface_get_height(surface)};
  cairo_surface_destroy(surface);
  return size;
}

class PictureCommandsTest : public ToolFolderTest {};

TEST(ParseTimeArgumentTest, AcceptsSecondsUnitsAndClocksOnly) {
  struct Case {
    char const* text;
    double seconds;  // < 0: refused
  };
  Case const cases[] = {{"90", 90},   {"1.5", 1.5},      {"10s", 10},     {"1m30s", 90}, {"2m", 120},  {"1h2m3s", 3723},
                        {"1:30", 90}, {"1:02:05", 3725}, {"0:07.5", 7.5}, {"", -1},      {"1x", -1},   {"-5", -1},
                        {"1:75", -1}, {"1:60:00", -1},   {"s", -1},       {"1m30", -1},  {"1.5.2", -1}};
  for (Case const& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.seconds < 0) {
      EXPECT_THROW(ParseTimeArgument(c.text, "--from", "waveform"), UsageError);
    } else {
      EXPECT_DOUBLE_EQ(ParseTimeArgument(c.text, "--from", "waveform"), c.seconds);
    }
  }
}

TEST_F(PictureCommandsTest, WaveformIsDrawnFromTheCachedEnvelopeAsPngOrJson) {
  testsupport::WriteSine(dir / "tone.wav", 0.5);  // one second of stereo
  ToolRun const first = Quillan({"waveform", File("tone.wav"), "-o", File("wave.png"), "--width", "640", "--height",
                                 "200", "--from", "0:00.25", "--to", "1s"});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  EXPECT_NE(first.out.find(File("wave.png")), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("computed"), std::string::npos) << first.out;
  EXPECT_TRUE(std::filesystem::exists(dir / "tone.qvmi"));
  PngSize const png = DecodePng(dir / "wave.png");
  EXPECT_TRUE(png.ok);
  EXPECT_EQ(png.width, 640);
  EXPECT_EQ(png.height, 200);

  ToolRun const json = Quillan({"waveform", File("tone.wav"), "-o", File("wave.json"), "--format", "json", "--width",
                                "50", "--channels", "mix"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  EXPECT_NE(json.out.find("cached"), std::string::npos) << json.out;
  nlohmann::json const data = nlohmann::json::parse(testsupport::ReadFile(dir / "wave.json"));
  EXPECT_EQ(data["channels"], 1);
  EXPECT_EQ(data["sample_rate"], 48000);
  // Exactly the 50 pixels asked for, of 960 samples each on average, in 8 bits by default.
  EXPECT_EQ(data["samples_per_pixel"], 960);
  EXPECT_EQ(data["length"], 50);
  EXPECT_EQ(data["bits"], 8);
  ASSERT_EQ(data["data"].size(), 100u);
  EXPECT_NEAR(data["data"][0].get<int>(), -0.5 * 127, 1.5);
  EXPECT_NEAR(data["data"][1].get<int>(), 0.5 * 127, 1.5);
  ToolRun const deep = Quillan(
      {"waveform", File("tone.wav"), "-o", File("deep.json"), "--format", "json", "--width", "777", "--bits", "16"});
  ASSERT_EQ(deep.exitCode, 0) << deep.err;
  nlohmann::json const deepData = nlohmann::json::parse(testsupport::ReadFile(dir / "deep.json"));
  EXPECT_EQ(deepData["bits"], 16);
  EXPECT_EQ(deepData["length"], 777);
  ASSERT_EQ(deepData["data"].size(), 777u * 2 * 2);
  EXPECT_NEAR(deepData["data"][1].get<int>(), 0.5 * 32767, 40);

  struct Bad {
    std::vector<std::string> arguments;
    int exitCode;
  };
  Bad const bad[] = {
      {{"--from", "ten"}, 2}, {{"--to", "1:99"}, 2},       {{"--from", "2", "--to", "1"}, 2},
      {{"--width", "10"}, 2}, {{"--channels", "left"}, 2}, {{"--format", "svg"}, 2},
      {{"--bits", "12"}, 2},
  };
  for (Bad const& b : bad) {
    std::vector<std::string> arguments{"waveform", File("tone.wav"), "-o", File("bad.png")};
    arguments.insert(arguments.end(), b.arguments.begin(), b.arguments.end());
    ToolRun const run = Quillan(arguments);
    EXPECT_EQ(run.exitCode, b.exitCode) << b.arguments.front() << ": " << run.err;
    EXPECT_NE(run.err.find("usage: quillan waveform"), std::string::npos) << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "bad.png"));
  EXPECT_EQ(Quillan({"waveform", File("missing.wav"), "-o", File("bad.png")}).exitCode, 1);
}

TEST_F(PictureCommandsTest, ScenesDrawsAStripOfAVideoAndRefusesAudio) {
  Samples::ClipPlan const plan = Samples::StandardClip(6, 160, 90);  // three shots
  Samples::WriteClip(dir / "cuts.mkv", plan);
  ToolRun const run = Quillan({"scenes", File("cuts.mkv"), "-o", File("strip.png"), "--thumbnail-height", "60"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find(std::to_string(Samples::KnownCuts(plan).size() + 1) + " scenes"), std::string::npos)
      << run.out;
  PngSize const strip = DecodePng(dir / "strip.png");
  EXPECT_TRUE(strip.ok);
  // Three 16:9 thumbnails side by side, each with its time below.
  EXPECT_GE(strip.width, 3 * 106);
  EXPECT_GT(strip.height, 60);

  ToolRun const fewer = Quillan({"scenes", File("cuts.mkv"), "-o", File("two.png"), "--max-scenes", "2"});
  ASSERT_EQ(fewer.exitCode, 0) << fewer.err;
  EXPECT_NE(fewer.out.find("1 of them left out after the first 2; scenes cached"), std::string::npos) << fewer.out;

  testsupport::WriteSine(dir / "tone.wav", 0.5);
  ToolRun const audio = Quillan({"scenes", File("tone.wav"), "-o", File("audio.png")});
  EXPECT_EQ(audio.exitCode, 1);
  EXPECT_NE(audio.err.find("no video"), std::string::npos) << audio.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "audio.png"));
  EXPECT_EQ(Quillan({"scenes", File("cuts.mkv"), "-o", File("x.png"), "--threshold", "500"}).exitCode, 2);
  EXPECT_EQ(Quillan({"scenes", File("cuts.mkv"), "-o", File("x.png"), "--max-scenes", "0"}).exitCode, 2);
  EXPECT_FALSE(std::filesystem::exists(dir / "x.png"));
}

TEST_F(PictureCommandsTest, ScenesMarksBlackAndFrozenStretchesOnRequest) {
  // Two shots with a black second between them and a held last picture: two scenes, one black stretch, and the black
  // second and the held picture frozen.
  ASSERT_EQ(std::system(("ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=s=160x90:r=25:d=1 -f lavfi -i "
                         "color=black:s=160x90:r=25:d=2 -f lavfi -i testsrc2=s=160x90:r=25:d=1,tpad=stop_mode=clone:"
                         "stop_duration=2 -filter_complex concat=n=3:v=1:a=0 -c:v ffv1 " +
                         File("black.mkv"))
                            .c_str()),
            0);
  ToolRun const plain = Quillan({"scenes", File("black.mkv"), "-o", File("plain.png")});
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  EXPECT_EQ(plain.out.find("marked"), std::string::npos) << plain.out;
  ToolRun const marked = Quillan({"scenes", File("black.mkv"), "-o", File("marked.png"), "--marks"});
  ASSERT_EQ(marked.exitCode, 0) << marked.err;
  EXPECT_NE(marked.out.find("1 black and 2 frozen stretches marked"), std::string::npos) << marked.out;
  EXPECT_NE(testsupport::ReadFile(dir / "plain.png"), testsupport::ReadFile(dir / "marked.png"));
  // Both results are kept, as 'quillan analyze' keeps them.
  ToolRun const stored = Quillan({"analyze", "-a", "black", "-a", "freeze", File("black.mkv")});
  EXPECT_EQ(stored.exitCode, 0) << stored.err;
  EXPECT_EQ(stored.out.find("computed"), std::string::npos) << stored.out;
}

}  // namespace
}  // namespace Quillan::Cli
