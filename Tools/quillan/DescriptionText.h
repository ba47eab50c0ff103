#pragma once

#include <string>

#include "Analyzers/ResultDescription.h"

namespace Quillan::Cli {

// A result's description as the JSON formats carry it, {"name","summary","fields","units"}, written as compact JSON
// text straight from the description's own text, which must be well formed (DescribeAnalyzerResult hands out no
// other). It is what JsonText(DescriptionJson(description)) gives, with numbers and escapes as the describer wrote
// them, without parsing the text into values and writing them again: a folder's NDJSON spent a quarter of its time so.
std::string DescriptionJsonText(ResultDescription const& description);

}  // namespace Quillan::Cli
