#pragma once

#include <filesystem>

#include "zelcore/RecycledMemory.h"

namespace Quillan::Examples::detail {

class AnalyzerParameter;
class Progress;
class ReadVersion;

// What each of the module's analyzers measures: the result blob for `file` under `parameter`, as
// ExampleAnalyzer::Compute gives it (ExampleAnalyzers.h has the layouts).
// Segment lengths are sums of rounded doubles: 50 pictures of 0.04 s fall short of 2 s by a hair, and must still count
// as 2 s.
inline constexpr double kTimeSlack = 1e-6;

using Measure = zelcore::Blob (*)(AnalyzerParameter const& parameter, std::filesystem::path const& file,
                                  Progress const& progress, ReadVersion& read);

zelcore::Blob MeasureDigest(AnalyzerParameter const& parameter, std::filesystem::path const& file,
                            Progress const& progress, ReadVersion& read);
zelcore::Blob MeasurePeaks(AnalyzerParameter const& parameter, std::filesystem::path const& file,
                           Progress const& progress, ReadVersion& read);
zelcore::Blob MeasureLoudness(AnalyzerParameter const& parameter, std::filesystem::path const& file,
                              Progress const& progress, ReadVersion& read);
zelcore::Blob MeasureScenes(AnalyzerParameter const& parameter, std::filesystem::path const& file,
                            Progress const& progress, ReadVersion& read);
zelcore::Blob MeasureSilence(AnalyzerParameter const& parameter, std::filesystem::path const& file,
                             Progress const& progress, ReadVersion& read);
zelcore::Blob MeasureBeats(AnalyzerParameter const& parameter, std::filesystem::path const& file,
                           Progress const& progress, ReadVersion& read);
zelcore::Blob MeasureBlack(AnalyzerParameter const& parameter, std::filesystem::path const& file,
                           Progress const& progress, ReadVersion& read);
zelcore::Blob MeasureFreeze(AnalyzerParameter const& parameter, std::filesystem::path const& file,
                            Progress const& progress, ReadVersion& read);

}  // namespace Quillan::Examples::detail
