// An analyzer module for the tool's tests whose analyzers cannot be built: its entry point registers two analyzers
// under AnalyzerType 0 whose constructors throw, one an int and one a std::runtime_error. The tool must report each
// as that analyzer's failure, never end or skip it.
#include <stdexcept>

#include "Host/AnalyzerModule.h"
#include "Host/AnalyzerRegistry.h"

namespace {

using zelcore::utility::Guid;

// The tests know them too.
constexpr Guid kThrowsIntId{
    Guid::Bytes{0x7e, 0x57, 0xa7, 0xe5, 0x00, 0x00, 0x40, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xe1}};
constexpr Guid kThrowsErrorId{
    Guid::Bytes{0x7e, 0x57, 0xa7, 0xe5, 0x00, 0x00, 0x40, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xe2}};

// Stands for an analyzer whose constructor fails before it is anything: what it throws is all the host gets.
template <bool kThrowsInt>
struct Unbuildable {
  Unbuildable() {
    if constexpr (kThrowsInt) {
      throw 42;
    } else {
      throw std::runtime_error("the test analyzer refuses to be made");
    }
  }
};

template <bool kThrowsInt>
zelcore::InterfaceRef<Quillan::IAnalyzer> Create(zelcore::InterfaceRef<BE::IClip> const&, std::any const&,
                                                 zelcore::InterfaceWeakRef<Quillan::IAnalyzerHost> const&) {
  Unbuildable<kThrowsInt> const never;
  return nullptr;
}

}  // namespace

QUILLAN_ANALYZER_MODULE_ENTRY_POINT {
  if (int const result = Quillan::RegisterAnalyzer(kThrowsIntId, Quillan::AnalyzerType{0}, &Create<true>)) {
    return result;
  }
  return Quillan::RegisterAnalyzer(kThrowsErrorId, Quillan::AnalyzerType{0}, &Create<false>);
}
