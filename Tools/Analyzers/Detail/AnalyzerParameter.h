#pragma once

#include <any>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Analyzers/IParameterDescriber.h"

#include "Analyzers/ExampleAnalyzers.h"

namespace Quillan::Examples::detail {

// One numeric setting of an analyzer's parameter text: a row of the analyzer's table, which its parser reads, its
// canonical text orders by and tools show.
struct ParameterSetting {
  std::string_view name;
  std::string_view meaning;       // one line, for tools
  double fallback;                // the value when the setting is not given
  std::string_view fallbackText;  // how tools show the default when it is no value people give ("best"); else empty
  double low;
  double high;
  std::string_view unit;  // empty for a count
  bool whole = false;     // whole numbers only
  bool bare = false;      // a value without a name stands for this setting; at most one per table
};

// The stream setting of the analyzers that read one audio or one video stream: -1 chooses the best.
inline constexpr ParameterSetting kAudioStreamSetting{
    "stream", "the audio stream to read, by its index in the file (as ffprobe numbers them)", -1, "best", 0, 65535, "",
    true};
inline constexpr ParameterSetting kVideoStreamSetting{
    "stream", "the video stream to read, by its index in the file (as ffprobe numbers them)", -1, "best", 0, 65535, "",
    true};

// What an analyzer does and the settings it takes, in the order its canonical text writes them.
struct ParameterTable {
  std::string_view analyzer;  // its name, for messages
  std::string_view summary;   // one line, for tools
  std::span<ParameterSetting const> settings;

  // The table as IParameterDescriber tells it.
  AnalyzerDescription Describe() const;
};

// An analyzer's parameter as text, read by its table: comma-separated items, each `name=value` or a bare value that
// stands for the analyzer's main setting, e.g. "512,stream=2" or "threshold=-50,min=0.5". Spaces around names and
// values do not count. Immutable once parsed; safe to share between threads.
class QUILLAN_EXAMPLES_EXPORT AnalyzerParameter {
 public:
  // The text of `parameter` as given: an int, a double or text (std::string or ImmutableString); `fallback` when
  // there is none.
  static std::string TextOf(std::any const& parameter, std::string_view fallback);

  // Reads `text` by `table`, which must outlive this object. Throws zel_exception kResultIllegalArgument naming the
  // analyzer for an item without a value, a name that is not in the table, a bare value where no setting takes one, a
  // setting given twice, and a value that is not a number in its setting's range (whole where it must be).
  AnalyzerParameter(std::string_view text, ParameterTable const& table);

  // The value of the table's setting `name`, or its fallback when not given.
  double Number(std::string_view name) const;
  // The audio or video stream the parameter chooses ("stream=N"), or -1 for the best one.
  int Stream() const;

  // The one text that every spelling of the same settings reads as, so that it keys one cache entry: the settings
  // given, in the table's order, each as "name=value" (the bare setting as its value alone), each number in the
  // shortest form that reads back as the same double ("-50.0" and "-5e1" as "-50"), without spaces. A setting given
  // with its default value is kept: the text says what was asked for.
  std::string Canonical() const;

 private:
  ParameterTable const& table_;
  std::vector<std::optional<double>> values_;  // one per setting of the table, in its order
};

// The shortest text that reads back as `value` ("0.4", "-50", "1e+20"); 0 for minus zero.
std::string ShortestNumberText(double value);

}  // namespace Quillan::Examples::detail
