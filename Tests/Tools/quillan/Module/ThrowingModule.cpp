// An analyzer module for the tool's tests whose entry point fails: the tool must end with its message.
#include <stdexcept>

#include "Host/AnalyzerModule.h"

QUILLAN_ANALYZER_MODULE_ENTRY_POINT { throw std::runtime_error("the test module refuses to register"); }
