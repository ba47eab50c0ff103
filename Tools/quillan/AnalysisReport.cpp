#include "quillan/AnalysisReport.h"

#include <iostream>
#include <iterator>
#include <optional>
#include <string>

#include "DataStoreAdaptors/ResultCodes.h"
#include "quillan/DescriptionText.h"
#include "quillan/TextTable.h"

namespace Quillan::Cli {
namespace {

using nlohmann::ordered_json;

char const* StatusText(JobStatus status) {
  switch (status) {
    case JobStatus::kComputed:
      return "computed";
    case JobStatus::kCached:
      return "cached";
    case JobStatus::kNotApplicable:
      return "not applicable";
    case JobStatus::kNotStored:
      return "not stored";
    case JobStatus::kNotMedia:
      return "skipped";
    case JobStatus::kFailed:
      return "failed";
  }
  return "failed";
}

// What every format says of one analyzer's outcome for one file, but the description of its result: the "result"
// member that an answer ends with.
ordered_json OutcomeJson(MediaFile& file, RequestedAnalyzer const& analyzer, JobOutcome const& outcome,
                         bool managedWrites) {
  bool const answered = outcome.Answered();
  // Among answers of other analyzers, "not media" is this analyzer's view only: it does not apply.
  JobStatus const status = outcome.status == JobStatus::kNotMedia ? JobStatus::kNotApplicable : outcome.status;
  std::optional<zelcore::utility::Guid> const contentState = answered ? file.ContentState() : std::nullopt;
  ordered_json result = {
      {"file", file.given},
      {"contentState", contentState ? ordered_json(contentState->AsUTF8String()) : ordered_json()},
      {"analyzer", analyzer.info.name},
      {"analyzerId", analyzer.info.id.AsUTF8String()},
      {"parameter", analyzer.parameterText ? ordered_json(*analyzer.parameterText) : ordered_json()},
      {"status", StatusText(status)},
  };
  if (!answered) {
    result["message"] = DescribeFailure(outcome.code, outcome.message);
    result["resultCode"] = ResultCodeText(outcome.code);
    return result;
  }
  if (outcome.status == JobStatus::kComputed && managedWrites) {
    result["stored"] = outcome.notStored.empty();
    if (!outcome.notStored.empty()) result["notStored"] = outcome.notStored;
  }
  return result;
}

std::optional<ResultDescription> DescriptionOf(RequestedAnalyzer const& analyzer, JobOutcome const& outcome,
                                               ResultDescriber& describer) {
  if (!outcome.Answered() || !outcome.hasBlob) return std::nullopt;
  return describer.Describe(analyzer.info.id, analyzer.info.name, std::nullopt, outcome.blob);
}

// The one row of a file that is not analysed: it cannot be read, it is not media, or no analyzer could read it.
ordered_json FileRowJson(MediaFile const& file) {
  bool const skipped = file.notMedia;
  std::string const failure = file.damage.empty() ? "Cannot read " + file.given + ": " + file.readProblem : file.damage;
  return {{"file", file.given},
          {"contentState", nullptr},
          {"analyzer", nullptr},
          {"analyzerId", nullptr},
          {"parameter", nullptr},
          {"status", skipped ? "skipped" : "failed"},
          {"message", skipped ? std::string("not a media file") : failure},
          {"resultCode", ResultCodeText(skipped ? kResultNotMediaFile : zelcore::config::kResultFileRead)}};
}

constexpr char const* kCsvColumns[] = {"schema",    "file",       "contentState", "analyzer", "analyzerId",
                                       "parameter", "status",     "summary",      "fields",   "units",
                                       "stored",    "resultCode", "message"};

std::string CsvText(ordered_json const& value) {
  if (value.is_null()) return {};
  return value.is_string() ? value.get<std::string>() : JsonText(value);
}

std::string CsvRow(ordered_json const& result) {
  auto const member = [&](char const* name) { return result.contains(name) ? CsvText(result[name]) : std::string(); };
  auto const described = [&](char const* name) {
    return result.contains("result") && result["result"].is_object() ? CsvText(result["result"][name]) : std::string();
  };
  return CsvLine({std::to_string(kSchemaVersion), member("file"), member("contentState"), member("analyzer"),
                  member("analyzerId"), member("parameter"), member("status"), described("summary"),
                  described("fields"), described("units"), member("stored"), member("resultCode"), member("message")});
}

void PrintTable(std::vector<ordered_json> const& results) {
  TextTable table({"FILE", "ANALYZER", "STATUS", "RESULT"});
  for (ordered_json const& result : results) {
    std::string text;
    if (result["status"] == "failed") {
      text = result["resultCode"].get<std::string>() + " " + result["message"].get<std::string>();
    } else if (result.contains("message")) {
      text = result["message"].get<std::string>();  // an answer, not a fault: the code says nothing more
    } else if (result["result"].is_object()) {
      text = result["result"]["summary"].get<std::string>();
    }
    if (result.contains("notStored")) text += " (not stored: " + result["notStored"].get<std::string>() + ")";
    std::string const analyzer =
        result["analyzer"].is_string() ? Printable(result["analyzer"].get<std::string>()) : "-";
    table.AddRow(
        {Printable(result["file"].get<std::string>()), analyzer, result["status"].get<std::string>(), Printable(text)});
  }
  std::cout << table.Format();
}

}  // namespace

AnalysisReport::AnalysisReport(AnalysisRun& run, OutputFormat format) : run_(run), format_(format) {
  // NDJSON keeps each row as its line until it is written; the other formats keep the rows until the run has ended.
  if (format == OutputFormat::kNdjson) {
    lines_.assign(run.FileCount(), std::vector<std::string>(run.AnalyzerCount()));
  } else {
    rows_.assign(run.FileCount(), std::vector<ordered_json>(run.AnalyzerCount()));
  }
}

AnalysisRun::Handlers AnalysisReport::Handlers() {
  return AnalysisRun::Handlers{
      .ended = [this](std::size_t file, std::size_t analyzer,
                      JobOutcome const& outcome) { Describe(file, analyzer, outcome); },
      .settled = [this](std::size_t file, std::size_t analyzer) { Settled(file, analyzer); },
      .fileDone = [this](std::size_t file) { FileDone(file); },
      // Flushed when the ends that came in together are written: a line per write costs a system call per job.
      .caughtUp = [] { std::cout.flush(); },
  };
}

void AnalysisReport::Print(bool interrupted) {
  switch (format_) {
    case OutputFormat::kJson: {
      ordered_json document = {
          {"schema", kSchemaVersion}, {"results", ordered_json::array()}, {"interrupted", interrupted}};
      for (ordered_json& result : Rows()) document["results"].push_back(std::move(result));
      std::cout << JsonText(document) << "\n";
      break;
    }
    case OutputFormat::kCsv:
      std::cout << CsvLine(std::vector<std::string>(std::begin(kCsvColumns), std::end(kCsvColumns)));
      for (ordered_json const& result : Rows()) std::cout << CsvRow(result);
      break;
    case OutputFormat::kTable:
      PrintTable(Rows());
      break;
    case OutputFormat::kNdjson:
      break;  // streamed
  }
}

void AnalysisReport::Describe(std::size_t file, std::size_t analyzer, JobOutcome const& outcome) {
  RequestedAnalyzer const& requested = run_.Analyzer(analyzer);
  ordered_json row = OutcomeJson(run_.File(file), requested, outcome, run_.ManagedWrites());
  std::optional<ResultDescription> const description = DescriptionOf(requested, outcome, describer_);
  if (format_ == OutputFormat::kNdjson) {
    // The row's line, its description spliced in as the describer's text.
    std::string line = Line(row);
    if (outcome.Answered()) {
      line.insert(line.size() - 1, ",\"result\":" + (description ? DescriptionJsonText(*description) : "null"));
    }
    lines_[file][analyzer] = std::move(line);
    return;
  }
  if (outcome.Answered()) row["result"] = description ? DescriptionJson(*description) : ordered_json();
  rows_[file][analyzer] = std::move(row);
}

void AnalysisReport::Settled(std::size_t file, std::size_t analyzer) {
  if (format_ == OutputFormat::kNdjson) std::cout << lines_[file][analyzer] << '\n';
}

void AnalysisReport::FileDone(std::size_t file) {
  if (run_.File(file).IsOneRow()) Stream(FileRowJson(run_.File(file)));
  // Once streamed, nothing needs the file's lines again.
  if (format_ == OutputFormat::kNdjson) lines_[file] = {};
}

void AnalysisReport::Stream(ordered_json const& row) {
  if (format_ == OutputFormat::kNdjson) std::cout << Line(row) << '\n';
}

std::string AnalysisReport::Line(ordered_json const& row) {
  // {"schema":1, then the row's own members: the row is not copied to put the schema first.
  std::string const members = JsonText(row);
  return "{\"schema\":" + std::to_string(kSchemaVersion) + (members.size() > 2 ? "," : "") +
         std::string(std::string_view(members).substr(1));
}

std::vector<ordered_json> AnalysisReport::Rows() {
  std::vector<ordered_json> rows;
  for (std::size_t f = 0; f < run_.FileCount(); ++f) {
    if (run_.File(f).IsOneRow()) {
      rows.push_back(FileRowJson(run_.File(f)));
      continue;
    }
    for (ordered_json& row : rows_[f]) rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace Quillan::Cli
