// An analyzer module for the tool's tests. Loading it registers one analyzer under AnalyzerType 7 whose factory
// builds nothing, for any clip: the tool can list it only from the registry, and must not run it unasked.
#include "Host/AnalyzerRegistry.h"

namespace {

struct Registrar {
  Registrar() {
    Quillan::RegisterAnalyzer(
        *zelcore::utility::Guid::FromString("7e57a7e5-0000-4000-8000-000000000007"), Quillan::AnalyzerType{7},
        [](auto const&, auto const&, auto const&) { return zelcore::InterfaceRef<Quillan::IAnalyzer>(); });
  }
} const registrar;

}  // namespace
