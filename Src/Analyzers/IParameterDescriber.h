#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Foundation/Export.h"
#include "zelcore/ClassRef.h"

namespace Quillan {

// One setting of an analyzer's parameter text, as a tool lists it.
struct ParameterDescription {
  // As it is written in the parameter text: "threshold" in "threshold=-50".
  std::string name;
  // One line: "level below which every channel counts as silent".
  std::string meaning;
  // The value used when the setting is not given, as text: "-60", "best".
  std::string defaultValue;
  // The values it takes, as text: "-200 to 0", "whole numbers from 0 to 65535".
  std::string range;
  // The bounds of a numeric setting, where it has them.
  std::optional<double> minimum;
  std::optional<double> maximum;
  // The unit of its value ("dBFS", "s"); empty for a count or a value without one.
  std::string unit;
  // Whether a value without a name ("512" for "samples=512") stands for this setting.
  bool bare = false;
};

// What an analyzer does, and the settings its parameter text takes.
struct AnalyzerDescription {
  // One line: "silent ranges of the audio".
  std::string summary;
  // Every setting, in the order the analyzer writes them in its own (canonical) parameter text; empty when it takes
  // none.
  std::vector<ParameterDescription> parameters;
};

// An analyzer that can say what it does and which parameters it takes (optional; asked for through QueryMap). Tools
// list analyzers and their parameters through it; DescribeAnalyzerParameters (ParameterDescription.h) checks what it
// says before a tool prints it.
struct QUILLAN_EXPORT IParameterDescriber : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("Quillan::IParameterDescriber")
  // The same for every analyzer of one type, whatever its clip or parameter: tools ask an analyzer built for a
  // placeholder clip. May be called from any thread.
  virtual AnalyzerDescription DescribeAnalyzer() const = 0;
};

}  // namespace Quillan
