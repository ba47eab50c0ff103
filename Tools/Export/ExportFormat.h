#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Export/MediaEvents.h"

namespace Quillan::Export {

enum class ExportFormat {
  kFfmetadata,  // FFmpeg metadata chapters, one per shot
  kWebVtt,      // WebVTT chapters, one cue per shot
  kMlt,         // MLT XML: the media cut into its shots, other events as guides
  kOtio,        // OpenTimelineIO JSON: a clip per shot, other events as markers
  kEdl,         // CMX 3600 EDL of the shots
  kCsv,         // one row per event
  kNdjson,      // one JSON object per event and line
};

// The formats' names, as the command line and the binding take them, in the order of the enum.
QUILLAN_EXPORT_EXPORT std::vector<std::string_view> ExportFormatNames();
QUILLAN_EXPORT_EXPORT std::optional<ExportFormat> ParseExportFormat(std::string_view name);
// Whether the format describes one media file only (chapters); the others put several one after another.
QUILLAN_EXPORT_EXPORT bool IsSingleMediaFormat(ExportFormat format);

// The document of `media` in `format`. A file without events gives a valid document all the same. Throws
// std::invalid_argument when a single-media format is given other than one file.
QUILLAN_EXPORT_EXPORT std::string WriteExport(ExportFormat format, std::vector<MediaEvents> const& media);

// What the Node binding asks through ExportResults, which it finds with dlsym so that it need not link this library
// (and with it the example analyzers, which would register themselves as the binding loads).
struct ExportRequest {
  std::string format;
  struct Result {
    std::string file;
    std::string analyzer;
    zelcore::Blob blob;
  };
  std::vector<Result> results;  // grouped by file, in the order of the files
};
struct ExportReply {
  std::string text;   // the document
  std::string error;  // why there is none
};
using ExportResultsFunction = void (*)(ExportRequest const& request, ExportReply& reply);
inline constexpr char kExportResultsSymbol[] = "QuillanExportResults";

}  // namespace Quillan::Export

extern "C" QUILLAN_EXPORT_EXPORT void QuillanExportResults(Quillan::Export::ExportRequest const& request,
                                                           Quillan::Export::ExportReply& reply);
