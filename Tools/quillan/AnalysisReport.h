#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "quillan/AnalysisRun.h"
#include "quillan/OutputFormat.h"
#include "quillan/ResultFormatting.h"

namespace Quillan::Cli {

// What `quillan analyze` and `quillan show` print on stdout: a row per job, or one row for a file that is not
// analysed (it cannot be read, or no analyzer found it to be media). NDJSON lines are printed as the rows settle; the
// table, the JSON document and the CSV rows once the run has ended, in the order the files were given. Its handlers
// are called as AnalysisRun::Handlers says; each job's row is made on the worker that ended the job.
class AnalysisReport {
 public:
  AnalysisReport(AnalysisRun& run, OutputFormat format);
  AnalysisReport(AnalysisReport const&) = delete;
  AnalysisReport& operator=(AnalysisReport const&) = delete;

  // What the run tells the report, for AnalysisRun::Run.
  AnalysisRun::Handlers Handlers();
  // Prints what was not printed as the run went: everything but NDJSON. `interrupted` goes into the JSON document.
  void Print(bool interrupted);

 private:
  void Describe(std::size_t file, std::size_t analyzer, JobOutcome const& outcome);
  void Settled(std::size_t file, std::size_t analyzer);
  void FileDone(std::size_t file);
  void Stream(nlohmann::ordered_json const& row);
  // `row`'s NDJSON line, without its end: {"schema":1, then its members.
  static std::string Line(nlohmann::ordered_json const& row);
  // Every row in the order of the files given: a file's jobs, or its one row.
  std::vector<nlohmann::ordered_json> Rows();

  AnalysisRun& run_;
  OutputFormat const format_;
  ResultDescriber describer_;
  std::vector<std::vector<nlohmann::ordered_json>> rows_;  // by file, then analyzer; each written by one job
  std::vector<std::vector<std::string>> lines_;            // likewise, for NDJSON
};

}  // namespace Quillan::Cli
