#pragma once

#include <optional>
#include <string>

#include "Foundation/Export.h"
#include "zelcore/ClassRef.h"
#include "zelcore/ImmutableString.h"
#include "zelcore/RecycledMemory.h"

namespace Quillan {

// An analyzer's stored result as people and programs read it.
struct ResultDescription {
  // One line for a table: "-23.02 LUFS, range 4.20 LU, true peak -1.00 dBTP".
  std::string summary;
  // A JSON object of three members:
  //   "name":   what the result is ("loudness"),
  //   "fields": an object of the result's values; numbers, text, booleans, arrays and nested objects,
  //   "units":  an object naming the unit of every number in "fields", keyed by its path ("integrated": "LUFS",
  //             "cuts.seconds": "s"; the elements of an array share their array's path). A number without a unit
  //             (a count) is left out.
  std::string json;
};

// An analyzer that can read back the results it stores (optional; asked for through QueryMap). Tools show any
// analyzer's result through it; a result of an analyzer without it shows as its size in bytes.
struct QUILLAN_EXPORT IResultDescriber : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("Quillan::IResultDescriber")
  // The result stored under `key`, described; empty when the bytes are not a result this analyzer wrote (stored
  // results come from files and may be hostile, so this must not trust their layout, nor throw for them).
  virtual std::optional<ResultDescription> DescribeResult(zelcore::utility::ImmutableString const& key,
                                                          zelcore::Blob const& blob) const = 0;
};

}  // namespace Quillan
