#pragma once

#include <string>
#include <string_view>

#include "Export/MediaEvents.h"

namespace Quillan::Export {

// ;FFMETADATA1 with the file's name as title and one [CHAPTER] per segment, in the segments' own time base so that
// every boundary falls on its frame.
QUILLAN_EXPORT_EXPORT std::string WriteFfmetadata(MediaEvents const& media);
// Text with the characters FFmpeg's metadata reader treats specially (= ; # \ and newline) escaped by a backslash.
QUILLAN_EXPORT_EXPORT std::string EscapeFfmetadata(std::string_view text);

// WEBVTT with one cue per segment, titled as the chapters are.
QUILLAN_EXPORT_EXPORT std::string WriteWebVtt(MediaEvents const& media);

// "Shot 3", or "Part 3" for the parts of a file without pictures.
QUILLAN_EXPORT_EXPORT std::string SegmentTitle(Segmentation const& segmentation, std::size_t index);

}  // namespace Quillan::Export
