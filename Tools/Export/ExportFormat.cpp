#include "Export/ExportFormat.h"

#include <stdexcept>

#include "Export/ChapterWriters.h"
#include "Export/TableWriters.h"
#include "Export/TimelineWriters.h"

namespace Quillan::Export {
namespace {

struct Writer {
  std::string_view name;
  ExportFormat format;
};
constexpr Writer kWriters[] = {
    {"ffmetadata", ExportFormat::kFfmetadata},
    {"webvtt", ExportFormat::kWebVtt},
    {"mlt", ExportFormat::kMlt},
    {"otio", ExportFormat::kOtio},
    {"edl", ExportFormat::kEdl},
    {"csv", ExportFormat::kCsv},
    {"ndjson", ExportFormat::kNdjson},
};

}  // namespace

std::vector<std::string_view> ExportFormatNames() {
  std::vector<std::string_view> names;
  for (Writer const& writer : kWriters) names.push_back(writer.name);
  return names;
}

std::optional<ExportFormat> ParseExportFormat(std::string_view name) {
  for (Writer const& writer : kWriters) {
    if (writer.name == name) return writer.format;
  }
  return std::nullopt;
}

bool IsSingleMediaFormat(ExportFormat format) {
  return format == ExportFormat::kFfmetadata || format == ExportFormat::kWebVtt;
}

std::string WriteExport(ExportFormat format, std::vector<MediaEvents> const& media) {
  if (IsSingleMediaFormat(format) && media.size() != 1) {
    throw std::invalid_argument("chapters describe one media file; " + std::to_string(media.size()) + " were given");
  }
  switch (format) {
    case ExportFormat::kFfmetadata:
      return WriteFfmetadata(media.front());
    case ExportFormat::kWebVtt:
      return WriteWebVtt(media.front());
    case ExportFormat::kMlt:
      return WriteMlt(media);
    case ExportFormat::kOtio:
      return WriteOtio(media);
    case ExportFormat::kEdl:
      return WriteEdl(media);
    case ExportFormat::kCsv:
      return WriteCsv(media);
    case ExportFormat::kNdjson:
      return WriteNdjson(media);
  }
  throw std::invalid_argument("unknown export format");
}

}  // namespace Quillan::Export

void QuillanExportResults(Quillan::Export::ExportRequest const& request, Quillan::Export::ExportReply& reply) {
  using namespace Quillan::Export;
  try {
    std::optional<ExportFormat> const format = ParseExportFormat(request.format);
    if (!format) {
      reply.error = "unknown format \"" + request.format + "\"";
      return;
    }
    std::vector<MediaEvents> media;
    for (ExportRequest::Result const& result : request.results) {
      if (media.empty() || media.back().file != result.file) media.push_back({result.file, {}, 0, 0, {}});
      if (!AddAnalyzerResult(result.analyzer, result.blob, media.back())) {
        reply.error = "the " + result.analyzer + " result of " + result.file + " has no events to export";
        return;
      }
    }
    reply.text = WriteExport(*format, media);
  } catch (std::exception const& error) {
    reply.error = error.what();
  }
}
