#pragma once

#include <memory>
#include <vector>

#include "Foundation/Export.h"
#include "Host/AnalyzerType.h"
#include "zelcore/Guid.h"

namespace Quillan {

using zelcore::utility::Guid;

// The process-wide table of analyzer kinds: a factory per GUID, and the GUIDs filed under each AnalyzerType.
// The registry never runs a factory itself. Every operation may be called from any thread.
class QUILLAN_EXPORT AnalyzerRegistry {
 public:
  virtual ~AnalyzerRegistry();

  // Files `factory` under `id` and `type`. Returns 0, or kResultRegistrationRefused for a null GUID or an empty
  // factory. The first registration of a GUID wins: a later one returns 0 and changes nothing.
  virtual int RegisterAnalyzer(Guid const& id, AnalyzerType type, AnalyzerFactory factory) = 0;
  // Moves `id` from type `from` to type `to`; false (and no change) when it is not filed under `from`.
  virtual bool UpdateAnalyzerType(Guid const& id, AnalyzerType from, AnalyzerType to) = 0;
  // The factories filed under `type`, in no defined order; empty when there are none.
  virtual std::vector<AnalyzerFactory> GetAnalyzerFactories(AnalyzerType type) = 0;
  // The factory of `id`; throws zel_exception kResultAnalyzerNotRegistered when there is none.
  virtual AnalyzerFactory GetAnalyzerFactory(Guid const& id) = 0;

  // The one registry of the process, created on first use. Its tables are emptied (not destroyed) when the
  // application tears down its singletons, so no factory outlives the module that supplied it.
  static std::shared_ptr<AnalyzerRegistry> GetDefaultRegistry();
};

// One analyzer kind of a registry: its GUID and the type it is filed under.
struct RegisteredAnalyzer {
  Guid id;
  AnalyzerType type{};
  friend bool operator==(RegisteredAnalyzer const&, RegisteredAnalyzer const&) = default;
};

// Every analyzer of the default registry with its type, in GUID order, for tools that show them to their users.
// Not a virtual operation of AnalyzerRegistry, whose table of operations analyzer modules are built against.
QUILLAN_EXPORT std::vector<RegisteredAnalyzer> GetRegisteredAnalyzers();

// What analyzer modules call when they load: forward to the default registry.
QUILLAN_EXPORT int RegisterAnalyzer(Guid const& id, AnalyzerType type, AnalyzerFactory factory);
QUILLAN_EXPORT bool UpdateAnalyzerType(Guid const& id, AnalyzerType from, AnalyzerType to);

}  // namespace Quillan
