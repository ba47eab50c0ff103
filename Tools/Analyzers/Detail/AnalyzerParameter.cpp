#include "Analyzers/Detail/AnalyzerParameter.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "DataStoreAdaptors/ResultCodes.h"
#include "zelcore/ImmutableString.h"
#include "zelcore/ZelException.h"

namespace Quillan::Examples::detail {
namespace {

[[noreturn]] void Refuse(std::string const& message) {
  throw zelcore::config::zel_exception(message, kResultIllegalArgument);
}

std::string_view Trimmed(std::string_view text) {
  std::size_t const first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string RangeText(ParameterSetting const& setting) {
  return std::string(setting.whole ? "a whole number" : "a number") + " from " + ShortestNumberText(setting.low) +
         " to " + ShortestNumberText(setting.high);
}

}  // namespace

std::string ShortestNumberText(double value) {
  if (value == 0) value = 0;  // no "-0"
  char buffer[32];
  auto const [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, end);
}

AnalyzerDescription ParameterTable::Describe() const {
  AnalyzerDescription description{std::string(summary), {}};
  for (ParameterSetting const& setting : settings) {
    std::string defaultValue(setting.fallbackText);
    if (defaultValue.empty()) defaultValue = ShortestNumberText(setting.fallback);
    std::string range = ShortestNumberText(setting.low) + " to " + ShortestNumberText(setting.high);
    if (setting.whole) range = "whole numbers from " + range;
    description.parameters.push_back({std::string(setting.name), std::string(setting.meaning), defaultValue, range,
                                      setting.low, setting.high, std::string(setting.unit), setting.bare});
  }
  return description;
}

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

AnalyzerParameter::AnalyzerParameter(std::string_view text, ParameterTable const& table)
    : table_(table), values_(table.settings.size()) {
  std::string const analyzer(table.analyzer);
  std::string_view rest = Trimmed(text);
  while (!rest.empty()) {
    std::size_t const comma = rest.find(',');
    std::string_view const item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    std::size_t const equals = item.find('=');
    std::string_view const name =
        equals == std::string_view::npos ? std::string_view() : Trimmed(item.substr(0, equals));
    std::string const value(Trimmed(equals == std::string_view::npos ? item : item.substr(equals + 1)));
    if (value.empty())
      Refuse("The " + analyzer + " parameter \"" + std::string(text) + "\" has an item without a value");
    auto const setting = std::find_if(table.settings.begin(), table.settings.end(), [&](ParameterSetting const& s) {
      return name.empty() ? s.bare : s.name == name;
    });
    if (setting == table.settings.end()) {
      Refuse(name.empty() ? "The " + analyzer + " parameter \"" + std::string(text) + "\" has a value without a name"
                          : "The " + analyzer + " analyzer has no setting \"" + std::string(name) + "\"");
    }
    std::optional<double>& slot = values_[static_cast<std::size_t>(setting - table.settings.begin())];
    if (slot)
      Refuse("The " + analyzer + " parameter \"" + std::string(text) + "\" gives \"" + std::string(setting->name) +
             "\" twice");
    double number = 0;
    auto const [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (error != std::errc() || end != value.data() + value.size() || !(number >= setting->low) ||
        !(number <= setting->high) || (setting->whole && number != std::floor(number))) {
      std::string const what =
          name.empty() ? analyzer + " parameter" : analyzer + " setting \"" + std::string(setting->name) + "\"";
      Refuse("The " + what + " must be " + RangeText(*setting) + ", not \"" + value + "\"");
    }
    slot = number;
  }
}

double AnalyzerParameter::Number(std::string_view name) const {
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if (table_.settings[i].name == name) return values_[i].value_or(table_.settings[i].fallback);
  }
  Refuse("The " + std::string(table_.analyzer) + " analyzer has no setting \"" + std::string(name) + "\"");
}

int AnalyzerParameter::Stream() const { return static_cast<int>(Number("stream")); }

std::string AnalyzerParameter::Canonical() const {
  std::string text;
  auto const add = [&text](std::string const& item) { text += (text.empty() ? "" : ",") + item; };
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if (values_[i] && table_.settings[i].bare) add(ShortestNumberText(*values_[i]));
  }
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if (values_[i] && !table_.settings[i].bare) {
      add(std::string(table_.settings[i].name) + "=" + ShortestNumberText(*values_[i]));
    }
  }
  return text;
}

}  // namespace Quillan::Examples::detail
