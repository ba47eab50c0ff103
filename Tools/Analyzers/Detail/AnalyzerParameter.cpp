#include "Analyzers/Detail/AnalyzerParameter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "DataStoreAdaptors/ResultCodes.h"
#include "zelcore/ImmutableString.h"
#include "zelcore/ZelException.h"

namespace Quillan::Examples::detail {
namespace {

[[noreturn]] void Refuse(std::string const& message) {
  throw zelcore::config::zel_exception(message, kResultIllegalArgument);
}

}  // namespace

std::string AnalyzerParameter::TextOf(std::any const& parameter, std::string_view fallback) {
  if (!parameter.has_value()) return std::string(fallback);
  if (auto const* value = std::any_cast<int>(&parameter)) return std::to_string(*value);
  if (auto const* value = std::any_cast<double>(&parameter)) {
    char buffer[32];
    auto const [end, error] = std::to_chars(buffer, buffer + sizeof buffer, *value);
    return std::string(buffer, end);
  }
  if (auto const* value = std::any_cast<std::string>(&parameter)) return *value;
  if (auto const* value = std::any_cast<zelcore::utility::ImmutableString>(&parameter)) return value->ToUTF8String();
  return std::string("<") + parameter.type().name() + ">";
}

AnalyzerParameter::AnalyzerParameter(std::string text, std::string_view analyzer,
                                     std::vector<std::string_view> const& names)
    : text_(std::move(text)), analyzer_(analyzer) {
  std::string_view rest = text_;
  while (!rest.empty()) {
    std::size_t const comma = rest.find(',');
    std::string_view const item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    std::size_t const equals = item.find('=');
    std::string name(equals == std::string_view::npos ? std::string_view() : item.substr(0, equals));
    std::string value(equals == std::string_view::npos ? item : item.substr(equals + 1));
    if (value.empty()) Refuse("The " + analyzer_ + " parameter \"" + text_ + "\" has an item without a value");
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      Refuse(name.empty() ? "The " + analyzer_ + " parameter \"" + text_ + "\" has a value without a name"
                          : "The " + analyzer_ + " analyzer has no setting \"" + name + "\"");
    }
    items_.emplace_back(std::move(name), std::move(value));
  }
}

std::optional<std::string> AnalyzerParameter::Find(std::string_view name) const {
  for (auto const& [key, value] : items_) {
    if (key == name) return value;
  }
  return std::nullopt;
}

double AnalyzerParameter::Number(std::string_view name, double fallback, double low, double high) const {
  std::optional<std::string> const text = Find(name);
  if (!text) return fallback;
  double value = 0;
  auto const [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (error != std::errc() || end != text->data() + text->size() || !(value >= low && value <= high)) {
    std::string const what =
        name.empty() ? analyzer_ + " parameter" : analyzer_ + " setting \"" + std::string(name) + "\"";
    char range[96];
    std::snprintf(range, sizeof range, "a number from %g to %g", low, high);
    Refuse("The " + what + " must be " + range + ", not \"" + *text + "\"");
  }
  return value;
}

int AnalyzerParameter::Stream() const {
  double const stream = Number("stream", -1, 0, 65535);
  if (stream != std::floor(stream)) Refuse("The " + analyzer_ + " setting \"stream\" must be a stream's index");
  return static_cast<int>(stream);
}

}  // namespace Quillan::Examples::detail
