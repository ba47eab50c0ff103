#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "Pictures/PictureFile.h"

namespace Quillan::Pictures {

inline constexpr int kMinThumbnailHeight = 16;
inline constexpr int kMaxThumbnailHeight = 1080;
inline constexpr int kMinStripWidth = 160;
inline constexpr int kMaxStripWidth = 16384;
inline constexpr std::size_t kMaxStripScenes = 2000;

// A stretch of the video marked on the strip: black pictures (the black analyzer's segments) or frozen ones (the
// freeze analyzer's).
enum class MarkKind { kBlack, kFrozen };
struct StripMark {
  MarkKind kind = MarkKind::kBlack;
  double start = 0;  // seconds
  double end = 0;
};

// The colours of the marks: black pictures would not show in black on the strip's dark ground.
inline constexpr std::uint32_t kBlackMarkColour = 0xffb300;
inline constexpr std::uint32_t kFrozenMarkColour = 0x00b8d4;
// The height of a mark's lane along the bottom of a picture: black in the lowest lane, frozen above it.
inline constexpr int kMarkLaneHeight = 5;

struct ContactStripOptions {
  int thumbnailHeight = 120;
  // The picture's width at most; thumbnails wrap into rows below it.
  int maxWidth = 1800;
  // Scenes beyond this many are left out and counted in a last "+N more" tile.
  std::size_t maxScenes = 200;
  // The video stream to take pictures from: an index in the file, or -1 for the best one (as the scenes analyzer
  // chooses when its parameter names no stream).
  int stream = -1;
  // Stretches marked along the bottom of the pictures: each picture stands for its scene, from its start to the next
  // scene's start (the last one to endSeconds), and a bar in the mark's lane shows where in that time the stretch
  // falls. A scene that a mark covers has its lane filled across.
  std::vector<StripMark> marks;
  // Where the video ends; when 0, the last scene ends where its last mark does.
  double endSeconds = 0;
};

// Where a contact strip put its tiles: each thumbnail spans columns [left, left + width) and rows [top, top + height),
// with its scene's start time written in the rows below it.
struct ContactTile {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  double seconds = 0;  // where the scene starts
};

struct ContactStrip {
  std::vector<std::uint8_t> png;
  std::vector<ContactTile> tiles;  // in scene order
  std::size_t scenesLeftOut = 0;
};

// Where each scene starts: 0, then each cut's time, in the order the analyzer found them. Throws PictureError for a
// cut time that is negative, not finite, or earlier than the cut before it (a damaged result).
QUILLAN_PICTURES_EXPORT std::vector<double> SceneStarts(Examples::Scenes const& scenes);

// A contact strip of the first picture of each scene of `media`: the pictures, equally high and as wide as the video's
// shape makes them, side by side in rows of at most maxWidth pixels, each with its start time below it. Each picture
// is the first one shown at or after the scene's start: the decoder seeks to the key frame before it and decodes
// forward. Throws std::invalid_argument for options out of range (thumbnail height, width, a scene limit of 0), a
// start time that is negative or not finite, or a mark that is not finite or ends before it starts, and PictureError
// for a file that FFmpeg cannot read, has no video stream, or whose video cannot be decoded.
QUILLAN_PICTURES_EXPORT ContactStrip DrawContactStrip(std::filesystem::path const& media,
                                                      std::vector<double> const& sceneStarts,
                                                      ContactStripOptions const& options);

// DrawContactStrip of SceneStarts(scenes), written to `output` with WritePictureFile; returns how many scenes were
// left out.
QUILLAN_PICTURES_EXPORT std::size_t WriteContactStrip(std::filesystem::path const& output,
                                                      std::filesystem::path const& media,
                                                      Examples::Scenes const& scenes,
                                                      ContactStripOptions const& options);

}  // namespace Quillan::Pictures
