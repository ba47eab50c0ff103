#include "Pictures/ContactStrip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "SampleMedia/SampleClip.h"
#include "SampleMedia/SampleMedia.h"
#include "Support/TempDirectory.h"
#include "Tools/ForeignMedia.h"
#include "Tools/Pictures/DecodedPng.h"

extern "C" {
#include <libavutil/log.h>
}

namespace Quillan::Pictures {
namespace {

// Cuts away from the key frames (one a second), so that each picture needs a seek and some decoding forward; a fade
// in starts black.
Samples::ClipPlan FourShots() {
  Samples::ClipPlan plan;
  plan.width = 160;
  plan.height = 90;
  plan.sampleRate = 0;
  plan.shots = {{1.4, 3, Samples::Motion::kStill},
                {0.6, 11, Samples::Motion::kPan},
                {1.0, 5, Samples::Motion::kFadeIn},
                {0.8, 8, Samples::Motion::kStill}};
  return plan;
}

Examples::Scenes ScenesOf(Samples::ClipPlan const& plan) {
  Examples::Scenes scenes;
  scenes.frameRate = plan.framesPerSecond;
  for (std::uint64_t const frame : Samples::KnownCuts(plan)) {
    scenes.cuts.push_back({frame, static_cast<double>(frame) / plan.framesPerSecond, 50});
  }
  return scenes;
}

Samples::Rgb MeanColour(testsupport::DecodedPng const& png, ContactTile const& tile) {
  Samples::Rgb sum;
  for (int y = tile.top; y < tile.top + tile.height; ++y) {
    for (int x = tile.left; x < tile.left + tile.width; ++x) {
      std::uint32_t const pixel = png.Pixel(x, y);
      sum.red += pixel >> 16;
      sum.green += (pixel >> 8) & 255;
      sum.blue += pixel & 255;
    }
  }
  double const count = static_cast<double>(tile.width) * tile.height;
  return {sum.red / count, sum.green / count, sum.blue / count};
}

double Distance(Samples::Rgb const& a, Samples::Rgb const& b) {
  return std::max({std::fabs(a.red - b.red), std::fabs(a.green - b.green), std::fabs(a.blue - b.blue)});
}

class ContactStripTest : public testing::Test {
 protected:
  testsupport::TempDirectory directory_;
};

TEST_F(ContactStripTest, ShowsTheFirstPictureOfEveryScene) {
  Samples::ClipPlan const plan = FourShots();
  std::vector<Samples::Rgb> expected;
  for (std::size_t shot = 0; shot < plan.shots.size(); ++shot) {
    expected.push_back(Samples::FirstPictureColour(plan, shot));
  }
  for (char const* name : {"clip.mkv", "clip.mp4"}) {
    Samples::WriteClip(directory_ / name, plan);
    std::filesystem::path const output = directory_ / "strip.png";
    EXPECT_EQ(WriteContactStrip(output, directory_ / name, ScenesOf(plan), {}), 0u);
    testsupport::DecodedPng const png(output);
    ASSERT_TRUE(png.Ok());
    // In order, and backwards, where every picture needs a seek back to the key frame before it.
    std::vector<double> const inOrder = SceneStarts(ScenesOf(plan));
    for (bool const backwards : {false, true}) {
      std::vector<double> starts = inOrder;
      if (backwards) std::reverse(starts.begin(), starts.end());
      ContactStrip const strip = DrawContactStrip(directory_ / name, starts, {});
      if (!backwards) {
        EXPECT_EQ(testsupport::ReadFile(output), std::string(strip.png.begin(), strip.png.end()));
      }
      std::filesystem::path const again = directory_ / "again.png";
      WritePictureFile(again, strip.png);
      testsupport::DecodedPng const drawn(again);
      ASSERT_EQ(strip.tiles.size(), plan.shots.size()) << name;
      for (std::size_t i = 0; i < strip.tiles.size(); ++i) {
        ContactTile const& tile = strip.tiles[i];
        std::size_t const scene = backwards ? plan.shots.size() - 1 - i : i;
        EXPECT_EQ(tile.height, 120);
        EXPECT_EQ(tile.width, 213);  // 16:9
        EXPECT_EQ(tile.seconds, starts[i]);
        EXPECT_LE(tile.left + tile.width, drawn.Width());
        Samples::Rgb const seen = MeanColour(drawn, tile);
        // Its own scene's colour, and not a neighbour's: the picture before a cut would match the scene before.
        EXPECT_LT(Distance(seen, expected[scene]), 8)
            << name << " scene " << scene << " seen " << seen.red << "," << seen.green << "," << seen.blue;
        for (std::size_t j = 0; j < expected.size(); ++j) {
          if (j == scene) continue;
          EXPECT_GT(Distance(seen, expected[j]), 15) << name << " scene " << scene << " like scene " << j;
        }
      }
    }
  }
}

TEST_F(ContactStripTest, WrapsIntoRowsAndBoundsManyScenes) {
  Samples::ClipPlan const plan = FourShots();
  Samples::WriteClip(directory_ / "clip.mkv", plan);
  std::vector<double> starts;
  for (int i = 0; i < 250; ++i) starts.push_back(i * 0.015);
  ContactStripOptions options;
  options.thumbnailHeight = 32;
  options.maxWidth = 800;
  ContactStrip const strip = DrawContactStrip(directory_ / "clip.mkv", starts, options);
  EXPECT_EQ(strip.tiles.size(), 200u);
  EXPECT_EQ(strip.scenesLeftOut, 50u);
  testsupport::TempDirectory check;
  WritePictureFile(check / "strip.png", strip.png);
  testsupport::DecodedPng const png(check / "strip.png");
  EXPECT_LE(png.Width(), 800);
  int rows = 0;
  for (std::size_t i = 0; i < strip.tiles.size(); ++i) {
    EXPECT_LE(strip.tiles[i].left + strip.tiles[i].width, png.Width());
    EXPECT_LE(strip.tiles[i].top + strip.tiles[i].height, png.Height());
    if (i == 0 || strip.tiles[i].top != strip.tiles[i - 1].top) ++rows;
  }
  EXPECT_GT(rows, 1);
}

TEST_F(ContactStripTest, FailsClearlyWithoutVideo) {
  Samples::Waveform tone;
  Samples::WriteSample(directory_ / "tone.wav", tone);
  testsupport::WriteFile(directory_ / "text.mp4", std::string_view("not a video at all"));
  Samples::WriteClip(directory_ / "clip.mkv", FourShots());
  testsupport::media::WriteFilesReferringTo(directory_.path(), "clip.mkv");
  testsupport::media::WriteOversizedMatroska(directory_ / "huge.mkv");
  struct Case {
    std::filesystem::path media;
    int stream;
    char const* reason;
  };
  Case const cases[] = {
      {directory_ / "tone.wav", -1, "has no video stream"},
      {directory_ / "text.mp4", -1, "(named like media, but no reader recognises it)"},
      {directory_ / "missing.mkv", -1, "missing.mkv: No such file or directory"},
      {directory_ / "clip.mkv", 3, "clip.mkv is not a video stream"},
      {directory_ / "list.m3u8", -1, "list.m3u8: it refers to other files (an HLS playlist)"},
      {directory_ / "list.ffconcat", -1, "list.ffconcat: it refers to other files (a concatenation script)"},
      {directory_ / "huge.mkv", -1, "huge.mkv: its pictures are 16000x16000, larger than the 8192x8192"},
  };
  for (Case const& c : cases) {
    ContactStripOptions options;
    options.stream = c.stream;
    try {
      WriteContactStrip(directory_ / "strip.png", c.media, {}, options);
      ADD_FAILURE() << c.media;
    } catch (PictureError const& error) {
      EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
    }
  }
  EXPECT_FALSE(std::filesystem::exists(directory_ / "strip.png"));
  Examples::Scenes backwards;
  backwards.cuts = {{50, 2.0, 40}, {25, 1.0, 40}};
  EXPECT_THROW(SceneStarts(backwards), PictureError);
  ContactStripOptions tiny;
  tiny.thumbnailHeight = 2;
  EXPECT_THROW(DrawContactStrip(directory_ / "clip.mkv", {0.0}, tiny), std::invalid_argument);
  for (double const start : {-1.0, std::nan(""), HUGE_VAL}) {
    EXPECT_THROW(DrawContactStrip(directory_ / "clip.mkv", {0.0, start}, {}), std::invalid_argument) << start;
  }
}

TEST_F(ContactStripTest, MarksBlackAndFrozenStretchesWhereTheyFallInTheirScenes) {
  Samples::ClipPlan const plan = FourShots();  // scenes from 0, 1.4, 2.0 and 3.0 s to 3.8 s
  Samples::WriteClip(directory_ / "clip.mkv", plan);
  std::vector<double> const starts = SceneStarts(ScenesOf(plan));
  ContactStripOptions options;
  options.endSeconds = 3.8;
  // Black over the second half of the first scene; frozen over the whole of the last two.
  options.marks = {{MarkKind::kBlack, 0.7, 1.4}, {MarkKind::kFrozen, 2.0, 3.8}};
  ContactStrip const marked = DrawContactStrip(directory_ / "clip.mkv", starts, options);
  ContactStrip const plain = DrawContactStrip(directory_ / "clip.mkv", starts, {});
  testsupport::TempDirectory check;
  WritePictureFile(check / "marked.png", marked.png);
  WritePictureFile(check / "plain.png", plain.png);
  testsupport::DecodedPng const png(check / "marked.png");
  testsupport::DecodedPng const without(check / "plain.png");
  ASSERT_EQ(marked.tiles.size(), 4u);
  auto const at = [&](testsupport::DecodedPng const& picture, std::size_t tile, double across, int lane) {
    ContactTile const& t = marked.tiles[tile];
    return picture.Pixel(t.left + static_cast<int>(across * t.width),
                         t.top + t.height - lane * kMarkLaneHeight + kMarkLaneHeight / 2) &
           0xffffff;
  };
  struct Case {
    std::size_t tile;
    double across;
    int lane;              // 1 black, 2 frozen
    std::uint32_t colour;  // 0: the picture's own
  };
  Case const cases[] = {
      {0, 0.25, 1, 0},
      {0, 0.75, 1, kBlackMarkColour},
      {0, 0.75, 2, 0},
      {1, 0.5, 1, 0},
      {1, 0.5, 2, 0},
      {2, 0.1, 2, kFrozenMarkColour},
      {3, 0.9, 2, kFrozenMarkColour},
      {3, 0.5, 1, 0},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(std::to_string(c.tile) + " " + std::to_string(c.across) + " " + std::to_string(c.lane));
    std::uint32_t const seen = at(png, c.tile, c.across, c.lane);
    if (c.colour != 0) {
      EXPECT_EQ(seen, c.colour);
    } else {
      EXPECT_EQ(seen, at(without, c.tile, c.across, c.lane));
    }
  }
  // Without an end, the last scene ends with the last mark.
  options.endSeconds = 0;
  ContactStrip const open = DrawContactStrip(directory_ / "clip.mkv", starts, options);
  EXPECT_EQ(open.png, marked.png);
  for (StripMark const bad : {StripMark{MarkKind::kBlack, 2, 1}, StripMark{MarkKind::kFrozen, 0, HUGE_VAL},
                              StripMark{MarkKind::kBlack, std::nan(""), 1}}) {
    options.marks = {bad};
    EXPECT_THROW(DrawContactStrip(directory_ / "clip.mkv", starts, options), std::invalid_argument);
  }
}

std::mutex gLogMutex;
std::vector<std::string> gLogged;  // guarded by gLogMutex

// A program's own log callback; like FFmpeg's, it honours the log level.
void RecordFfmpegLog(void* /*context*/, int level, char const* format, va_list arguments) {
  if (level > av_log_get_level()) return;
  char line[512];
  int prefix = 1;
  av_log_format_line2(nullptr, level, format, arguments, line, sizeof line, &prefix);
  std::string text(line, ::strnlen(line, sizeof line));
  std::lock_guard const lock(gLogMutex);
  gLogged.push_back(std::move(text));
}

// FFmpeg has one log per process. A program that loads the pictures library, with its own log callback and level, keeps
// both: reading a damaged file reaches the program's callback, at the program's level, and neither the reader nor the
// sample writer lowers that level.
TEST_F(ContactStripTest, LeavesTheProgramsFfmpegLogAsItWas) {
  int const level = av_log_get_level();
  av_log_set_level(AV_LOG_INFO);
  av_log_set_callback(&RecordFfmpegLog);
  Samples::WriteClip(directory_ / "clip.mp4", FourShots());
  std::filesystem::resize_file(directory_ / "clip.mp4", std::filesystem::file_size(directory_ / "clip.mp4") / 2);
  EXPECT_THROW(DrawContactStrip(directory_ / "clip.mp4", {0.0}, {}), PictureError);
  EXPECT_EQ(av_log_get_level(), AV_LOG_INFO);
  av_log_set_callback(&av_log_default_callback);
  av_log_set_level(level);
  std::lock_guard const lock(gLogMutex);
  EXPECT_TRUE(std::any_of(gLogged.begin(), gLogged.end(), [](std::string const& line) {
    return line.find("moov atom not found") != std::string::npos;
  })) << gLogged.size();
}

}  // namespace
}  // namespace Quillan::Pictures
