#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Export/MediaEvents.h"

namespace Quillan::Export {

// One row per event: file, analyzer, kind, start, end, score, then a column for each of the analyzers' own fields in
// the order they first appear. A value the event does not have is an empty cell (CSV) or left out (NDJSON). Times are
// seconds, numbers in the shortest form that reads back the same.
QUILLAN_EXPORT_EXPORT std::string WriteCsv(std::vector<MediaEvents> const& media);
QUILLAN_EXPORT_EXPORT std::string WriteNdjson(std::vector<MediaEvents> const& media);

// A CSV cell: quoted, with quotes doubled, when it holds a comma, a quote, a line break or leading or trailing space.
QUILLAN_EXPORT_EXPORT std::string CsvCell(std::string_view text);

}  // namespace Quillan::Export
