#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Export/MediaEvents.h"

namespace Quillan::Export {

// The timelines put the files one after another, each cut into its segments (Segments), at the rate of the first
// file; a later file of another rate has its cuts moved to the nearest frame of that rate where the format has one
// rate only (MLT, EDL). Events other than cuts become markers (OTIO) or guides (MLT) at their time on the timeline.

QUILLAN_EXPORT_EXPORT std::string WriteMlt(std::vector<MediaEvents> const& media);
QUILLAN_EXPORT_EXPORT std::string WriteOtio(std::vector<MediaEvents> const& media);
QUILLAN_EXPORT_EXPORT std::string WriteEdl(std::vector<MediaEvents> const& media);

// Text for XML content and attribute values.
QUILLAN_EXPORT_EXPORT std::string EscapeXml(std::string_view text);
// A file: URL of an absolute or relative path, with every byte outside the unreserved set and '/' percent-encoded.
QUILLAN_EXPORT_EXPORT std::string FileUrl(std::string_view path);

}  // namespace Quillan::Export
