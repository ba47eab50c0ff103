#pragma once

#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Analyzers/IAnalyzer.h"
#include "Analyzers/ResultDescription.h"
#include "zelcore/Guid.h"
#include "zelcore/ImmutableString.h"
#include "zelcore/RecycledMemory.h"
#include "zelcore/ZelException.h"

namespace Quillan::Cli {

// Describes stored results through their analyzers' own IResultDescriber (a result of an analyzer without one is
// its size). Builds one analyzer per GUID, for the placeholder clip that listing uses, and keeps it. Any thread: the
// analyzers are asked through their const interface.
class ResultDescriber {
 public:
  // `name` names the result when the analyzer cannot describe it. `storedKey` is the key the value is filed under in
  // a store ("<GUID>__<parameter>__<key>"); the analyzer is asked about its own key in it. Without one (a job's
  // result), the analyzer's first cache key.
  ResultDescription Describe(zelcore::utility::Guid const& id, std::string const& name,
                             std::optional<std::string> const& storedKey, zelcore::Blob const& blob);

 private:
  std::mutex mutex_;
  std::map<std::string, zelcore::InterfaceRef<IAnalyzer>>
      analyzers_;  // by GUID text; null when none was built; guarded by mutex_
};

// A description as the JSON formats carry it: {"name", "summary", "fields", "units"}.
nlohmann::ordered_json DescriptionJson(ResultDescription const& description);

// A result code as people read it: "0xa00f0007".
std::string ResultCodeText(zelcore::config::Result code);
// What a failure says: its message, or when it has none (many of the system's failures carry only a code) what its
// code means. A cancelled job always says "cancelled", whichever part of the system noticed first.
std::string DescribeFailure(zelcore::config::Result code, std::string const& message);
// What `failure` says: what() of a std::exception, else the type of what was thrown ("an exception of type int").
std::string ExceptionText(std::exception_ptr const& failure);

}  // namespace Quillan::Cli
