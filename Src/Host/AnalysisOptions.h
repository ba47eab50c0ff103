#pragma once

#include <cstdint>

namespace Quillan {

// How a caller wants a clip analysed; copied by value into every job. The caller fills both fields.
struct AnalysisOptions {
  // kNoProgress asks for no progress item; any other value lets the host obtain the analyzer's.
  std::int32_t progressMode;
  // Non-zero lets clips whose master clip is an XRef clip be analysed.
  std::int32_t allowXRefClips;

  static constexpr std::int32_t kNoProgress = 1;
};

}  // namespace Quillan
