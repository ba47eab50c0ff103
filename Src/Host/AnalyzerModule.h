#pragma once

#include <stdexcept>
#include <string>

#include "Foundation/Export.h"

// What an analyzer module exports so that its registration can fail cleanly: a function called once, after the
// module has loaded, which registers the module's analyzers and returns 0, or returns a result code or throws when it
// cannot. Modules that register from static constructors still load, but a failure there ends the process.
#define QUILLAN_ANALYZER_MODULE_ENTRY_POINT \
  extern "C" __attribute__((visibility("default"))) int QuillanRegisterAnalyzers()

namespace Quillan {

// Why an analyzer module could not be loaded or could not register its analyzers.
class QUILLAN_EXPORT AnalyzerModuleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Loads the analyzer module at `path` (a bare file name is taken from the working directory, never searched for) and
// calls its entry point, once per module however often it is loaded; a module whose entry point failed fails every
// load with the same message. The module stays loaded for the life of the process: the registry keeps its factories.
// Throws AnalyzerModuleError with the loader's or the module's message.
QUILLAN_EXPORT void LoadAnalyzerModule(std::string const& path);

}  // namespace Quillan
