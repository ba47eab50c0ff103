// quillan.node: scripts run by Node.js reach the analyzer host through it.
//
//   const { Quillan } = require('<build folder>/quillan.node');
//   Quillan.loadAnalyzerModule('<path>/libmy_analyzers.so');
//   const outcomes = await Quillan.analyzeFile('clip.wav', { analyzers: ['peaks', id], parameters: { peaks: '512' } });
//   const count = await Quillan.AnalyzerHost.getDefault().countJobsForAnalyzer(new Quillan.Guid(id));
//
// Besides the published script classes (ScriptClasses), the Quillan namespace has two functions of the binding's
// own, which let scripts start work as well as watch it.
#include <dlfcn.h>
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
#include "AnalyzerNames.h"
#include "Analyzers/ResultDescription.h"
#include "BE/Media.h"
#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Errors.h"
#include "Export/ExportFormat.h"
#include "FileAnalysis.h"
#include "Host/AnalyzerHost.h"
#include "Host/AnalyzerModule.h"
#include "Host/AnalyzerRegistry.h"
#include "zelcore/TextConversions.h"
#include "zelcore/ZelException.h"
#include "zelscripting/ScriptObject.h"

// The export library's file name as the loader finds it beside the binding (its SONAME).
#ifndef QUILLAN_EXPORT_LIBRARY
#define QUILLAN_EXPORT_LIBRARY "libquillan_export.so.0"
#endif

