// quillan.node: scripts run by Node.js reach the analyzer host through it.
//
//   const { Quillan } = require('<build folder>/quillan.node');
//   Quillan.loadAnalyzerModule('<path>/libmy_analyzers.so');
//   const outcomes = await Quillan.analyzeFile('clip.wav', { analyzers: [id], parameter: 256 });
//   const count = await Quillan.AnalyzerHost.getDefault().countJobsForAnalyzer(new Quillan.Guid(id));
//
// Besides the published script classes (ScriptClasses), the Quillan namespace has two functions of the binding's
// own, which let scripts start work as well as watch it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "AddonEnvironment.h"
#include "BE/Media.h"
#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Errors.h"
#include "FileAnalysis.h"
#include "Host/AnalyzerHost.h"
#include "Host/AnalyzerModule.h"
#include "Host/AnalyzerRegistry.h"
#include "zelcore/TextConversions.h"
#include "zelcore/ZelException.h"
#include "zelscripting/ScriptObject.h"

namespace Quillan::Node {
namespace {

using zelcore::InterfaceRef;
using zelcore::config::zel_exception;
using zelcore::utility::Guid;

// Quillan.loadAnalyzerModule(path): loads a shared library whose analyzers register themselves as it loads, then
// publishes any script classes it brought. A relative path is taken from the working directory. The library stays
// loaded for the life of the process, since the registry keeps its factories.
Napi::Value LoadAnalyzerModule(Napi::CallbackInfo const& info) {
  Napi::Env const env = info.Env();
  if (info.Length() < 1 || !info[0].IsString()) {
    throw Napi::TypeError::New(env, "Quillan.loadAnalyzerModule needs the path of the module as a string");
  }
  std::string const path = info[0].As<Napi::String>().Utf8Value();
  std::error_code error;
  std::filesystem::path const absolute = std::filesystem::absolute(path, error);
  try {
    Quillan::LoadAnalyzerModule(error ? path : absolute.string());
  } catch (Quillan::AnalyzerModuleError const& e) {
    throw Napi::Error::New(env, e.what());
  }
  if (AddonEnvironment* const state = AddonEnvironment::Get(env))
    Guarded(env, [&] { state->GetClasses().Refresh(env); });
  return env.Undefined();
}

// A GUID given as text or as a Quillan.Guid object; empty for anything else.
std::optional<Guid> GuidOf(AddonEnvironment& state, Napi::Value value) {
  if (value.IsString()) return Guid::FromString(value.As<Napi::String>().Utf8Value());
  auto const object = state.GetClasses().Unwrap(value);
  auto const* const cast = dynamic_cast<zelscripting::ScriptCastInterface<Guid> const*>(object.get());
  Guid guid;
  if (cast != nullptr && cast->TryGetValue(guid)) return guid;
  return std::nullopt;
}

// options.analyzers: an array of GUIDs (texts or Quillan.Guid objects), repeats dropped; empty when not given.
std::optional<std::vector<Guid>> AnalyzersOption(AddonEnvironment& state, Napi::Env env, Napi::Value value) {
  if (value.IsUndefined()) return std::nullopt;
  if (!value.IsArray()) throw Napi::TypeError::New(env, "options.analyzers must be an array of GUIDs");
  auto const array = value.As<Napi::Array>();
  std::vector<Guid> analyzers;
  for (std::uint32_t i = 0; i < array.Length(); ++i) {
    std::optional<Guid> const guid = GuidOf(state, array.Get(i));
    if (!guid) {
      throw Napi::TypeError::New(env, "options.analyzers[" + std::to_string(i) + "] is not a GUID");
    }
    if (std::find(analyzers.begin(), analyzers.end(), *guid) == analyzers.end()) analyzers.push_back(*guid);
  }
  return analyzers;
}

// options.parameter, as analyzers read parameters: a text as std::string, a whole number within int as int, any
// other number as double, a boolean as bool; nothing when undefined or null.
std::any ParameterOption(Napi::Env env, Napi::Value value) {
  switch (value.Type()) {
    case napi_undefined:
    case napi_null:
      return {};
    case napi_string:
      return value.As<Napi::String>().Utf8Value();
    case napi_boolean:
      return value.As<Napi::Boolean>().Value();
    case napi_number: {
      double const number = value.As<Napi::Number>().DoubleValue();
      if (std::trunc(number) == number && number >= std::numeric_limits<int>::min() &&
          number <= std::numeric_limits<int>::max()) {
        return static_cast<int>(number);
      }
      return number;
    }
    default:
      throw Napi::TypeError::New(env, "options.parameter must be a string, a number or a boolean");
  }
}

// The file as a clip of the project model. Throws zel_exception kResultFileRead with the system's reason when the
// file cannot be read.
InterfaceRef<BE::IClip> AdmitFile(std::string const& path) {
  // Without blocking, so that a FIFO cannot hold the script up.
  int const fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    throw zel_exception("Cannot open " + path + ": " + std::system_category().message(errno),
                        zelcore::config::kResultFileRead);
  }
  struct stat status {};
  bool const regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  ::close(fd);
  if (!regular) throw zel_exception("Not a regular file: " + path, zelcore::config::kResultFileRead);
  // The path's bytes travel through the media's UTF-16 path unchanged, valid UTF-8 or not.
  auto const media = BE::ProjectFactory::CreateMedia(zelcore::text::PathBytesToUTF16(path));
  return BE::ProjectFactory::CreateClip(media, BE::kMediaType_Audio);
}

// Every analyzer of type 0 in the default registry that applies to `clip`, in GUID order. As in the host's own
// analysis of a whole clip, each factory is asked for its analyzer for `clip`, and those that build none are left out.
std::vector<Guid> DefaultAnalyzers(InterfaceRef<IAnalyzerHost> const& host, InterfaceRef<BE::IClip> const& clip) {
  std::vector<Guid> analyzers;
  for (AnalyzerFactory const& factory : AnalyzerRegistry::GetDefaultRegistry()->GetAnalyzerFactories(AnalyzerType{0})) {
    try {
      if (auto const analyzer = factory(clip, std::any(), zelcore::InterfaceWeakRef<IAnalyzerHost>(host))) {
        analyzers.push_back(analyzer->GetAnalyzerGuid());
      }
    } catch (...) {
      // A factory that throws builds nothing for this clip, as the host's own AnalyzeClip treats it.
    }
  }
  std::sort(analyzers.begin(), analyzers.end());
  return analyzers;
}

Napi::Object OutcomeToJs(Napi::Env env, FileAnalysis::Outcome const& outcome) {
  Napi::Object entry = Napi::Object::New(env);
  entry.Set("analyzer", outcome.analyzer.AsUTF8String());
  entry.Set("status", outcome.done ? "done" : "failed");
  if (!outcome.done) {
    entry.Set("code", Napi::Number::New(env, outcome.code));
    if (!outcome.message.empty()) entry.Set("message", outcome.message);
  }
  return entry;
}

// Quillan.analyzeFile(path, options): admits the file as a clip and runs the requested analyzers on it (default: every
// type-0 analyzer) on the default host. Resolves, once every job has ended, with one entry per analyzer:
// {analyzer: '<guid>', status: 'done' | 'failed', code?, message?}. Rejects with an Error carrying `code` when the
// file cannot be admitted or there is no host; throws TypeError for malformed arguments.
Napi::Value AnalyzeFile(Napi::CallbackInfo const& info) {
  Napi::Env const env = info.Env();
  AddonEnvironment* const state = AddonEnvironment::Get(env);
  if (state == nullptr) throw Napi::Error::New(env, "Quillan is not loaded in this environment");
  // A path is a string, or a Buffer of the file name's bytes for names that are not valid UTF-8 (as node:fs takes).
  std::string path;
  if (info.Length() >= 1 && info[0].IsString()) {
    path = info[0].As<Napi::String>().Utf8Value();
  } else if (info.Length() >= 1 && info[0].IsBuffer()) {
    auto const bytes = info[0].As<Napi::Buffer<char>>();
    path.assign(bytes.Data(), bytes.Length());
  } else {
    throw Napi::TypeError::New(env, "Quillan.analyzeFile needs the path of the file as a string or a Buffer");
  }
  Napi::Value const optionsValue = info.Length() > 1 ? info[1] : env.Undefined();
  std::optional<std::vector<Guid>> requested;
  std::any parameter;
  if (!optionsValue.IsUndefined() && !optionsValue.IsNull()) {
    if (!optionsValue.IsObject()) throw Napi::TypeError::New(env, "Quillan.analyzeFile: options must be an object");
    auto const options = optionsValue.As<Napi::Object>();
    requested = AnalyzersOption(*state, env, options.Get("analyzers"));
    parameter = ParameterOption(env, options.Get("parameter"));
  }

  AddonEnvironment::PendingPromise const pending = state->NewPromise(env);
  std::shared_ptr<JsThreadQueue> const queue = state->GetQueue();
  std::uint64_t const id = pending.id;
  std::shared_ptr<FileAnalysis> analysis;
  try {
    InterfaceRef<BE::IClip> const clip = AdmitFile(path);
    InterfaceRef<IAnalyzerHost> const host = GetAnalyzerHost();
    if (!host) throw zel_exception("There is no analyzer host: the application is shutting down", kResultUnavailable);
    std::vector<Guid> analyzers = requested ? std::move(*requested) : DefaultAnalyzers(host, clip);
    analysis = std::make_shared<FileAnalysis>(host, clip, std::move(analyzers), std::move(parameter));
    state->Track(analysis);
    analysis->Start([queue, id, key = analysis.get()](std::vector<FileAnalysis::Outcome> outcomes) {
      AddonEnvironment::SettlePromise(
          queue, id, [key, outcomes = std::move(outcomes)](Napi::Env env, Napi::Promise::Deferred const& deferred) {
            if (AddonEnvironment* const state = AddonEnvironment::Get(env)) state->Forget(key);
            Napi::Array entries = Napi::Array::New(env, outcomes.size());
            for (std::size_t i = 0; i < outcomes.size(); ++i) {
              entries.Set(static_cast<std::uint32_t>(i), OutcomeToJs(env, outcomes[i]));
            }
            deferred.Resolve(entries);
          });
    });
  } catch (...) {
    if (analysis) state->Forget(analysis.get());
    AddonEnvironment::SettlePromise(
        queue, id, [failure = std::current_exception()](Napi::Env env, Napi::Promise::Deferred const& deferred) {
          deferred.Reject(ToJsError(env, failure).Value());
        });
  }
  return pending.promise;
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  AddonEnvironment& state = Guarded(env, [&]() -> AddonEnvironment& { return AddonEnvironment::Create(env, exports); });
  Napi::Object quillan = state.GetClasses().Namespace(env, "Quillan");
  quillan.Set("loadAnalyzerModule", Napi::Function::New<&LoadAnalyzerModule>(env, "loadAnalyzerModule"));
  quillan.Set("analyzeFile", Napi::Function::New<&AnalyzeFile>(env, "analyzeFile"));
  return exports;
}

}  // namespace
}  // namespace Quillan::Node

// The registration macro wants an unqualified name.
static Napi::Object InitQuillan(Napi::Env env, Napi::Object exports) { return Quillan::Node::Init(env, exports); }
NODE_API_MODULE(quillan, InitQuillan)
