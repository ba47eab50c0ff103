#include "Analyzers/ResultDescription.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace Quillan {
namespace {

using nlohmann::ordered_json;

// Follows a description's JSON as it is read, without building it: a tool describes every result of a run, and the
// check should cost little beside the description itself. Wrong as soon as the top is no object, "name" no text,
// "fields" or "units" no object, or a unit no text.
class DescriptionShape : public nlohmann::json_sax<ordered_json> {
 public:
  bool Holds() const { return !wrong_ && name_ && fields_ && units_; }

  bool null() override { return Scalar(false); }
  bool boolean(bool) override { return Scalar(false); }
  bool number_integer(number_integer_t) override { return Scalar(false); }
  bool number_unsigned(number_unsigned_t) override { return Scalar(false); }
  bool number_float(number_float_t, string_t const&) override { return Scalar(false); }
  bool string(string_t&) override { return Scalar(true); }
  bool binary(binary_t&) override { return Scalar(false); }
  bool start_object(std::size_t) override { return Open(true); }
  bool start_array(std::size_t) override { return Open(false); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }
  bool key(string_t& key) override {
    if (open_.size() == 1) key_ = key;
    return true;
  }
  bool parse_error(std::size_t, std::string const&, nlohmann::detail::exception const&) override {
    wrong_ = true;
    return false;
  }

 private:
  bool InUnits() const { return open_.size() == 2 && open_.back(); }

  bool Scalar(bool text) {
    if (open_.empty()) {
      wrong_ = true;
    } else if (open_.size() == 1) {
      if (key_ == "name") {
        name_ = text;
        wrong_ = !text;
      } else if (key_ == "fields" || key_ == "units") {
        wrong_ = true;
      }
    } else if (InUnits() && !text) {
      wrong_ = true;
    }
    return !wrong_;
  }

  bool Open(bool object) {
    bool units = false;
    if (open_.empty()) {
      wrong_ = !object;
    } else if (open_.size() == 1) {
      if (key_ == "name" || ((key_ == "fields" || key_ == "units") && !object)) wrong_ = true;
      fields_ = fields_ || key_ == "fields";
      units = key_ == "units";
      units_ = units_ || units;
    } else if (InUnits()) {
      wrong_ = true;
    }
    open_.push_back(units);
    return !wrong_;
  }

  bool Close() {
    open_.pop_back();
    return true;
  }

  std::vector<bool> open_;  // per open container: whether it is the top's "units"
  std::string key_;         // the last key of the top object
  bool name_ = false;
  bool fields_ = false;
  bool units_ = false;
  bool wrong_ = false;
};

// Whether `description` keeps the promise of IResultDescriber: tools print it unchecked.
bool IsWellFormed(ResultDescription const& description) {
  if (description.summary.find_first_of("\r\n") != std::string::npos) return false;
  DescriptionShape shape;
  return ordered_json::sax_parse(description.json, &shape) && shape.Holds();
}

ResultDescription SizeOnly(std::string const& name, zelcore::Blob const& blob) {
  std::size_t const size = blob ? blob->size() : 0;
  ordered_json const value = {{"name", name}, {"fields", {{"size", size}}}, {"units", {{"size", "bytes"}}}};
  return {std::to_string(size) + " bytes", value.dump()};
}

}  // namespace

ResultDescription DescribeAnalyzerResult(zelcore::InterfaceRef<IAnalyzer> const& analyzer,
                                         std::string const& fallbackName, zelcore::utility::ImmutableString const& key,
                                         zelcore::Blob const& blob) {
  if (auto const describer = zelcore::InterfaceRef<IResultDescriber>::Query(analyzer)) {
    try {
      if (std::optional<ResultDescription> description = describer->DescribeResult(key, blob);
          description && IsWellFormed(*description)) {
        return std::move(*description);
      }
    } catch (...) {
      // A describer that throws is treated as one that does not know the bytes.
    }
  }
  return SizeOnly(fallbackName, blob);
}

}  // namespace Quillan