namespace Quillan::Node {
namespace {

using zelcore::InterfaceRef;
using zelcore::config::zel_exception;
using zelcore::utility::Guid;

// The path argument of `function`: a string, or when `buffers` a Buffer of the file name's bytes for names that are
// not valid UTF-8 (as node:fs takes). A NUL byte is a TypeError: the system would read the name only up to it, and
// so open another file than the script named.
std::string PathArgument(Napi::CallbackInfo const& info, std::string const& function, bool buffers) {
  Napi::Env const env = info.Env();
  std::string path;
  if (info.Length() >= 1 && info[0].IsString()) {
    path = info[0].As<Napi::String>().Utf8Value();
  } else if (buffers && info.Length() >= 1 && info[0].IsBuffer()) {
    auto const bytes = info[0].As<Napi::Buffer<char>>();
    path.assign(bytes.Data(), bytes.Length());
  } else {
    throw ArgumentError(
        env, function + " needs the path of the " + (buffers ? "file as a string or a Buffer" : "module as a string"));
  }
  if (std::size_t const nul = path.find('\0'); nul != std::string::npos) {
    throw ArgumentError(
        env, function + ": the path has a NUL byte at offset " + std::to_string(nul) + "; file names cannot hold one");
  }
  return path;
}

// Quillan.loadAnalyzerModule(path): loads a shared library whose analyzers register themselves as it loads, then
// publishes any script classes it brought. A relative path is taken from the working directory. The library stays
// loaded for the life of the process, since the registry keeps its factories.
Napi::Value LoadAnalyzerModule(Napi::CallbackInfo const& info) {
  Napi::Env const env = info.Env();
  std::string const path = PathArgument(info, "Quillan.loadAnalyzerModule", false);
  std::error_code error;
  std::filesystem::path const absolute = std::filesystem::absolute(path, error);
  // The loader's and the module's failures carry no result code of their own: they become kResultUnexpected.
  Guarded(env, [&] { Quillan::LoadAnalyzerModule(error ? path : absolute.string()); });
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

// options.analyzers: an array of analyzer names and GUIDs (texts or Quillan.Guid objects), repeats dropped; empty
// when not given. An unknown name throws an Error that lists the known ones.
std::optional<std::vector<Guid>> AnalyzersOption(AddonEnvironment& state, Napi::Env env, Napi::Value value,
                                                 std::vector<NamedAnalyzer> const& known) {
  if (value.IsUndefined()) return std::nullopt;
  if (!value.IsArray()) throw ArgumentError(env, "options.analyzers must be an array of analyzer names or GUIDs");
  auto const array = value.As<Napi::Array>();
  std::vector<Guid> analyzers;
  for (std::uint32_t i = 0; i < array.Length(); ++i) {
    Napi::Value const item = array.Get(i);
    std::optional<Guid> guid;
    if (item.IsString()) {
      try {
        guid = ResolveAnalyzer(known, item.As<Napi::String>().Utf8Value());
      } catch (std::invalid_argument const& error) {
        throw ResultCodeError(env, "options.analyzers[" + std::to_string(i) + "]: " + error.what(),
                              kResultAnalyzerNotRegistered);
      }
    } else {
      guid = GuidOf(state, item);
    }
    if (!guid) {
      throw ArgumentError(env, "options.analyzers[" + std::to_string(i) + "] is not an analyzer name or GUID");
    }
    if (std::find(analyzers.begin(), analyzers.end(), *guid) == analyzers.end()) analyzers.push_back(*guid);
  }
  return analyzers;
}

// options.parameter, as analyzers read parameters: a text as std::string, a whole number within int as int, any
// other number as double, a boolean as bool; nothing when undefined or null.
std::any ParameterOption(Napi::Env env, Napi::Value value, std::string const& what = "options.parameter") {
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
      throw ArgumentError(env, what + " must be a string, a number or a boolean");
  }
}

// options.parameters: {<analyzer name or GUID>: parameter, ...}, each converted as options.parameter. Names are
// resolved as in options.analyzers; which of them run is only known once the file is admitted.
struct ParameterEntry {
  std::string given;  // the name or GUID the script wrote
  Guid id;
  std::any value;
};

std::vector<ParameterEntry> ParametersOption(Napi::Env env, Napi::Value value,
                                             std::vector<NamedAnalyzer> const& known) {
  std::vector<ParameterEntry> parameters;
  if (value.IsUndefined() || value.IsNull()) return parameters;
  if (!value.IsObject() || value.IsArray()) {
    throw ArgumentError(env, "options.parameters must be an object of parameters keyed by analyzer");
  }
  auto const object = value.As<Napi::Object>();
  Napi::Array const names = object.GetPropertyNames();
  for (std::uint32_t i = 0; i < names.Length(); ++i) {
    std::string const name = names.Get(i).ToString().Utf8Value();
    Guid id;
    try {
      id = ResolveAnalyzer(known, name);
    } catch (std::invalid_argument const& error) {
      throw ResultCodeError(env, std::string("options.parameters: ") + error.what(), kResultAnalyzerNotRegistered);
    }
    parameters.push_back({name, id, ParameterOption(env, object.Get(name), "options.parameters[\"" + name + "\"]")});
  }
  return parameters;
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

// The description's JSON as a JavaScript value; DescribeAnalyzerResult hands out well-formed JSON only.
Napi::Value ParseJson(Napi::Env env, std::string const& json) {
  Napi::Object const jsonObject = env.Global().Get("JSON").As<Napi::Object>();
  return jsonObject.Get("parse").As<Napi::Function>().Call(jsonObject, {Napi::String::New(env, json)});
}

Napi::Object OutcomeToJs(Napi::Env env, FileAnalysis::Outcome const& outcome) {
  Napi::Object entry = Napi::Object::New(env);
  entry.Set("analyzer", outcome.analyzer.AsUTF8String());
  entry.Set("status", outcome.done ? "done" : "failed");
  if (!outcome.done) {
    SetResultCode(entry, outcome.code);
    if (!outcome.message.empty()) entry.Set("message", outcome.message);
  } else if (outcome.description) {
    entry.Set("summary", outcome.description->summary);
    entry.Set("value", ParseJson(env, outcome.description->json));
  }
  return entry;
}

// Rejects the pending promise `id` with the script error of `failure`.
void RejectPromise(std::shared_ptr<JsThreadQueue> const& queue, std::uint64_t id, std::exception_ptr failure) {
  AddonEnvironment::SettlePromise(
      queue, id, [failure = std::move(failure)](Napi::Env env, Napi::Promise::Deferred const& deferred) {
        deferred.Reject(ToJsError(env, failure).Value());
      });
}

// options.onProgress: a function, or nothing.
Napi::Value ProgressOption(Napi::Env env, Napi::Value value) {
  if (value.IsUndefined() || value.IsNull()) return env.Undefined();
  if (!value.IsFunction()) throw ArgumentError(env, "options.onProgress must be a function");
  return value;
}

// options.signal: an AbortSignal (anything with `aborted` and addEventListener/removeEventListener), or nothing.
Napi::Value SignalOption(Napi::Env env, Napi::Value value) {
  if (value.IsUndefined() || value.IsNull()) return env.Undefined();
  if (value.IsObject()) {
    auto const signal = value.As<Napi::Object>();
    if (signal.Get("aborted").IsBoolean() && signal.Get("addEventListener").IsFunction() &&
        signal.Get("removeEventListener").IsFunction()) {
      return value;
    }
  }
  throw ArgumentError(env, "options.signal must be an AbortSignal");
}

// What an aborted analysis rejects with, named as the platform names its own aborted operations.
Napi::Value AbortError(Napi::Env env) {
  Napi::Error error = ResultCodeError(env, "The analysis was aborted", kResultJobCancelled);
  error.Set("name", "AbortError");
  return error.Value();
}

void CallSignal(Napi::Object const& kept, char const* method) {
  if (!kept.Get("signal").IsObject()) return;
  auto const signal = kept.Get("signal").As<Napi::Object>();
  signal.Get(method).As<Napi::Function>().Call(signal, {Napi::String::New(kept.Env(), "abort"), kept.Get("listener")});
}

// Calls the script's onProgress with {analyzer, fraction}. What it throws is the script's own uncaught exception, as
// from any event listener.
void CallOnProgress(Napi::Env env, Napi::Object const& kept, Guid const& analyzer, double fraction) {
  Napi::Value const callback = kept.Get("onProgress");
  if (!callback.IsFunction()) return;
  Napi::Object progress = Napi::Object::New(env);
  progress.Set("analyzer", analyzer.AsUTF8String());
  progress.Set("fraction", fraction);
  try {
    callback.As<Napi::Function>().Call({progress});
  } catch (Napi::Error const& error) {
    napi_fatal_exception(env, error.Value());
  }
}

// Quillan.analyzeFile(path, options): admits the file as a clip and runs the requested analyzers on it (default: every
// type-0 analyzer) on the default host, each with its entry of options.parameters, else options.parameter. Resolves,
// once every job has ended, with one entry per analyzer: {analyzer: '<guid>', status: 'done', summary?, value?:
// {name, fields, units}} or {analyzer, status: 'failed', code: '0x...', result, message?}. Rejects with an Error
// carrying `code` and `result` when the file cannot be admitted, there is no host, or no analyzer would run; throws
// TypeError for malformed arguments (a path with a NUL byte among them) and an Error for an unknown analyzer name.
Napi::Value AnalyzeFile(Napi::CallbackInfo const& info) {
  Napi::Env const env = info.Env();
  AddonEnvironment* const state = AddonEnvironment::Get(env);
  if (state == nullptr) throw ResultCodeError(env, "Quillan is not loaded in this environment", kResultUnavailable);
  std::string const path = PathArgument(info, "Quillan.analyzeFile", true);
  Napi::Value const optionsValue = info.Length() > 1 ? info[1] : env.Undefined();
  std::optional<std::vector<Guid>> requested;
  std::any parameter;
  std::vector<ParameterEntry> parameters;
  Napi::Value onProgress = env.Undefined();
  Napi::Value signal = env.Undefined();
  if (!optionsValue.IsUndefined() && !optionsValue.IsNull()) {
    if (!optionsValue.IsObject()) throw ArgumentError(env, "Quillan.analyzeFile: options must be an object");
    auto const options = optionsValue.As<Napi::Object>();
    Napi::Value const analyzersValue = options.Get("analyzers");
    Napi::Value const parametersValue = options.Get("parameters");
    std::vector<NamedAnalyzer> known;
    // Names are only looked up when a script uses them: that builds an analyzer of every registered kind.
    auto const usesNames = [&] {
      if (!parametersValue.IsUndefined() && !parametersValue.IsNull()) return true;
      if (!analyzersValue.IsArray()) return false;
      auto const array = analyzersValue.As<Napi::Array>();
      for (std::uint32_t i = 0; i < array.Length(); ++i) {
        if (array.Get(i).IsString() && !Guid::FromString(array.Get(i).As<Napi::String>().Utf8Value())) return true;
      }
      return false;
    };
    if (usesNames()) known = Guarded(env, [] { return ListNamedAnalyzers(); });
    requested = AnalyzersOption(*state, env, analyzersValue, known);
    parameter = ParameterOption(env, options.Get("parameter"));
    parameters = ParametersOption(env, parametersValue, known);
    onProgress = ProgressOption(env, options.Get("onProgress"));
    signal = SignalOption(env, options.Get("signal"));
  }

  AddonEnvironment::PendingPromise const pending = state->NewPromise(env);
  std::shared_ptr<JsThreadQueue> const queue = state->GetQueue();
  std::uint64_t const id = pending.id;
  std::shared_ptr<FileAnalysis> analysis;
  try {
    if (signal.IsObject() && signal.As<Napi::Object>().Get("aborted").ToBoolean()) {
      AddonEnvironment::SettlePromise(
          queue, id, [](Napi::Env env, Napi::Promise::Deferred const& deferred) { deferred.Reject(AbortError(env)); });
      return pending.promise;
    }
    InterfaceRef<BE::IClip> const clip = AdmitFile(path);
    InterfaceRef<IAnalyzerHost> const host = GetAnalyzerHost();
    if (!host) throw zel_exception("There is no analyzer host: the application is shutting down", kResultUnavailable);
    std::vector<Guid> const analyzers = requested ? std::move(*requested) : DefaultAnalyzers(host, clip);
    if (!requested && analyzers.empty()) {
      bool const none = GetRegisteredAnalyzers().empty();
      throw zel_exception(none ? "No analyzer is registered: load a module with Quillan.loadAnalyzerModule first"
                               : "None of the registered analyzers applies to " + path,
                          kResultAnalyzerNotRegistered);
    }
    std::vector<FileAnalysis::Request> requests;
    for (Guid const& id : analyzers) requests.push_back({id, parameter});
    for (ParameterEntry const& entry : parameters) {
      auto const request = std::find_if(requests.begin(), requests.end(),
                                        [&](FileAnalysis::Request const& r) { return r.analyzer == entry.id; });
      if (request == requests.end()) {
        throw zel_exception(
            "options.parameters names \"" + entry.given + "\", which is not one of the analyzers of this run",
            kResultIllegalArgument);
      }
      request->parameter = entry.value;
    }
    std::vector<Guid> ids;
    for (FileAnalysis::Request const& request : requests) ids.push_back(request.analyzer);
    bool const watched = onProgress.IsFunction() || signal.IsObject();
    analysis = std::make_shared<FileAnalysis>(host, clip, std::move(requests), watched);
    state->Track(analysis);
    if (watched) {
      Napi::Object kept = Napi::Object::New(env);
      kept.Set("onProgress", onProgress);
      kept.Set("signal", signal);
      std::weak_ptr<FileAnalysis> const weak = analysis;
      kept.Set("listener", Napi::Function::New(env, [weak](Napi::CallbackInfo const&) {
                 if (auto const aborted = weak.lock()) aborted->Abort();
               }));
      CallSignal(kept, "addEventListener");
      state->KeepForPromise(id, kept);
    }
    FileAnalysis::ProgressReport report;
    if (onProgress.IsFunction()) {
      report = [queue, id, ids](std::size_t index, double fraction) {
        queue->Post([id, analyzer = ids[index], fraction](Napi::Env env) {
          if (AddonEnvironment* const state = AddonEnvironment::Get(env)) {
            CallOnProgress(env, state->KeptForPromise(env, id), analyzer, fraction);
          }
        });
      };
    }
    analysis->Start(
        [queue, id, key = analysis.get()](std::vector<FileAnalysis::Outcome> outcomes) {
          bool const aborted = key->Aborted();
          AddonEnvironment::SettlePromise(queue, id,
                                          [key, id, aborted, outcomes = std::move(outcomes)](
                                              Napi::Env env, Napi::Promise::Deferred const& deferred) {
                                            if (AddonEnvironment* const state = AddonEnvironment::Get(env)) {
                                              CallSignal(state->KeptForPromise(env, id), "removeEventListener");
                                              state->Forget(key);
                                            }
                                            if (aborted) {
                                              deferred.Reject(AbortError(env));
                                              return;
                                            }
                                            Napi::Array entries = Napi::Array::New(env, outcomes.size());
                                            for (std::size_t i = 0; i < outcomes.size(); ++i) {
                                              entries.Set(static_cast<std::uint32_t>(i), OutcomeToJs(env, outcomes[i]));
                                            }
                                            deferred.Resolve(entries);
                                          });
        },
        std::move(report));
  } catch (...) {
    if (analysis) state->Forget(analysis.get());
    RejectPromise(queue, id, std::current_exception());
  }
  return pending.promise;
}

// The export library's entry point. It is opened only when a script first
// exports: it links the example analyzers,
// which register themselves as they load, and a script that exports nothing must see only the modules it loads.
// Looked for beside libquillan first, where every build and install puts it: a bare name is searched for in the paths
// of whoever calls dlopen, and under AddressSanitizer that is the sanitizer's runtime, not the binding.
std::string ExportLibraryPath() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&DescribeAnalyzerResult), &info) != 0 && info.dli_fname != nullptr) {
    std::filesystem::path const beside = std::filesystem::path(info.dli_fname).parent_path() / QUILLAN_EXPORT_LIBRARY;
    std::error_code error;
    if (std::filesystem::exists(beside, error)) return beside.string();
  }
  return QUILLAN_EXPORT_LIBRARY;
}

