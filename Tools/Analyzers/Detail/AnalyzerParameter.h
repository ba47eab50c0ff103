#pragma once

#include <any>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Quillan::Examples::detail {

// An analyzer's parameter as text: comma-separated items, each `name=value` or a bare value that stands for the
// analyzer's main setting, e.g. "512,stream=2" or "threshold=-50,min=0.5". The text itself keys the cache, so an
// analyzer keeps it as given. Immutable once parsed; safe to share between threads.
class AnalyzerParameter {
 public:
  // The text of `parameter` as given: an int, a double or text (std::string or ImmutableString); `fallback` when
  // there is none.
  static std::string TextOf(std::any const& parameter, std::string_view fallback);

  // Splits `text` into its items; throws zel_exception kResultIllegalArgument naming `analyzer` for an item without
  // a value or a name that is not one of `names` (the bare value is allowed only when `names` holds "").
  AnalyzerParameter(std::string text, std::string_view analyzer, std::vector<std::string_view> const& names);

  std::string const& Text() const { return text_; }
  // The value given for `name` ("" for the bare value); empty when it was not given.
  std::optional<std::string> Find(std::string_view name) const;
  // The value of `name` as a number from `low` to `high`, or `fallback` when not given; throws
  // zel_exception kResultIllegalArgument for anything else.
  double Number(std::string_view name, double fallback, double low, double high) const;
  // The audio or video stream the parameter chooses ("stream=N"), or -1 for the best one.
  int Stream() const;

 private:
  std::string text_;
  std::string analyzer_;
  std::vector<std::pair<std::string, std::string>> items_;
};

}  // namespace Quillan::Examples::detail
