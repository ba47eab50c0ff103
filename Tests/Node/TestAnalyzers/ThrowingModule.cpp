// An analyzer module whose registration entry point throws, as a module that cannot find what it needs would.
#include <stdexcept>

#include "Host/AnalyzerModule.h"

QUILLAN_ANALYZER_MODULE_ENTRY_POINT {
  throw std::runtime_error("the throwing test module refuses to register: its licence file is missing");
}