Export::ExportResultsFunction ExportEntryPoint() {
  void* const library = ::dlopen(ExportLibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    char const* const why = ::dlerror();
    throw zel_exception(std::string("The export library cannot be loaded: ") + (why ? why : "not found"),
                        kResultUnavailable);
  }
  return reinterpret_cast<Export::ExportResultsFunction>(::dlsym(library, Export::kExportResultsSymbol));
}

// Quillan.exportEvents(path, format, options): runs the analyzers whose events are exported (options.analyzers, names
// or GUIDs; default scenes, silence and beats) on the file as analyzeFile does, from the cache or computed, and
// resolves with the document in `format` ('ffmetadata', 'webvtt', 'mlt', 'otio', 'edl', 'csv', 'ndjson') as text. An
// analyzer that does not apply to the file adds nothing; one that fails rejects the promise with its code.
Napi::Value ExportEvents(Napi::CallbackInfo const& info) {
  Napi::Env const env = info.Env();
  AddonEnvironment* const state = AddonEnvironment::Get(env);
  if (state == nullptr) throw ResultCodeError(env, "Quillan is not loaded in this environment", kResultUnavailable);
  std::string const path = PathArgument(info, "Quillan.exportEvents", true);
  if (info.Length() < 2 || !info[1].IsString()) throw ArgumentError(env, "Quillan.exportEvents needs a format string");
  std::string const format = info[1].As<Napi::String>().Utf8Value();
  std::vector<std::string> names{"scenes", "silence", "beats"};
  Napi::Value const optionsValue = info.Length() > 2 ? info[2] : env.Undefined();
  if (!optionsValue.IsUndefined() && !optionsValue.IsNull()) {
    if (!optionsValue.IsObject()) throw ArgumentError(env, "Quillan.exportEvents: options must be an object");
    Napi::Value const analyzers = optionsValue.As<Napi::Object>().Get("analyzers");
    if (!analyzers.IsUndefined()) {
      if (!analyzers.IsArray()) throw ArgumentError(env, "options.analyzers must be an array of names");
      auto const array = analyzers.As<Napi::Array>();
      names.clear();
      for (std::uint32_t i = 0; i < array.Length(); ++i) {
        if (!array.Get(i).IsString()) throw ArgumentError(env, "options.analyzers must be an array of names");
        names.push_back(array.Get(i).As<Napi::String>().Utf8Value());
      }
    }
  }
  std::vector<NamedAnalyzer> const known = Guarded(env, [] { return ListNamedAnalyzers(); });
  std::vector<FileAnalysis::Request> requests;
  for (std::string const& name : names) {
    try {
      requests.push_back({ResolveAnalyzer(known, name), std::any()});
    } catch (std::invalid_argument const& error) {
      throw ResultCodeError(env, std::string("options.analyzers: ") + error.what(), kResultAnalyzerNotRegistered);
    }
  }

  AddonEnvironment::PendingPromise const pending = state->NewPromise(env);
  std::shared_ptr<JsThreadQueue> const queue = state->GetQueue();
  std::uint64_t const id = pending.id;
  std::shared_ptr<FileAnalysis> analysis;
  try {
    Export::ExportResultsFunction const write = ExportEntryPoint();
    if (write == nullptr) throw zel_exception("The export library has no entry point", kResultUnavailable);
    InterfaceRef<BE::IClip> const clip = AdmitFile(path);
    InterfaceRef<IAnalyzerHost> const host = GetAnalyzerHost();
    if (!host) throw zel_exception("There is no analyzer host: the application is shutting down", kResultUnavailable);
    analysis = std::make_shared<FileAnalysis>(host, clip, std::move(requests));
    state->Track(analysis);
    analysis->Start(
        [queue, id, key = analysis.get(), write, path, format, names](std::vector<FileAnalysis::Outcome> outcomes) {
          Export::ExportRequest request{format, {}};
          std::exception_ptr failure;
          for (std::size_t i = 0; i < outcomes.size() && !failure; ++i) {
            FileAnalysis::Outcome const& outcome = outcomes[i];
            if (outcome.done && outcome.blob) {
              request.results.push_back({path, names[i], *outcome.blob});
            } else if (!outcome.done && outcome.code != kResultNotApplicable) {
              failure = std::make_exception_ptr(zel_exception(
                  names[i] + ": " + (outcome.message.empty() ? "the analysis failed" : outcome.message), outcome.code));
            }
          }
          Export::ExportReply reply;
          if (!failure) write(request, reply);
          if (!failure && !reply.error.empty()) {
            failure = std::make_exception_ptr(zel_exception(reply.error, kResultIllegalArgument));
          }
          AddonEnvironment::SettlePromise(
              queue, id,
              [key, failure, text = std::move(reply.text)](Napi::Env env, Napi::Promise::Deferred const& deferred) {
                if (AddonEnvironment* const state = AddonEnvironment::Get(env)) {
                  state->Forget(key);
                }
                if (failure) {
                  deferred.Reject(ToJsError(env, failure).Value());
                } else {
                  deferred.Resolve(Napi::String::New(env, text));
                }
              });
        });
  } catch (...) {
    if (analysis) state->Forget(analysis.get());
    RejectPromise(queue, id, std::current_exception());
  }
  return pending.promise;
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  AddonEnvironment& state = Guarded(env, [&]() -> AddonEnvironment& { return AddonEnvironment::Create(env, exports); });
  Napi::Object quillan = state.GetClasses().Namespace(env, "Quillan");
  quillan.Set("loadAnalyzerModule", Napi::Function::New<&LoadAnalyzerModule>(env, "loadAnalyzerModule"));
  quillan.Set("analyzeFile", Napi::Function::New<&AnalyzeFile>(env, "analyzeFile"));
  quillan.Set("exportEvents", Napi::Function::New<&ExportEvents>(env, "exportEvents"));
  return exports;
}

}  // namespace
}  // namespace Quillan::Node

// The registration macro wants an unqualified name.
static Napi::Object InitQuillan(Napi::Env env, Napi::Object exports) { return Quillan::Node::Init(env, exports); }
NODE_API_MODULE(quillan, InitQuillan)