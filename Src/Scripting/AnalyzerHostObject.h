#pragma once

#include <memory>

#include "Foundation/Export.h"
#include "Host/IAnalyzerHost.h"
#include "zelcore/ClassRef.h"
#include "zelcore/Guid.h"
#include "zelscripting/InterfaceRefScriptObject.h"
#include "zelscripting/NativePromise.h"
#include "zelscripting/ScriptDefinitions.h"
#include "zelscripting/ScriptObject.h"
#include "zelscripting/ScriptObjectUtils.h"

namespace Quillan::Scripting {

// The script class "AnalyzerHost" in namespace "Quillan": the analyzer host as scripts see it. Scripts get the
// application's default host (`getDefault`), count the running jobs of an analyzer (`countJobsForAnalyzer`) and
// wait until they have all ended (`waitForAnalyzerCompletion`); the job methods answer with promises.
//
// The object holds its host weakly; ScriptingRefPreserver keeps hosts alive for scripts. Once the host is gone,
// `getDefault` still works and the job methods throw "The script object is no longer valid.". Methods may be
// called from any thread and return at once; the promises settle on the executors of the host's futures.
class QUILLAN_EXPORT AnalyzerHostObject
    : public zelscripting::InterfaceRefScriptObject<zelcore::InterfaceRef<IAnalyzerHost>> {
 public:
  static constexpr char kClassName[] = "AnalyzerHost";

  AnalyzerHostObject();
  ~AnalyzerHostObject() override;

  // A new object bound to the application's default host (an unbound one when there is none), in the context of
  // this object. This object's own host plays no part.
  zelscripting::IntrusivePtr<zelscripting::ScriptObject> GetDefault() const;
  // A promise of the number of running jobs of the analyzer.
  std::shared_ptr<zelscripting::NativePromise> CountJobsForAnalyzer(
      zelscripting::IntrusivePtr<zelscripting::ScriptObject> const& analyzerGuid);
  // A promise of `true` once every job of the analyzer that is running now has ended; it rejects with the result
  // code of a job that fails.
  std::shared_ptr<zelscripting::NativePromise> WaitForAnalyzerCompletion(
      zelscripting::IntrusivePtr<zelscripting::ScriptObject> const& analyzerGuid);

  // Defines the class; run once by its initiator.
  static void DefineScriptObject(zelscripting::ScriptDefinitions& definitions);

 private:
  // The GUID of a "Guid" script object. Throws ParameterErrorException for another kind of object, and
  // ScriptException kInvalidArgument when there is no usable, non-null GUID.
  static Guid ReadAnalyzerGuid(zelscripting::IntrusivePtr<zelscripting::ScriptObject> const& analyzerGuid);
  // The bound host; throws ScriptException when it is gone or was never bound.
  zelcore::InterfaceRef<IAnalyzerHost> GetHost() const;
};

// A new "AnalyzerHost" script object bound to `host` in the context `contextHandle`. The host is handed to
// ScriptingRefPreserver, which keeps it alive for scripts.
QUILLAN_EXPORT zelscripting::IntrusivePtr<zelscripting::ScriptObject> CreateAnalyzerHostObject(
    zelcore::InterfaceRef<IAnalyzerHost> const& host, int contextHandle);

}  // namespace Quillan::Scripting

template <>
struct QUILLAN_EXPORT
    zelscripting::utility::TransformObjectIntoScriptingObject<zelcore::InterfaceRef<Quillan::IAnalyzerHost>> {
  // As CreateAnalyzerHostObject.
  zelscripting::IntrusivePtr<zelscripting::ScriptObject> operator()(
      zelcore::InterfaceRef<Quillan::IAnalyzerHost> const& host, int contextHandle) const;
};
