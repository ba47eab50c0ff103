#include "Scripting/AnalyzerHostObject.h"

#include <any>
#include <cstddef>
#include <exception>
#include <memory>
#include <typeinfo>
#include <vector>

#include "Foundation/CompoundFuture.h"
#include "Host/AnalyzerHost.h"
#include "zelscripting/ScriptException.h"
#include "zelscripting/ScriptObjectDefinition.h"
#include "zelscripting/ScriptingRefPreserver.h"

namespace Quillan::Scripting {

using zelcore::InterfaceRef;
using zelcore::async::Future;
using zelscripting::IntrusivePtr;
using zelscripting::ItemThreadOption;
using zelscripting::NativeObject;
using zelscripting::NativePromise;
using zelscripting::ParameterType;
using zelscripting::PropertyType;
using zelscripting::ScriptItemFlag;
using zelscripting::ScriptObject;
using zelscripting::ScriptObjectPropertyModifier;

namespace {

constexpr char kNamespace[] = "Quillan";
constexpr char kDescription[] = "Analyzer Host which contains ongoing analysis tasks and provides APIs to manage them.";
constexpr char kNoLongerValid[] = "The script object is no longer valid.";

zelscripting::ScriptObjectDefinitionRegistrar const registrar(
    std::make_shared<zelscripting::ScriptObjectDefinitionInitiator<AnalyzerHostObject>>());

}  // namespace

AnalyzerHostObject::AnalyzerHostObject() : InterfaceRefScriptObject(kClassName) {}

AnalyzerHostObject::~AnalyzerHostObject() = default;

IntrusivePtr<ScriptObject> AnalyzerHostObject::GetDefault() const {
  int const contextHandle = GetContextHdl();
  return CreateAnalyzerHostObject(GetAnalyzerHost(), contextHandle);
}

std::shared_ptr<NativePromise> AnalyzerHostObject::CountJobsForAnalyzer(
    IntrusivePtr<ScriptObject> const& analyzerGuid) {
  Guid const analyzerId = ReadAnalyzerGuid(analyzerGuid);
  int const contextHandle = GetContextHdl();
  InterfaceRef<IAnalyzerHost> const host = GetHost();
  Future<std::size_t> const count = host->CountJobs(analyzerId);
  Future<int> const narrowed =
      count.OnSuccessWithExecutor(count.GetExecutor(), [](std::size_t jobs) { return static_cast<int>(jobs); });
  return NativePromise::Create<int>(narrowed, contextHandle, NativePromise::RejectionValue::kResultCode);
}

std::shared_ptr<NativePromise> AnalyzerHostObject::WaitForAnalyzerCompletion(
    IntrusivePtr<ScriptObject> const& analyzerGuid) {
  Guid const analyzerId = ReadAnalyzerGuid(analyzerGuid);
  InterfaceRef<IAnalyzerHost> const host = GetHost();
  Future<std::vector<Future<std::any>>> const jobs = host->GetRunningAnalyzerJobs(analyzerId);
  Future<void> const allEnded =
      jobs.OnSuccessWithExecutor(jobs.GetExecutor(), [](std::vector<Future<std::any>> const& running) {
        auto const all = zelcore::async::CompoundFuture::Create(nullptr);
        for (auto const& job : running) {
          // A job handed out without state has nothing left to wait for.
          if (job.IsValid()) all->Add(job);
        }
        return all->Close();
      });
  int const contextHandle = GetContextHdl();
  Future<bool> const ended = allEnded.OnSuccessWithExecutor(allEnded.GetExecutor(), [] { return true; });
  return NativePromise::Create<bool>(ended, contextHandle, NativePromise::RejectionValue::kResultCode);
}

void AnalyzerHostObject::DefineScriptObject(zelscripting::ScriptDefinitions& definitions) {
  auto definition =
      std::make_shared<zelscripting::ScriptObjectDefinition<AnalyzerHostObject>>(kClassName, kDescription, 0);
  {
    zelscripting::ScriptDefinitionContext const context(definition);
    try {
      auto const* const current = zelscripting::ScriptObjectDefinitionBase::sCurrent;
      if (current != nullptr && current->GetObjectType() == typeid(AnalyzerHostObject)) {
        zelscripting::AddOrModifyNamespace(kNamespace, 0);
      }
      zelscripting::RegisterMethod("getDefault", "Get the default analyzer host for the running application",
                                   ScriptObjectPropertyModifier::kStatic, ItemThreadOption::kAnyThread,
                                   ScriptItemFlag::kNone, PropertyType<IntrusivePtr<ScriptObject>>(),
                                   &AnalyzerHostObject::GetDefault);
      zelscripting::RegisterMethod(
          "countJobsForAnalyzer", "Return the number of currently running analyzers for the given analyzer guid.",
          ScriptObjectPropertyModifier::kNone, ItemThreadOption::kAnyThread, ScriptItemFlag::kNone,
          PropertyType<std::shared_ptr<NativeObject>>(), ParameterType<IntrusivePtr<ScriptObject>>("analyzerGuid"),
          &AnalyzerHostObject::CountJobsForAnalyzer);
      zelscripting::RegisterMethod(
          "waitForAnalyzerCompletion",
          "Wait until every currently running analyzer for the given analyzer guid has finished; resolves with true.",
          ScriptObjectPropertyModifier::kNone, ItemThreadOption::kAnyThread, ScriptItemFlag::kNone,
          PropertyType<std::shared_ptr<NativeObject>>(), ParameterType<IntrusivePtr<ScriptObject>>("analyzerGuid"),
          &AnalyzerHostObject::WaitForAnalyzerCompletion);
    } catch (std::exception const&) {
      // The class keeps the methods registered before the failure.
    }
  }
  for (auto const& component : definitions.GetScriptComponentGroupDefinitions(
           zelscripting::utility::GetRuntimeTypeName<AnalyzerHostObject>())) {
    definition->AddComponent(component);
  }
  definitions.AddObjectDefinition(kClassName, std::move(definition));
}

Guid AnalyzerHostObject::ReadAnalyzerGuid(IntrusivePtr<ScriptObject> const& analyzerGuid) {
  Guid analyzerId;
  if (analyzerGuid) {
    auto const* const cast = dynamic_cast<zelscripting::ScriptCastInterface<Guid> const*>(analyzerGuid.get());
    if (cast == nullptr) throw zelscripting::ParameterErrorException();
    Guid value;
    if (cast->TryGetValue(value)) analyzerId = value;
  }
  if (analyzerId.IsNull()) throw zelscripting::ScriptException(zelscripting::ScriptExceptionType::kInvalidArgument);
  return analyzerId;
}

InterfaceRef<IAnalyzerHost> AnalyzerHostObject::GetHost() const {
  InterfaceRef<IAnalyzerHost> host = GetReference();
  if (!host) throw zelscripting::ScriptException(kNoLongerValid);
  return host;
}

IntrusivePtr<ScriptObject> CreateAnalyzerHostObject(InterfaceRef<IAnalyzerHost> const& host, int contextHandle) {
  IntrusivePtr<ScriptObject> const created = zelscripting::utils::CreateScriptObject(
      contextHandle, AnalyzerHostObject::kClassName, [&host](IntrusivePtr<ScriptObject> const& object) {
        auto* const hostObject = dynamic_cast<AnalyzerHostObject*>(object.get());
        if (hostObject == nullptr) return;
        InterfaceRef<zelcore::classref::UnknownBase> const unknown(host);
        if (auto const preserver = zelscripting::ScriptingRefPreserver::GetInstance()) {
          preserver->AddReference(unknown);
        }
        hostObject->SetReference(unknown);
      });
  return zelscripting::DynamicPointerCast<AnalyzerHostObject>(created);
}

}  // namespace Quillan::Scripting

zelscripting::IntrusivePtr<zelscripting::ScriptObject>
zelscripting::utility::TransformObjectIntoScriptingObject<zelcore::InterfaceRef<Quillan::IAnalyzerHost>>::operator()(
    zelcore::InterfaceRef<Quillan::IAnalyzerHost> const& host, int contextHandle) const {
  return Quillan::Scripting::CreateAnalyzerHostObject(host, contextHandle);
}
