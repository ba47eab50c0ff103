#include "Analyzers/Detail/ExampleAnalyzer.h"

#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <utility>

#include "Analyzers/Detail/MediaModule.h"
#include "Analyzers/Detail/ResultDescriptions.h"
#include "Analyzers/Detail/StampedFile.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "BE/Media.h"
#include "DataStoreAdaptors/DefaultAnalyzerDatastore.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Host/AnalyzerCacheLocation.h"
#include "zelappsupport/ProgressItem.h"
#include "zelcore/TextConversions.h"
#include "zelcore/ZelException.h"

namespace Quillan::Examples::detail {
namespace {

using zelcore::async::Future;

// Never destroyed: the host may build an analyzer on one of its threads while the process exits.
std::shared_ptr<zelappsupport::utility::ProgressCategory> const& AnalysisCategory() {
  static auto const* const category = new std::shared_ptr<zelappsupport::utility::ProgressCategory>(
      zelappsupport::utility::ProgressCategory::Create(zelappsupport::utility::ToUTF8String("Example analyzers")));
  return *category;
}

// Never destroyed, like the category.
struct AfterReadHook {
  std::mutex mutex;
  std::function<void(std::filesystem::path const&)> hook;  // guarded by mutex
};
AfterReadHook& TheAfterReadHook() {
  static auto* const hook = new AfterReadHook;
  return *hook;
}

void RunAfterReadHook(std::filesystem::path const& file) {
  std::function<void(std::filesystem::path const&)> hook;
  {
    std::lock_guard lock(TheAfterReadHook().mutex);
    hook = TheAfterReadHook().hook;
  }
  if (hook) hook(file);
}

// What is stored for an analyzer that does not apply to the file: a tag no result layout starts with, then why.
constexpr std::string_view kNotApplicableTag("QNA\0", 4);

// A stored reason names its file by this mark, not by the path it had when it was computed: a managed cache answers
// for every file of the same content, wherever it lies.
constexpr std::string_view kFileMark = "{file}";

// `why` is about `file`: its path at the start is stored as kFileMark.
zelcore::Blob NotApplicableMarker(std::string why, std::filesystem::path const& file) {
  if (why.starts_with(file.native())) why = std::string(kFileMark) + why.substr(file.native().size());
  std::string const bytes = std::string(kNotApplicableTag) + why;
  auto blob = zelcore::allocator::RecycledMemory::Create(bytes.size());
  std::memcpy(blob->data(), bytes.data(), bytes.size());
  return blob;
}

// The stored reason, about `file`.
std::optional<std::string> NotApplicableReason(zelcore::Blob const& blob, std::filesystem::path const& file) {
  if (!blob || blob->size() < kNotApplicableTag.size()) return std::nullopt;
  std::string_view const bytes(reinterpret_cast<char const*>(blob->data()), blob->size());
  if (!bytes.starts_with(kNotApplicableTag)) return std::nullopt;
  std::string_view const why = bytes.substr(kNotApplicableTag.size());
  if (why.starts_with(kFileMark)) return file.native() + std::string(why.substr(kFileMark.size()));
  return std::string(why);
}

}  // namespace

void ReadVersion::Note(StampedFile const& file) {
  zelcore::utility::Guid state;
  struct stat now {};
  // Every change of a file moves its change time on, so a descriptor that shows the opened version after its state
  // was taken had that version all along: the state is that of the bytes that were read.
  if (BE::GetContentStateOfOpenFile(file.Descriptor(), state) != BE::kMetadataStatusOk ||
      ::fstat(file.Descriptor(), &now) != 0 || !SameFileVersion(now, file.OpenedStatus())) {
    state_.reset();
    whyNone_ = "Media file " + file.Path().string() +
               " was changed or became unreadable right after it was read; its result was not kept";
    return;
  }
  state_ = state;
}

zelcore::utility::Guid ReadVersion::State() const {
  if (!state_) throw zelcore::config::zel_exception(whyNone_, kResultNotCached);
  return *state_;
}

zelcore::Blob BlobWriter::Finish() const {
  auto blob = zelcore::allocator::RecycledMemory::Create(bytes_.size());
  if (!bytes_.empty()) std::memcpy(blob->data(), bytes_.data(), bytes_.size());
  return blob;
}

void ExampleAnalyzer::InitializeExample(zelcore::InterfaceRef<BE::IClip> const& clip, std::any const& parameter,
                                        zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  auto store = CreateDefaultAnalyzerDatastore(GetDefaultCacheLocation(), host.Lock(), false);
  Initialize(zelcore::InterfaceWeakRef<IAnalyzerHost>(host), std::move(store), zelcore::InterfaceRef<BE::IClip>(clip),
             std::any(parameter));
  std::string const name = GetAnalyzerName().ToUTF8String();
  InitializeProgressMixIn(host, clip, parameter, GetAnalyzerGuid(), AnalysisCategory(),
                          zelappsupport::utility::ToUTF8String(name), kTerminateJobOnCancel, kRemoveItemOnDestruction);
}

Analyzers::AnalyzerBase::CacheKeys ExampleAnalyzer::GetCacheKeys() const { return {ResultKey()}; }

ImmutableString ExampleAnalyzer::ResultKey() const { return ImmutableString::Create(ResultKeyName()); }

zelcore::Blob ExampleAnalyzer::Compute(std::filesystem::path const& file, Progress const& progress,
                                       ReadVersion& read) const {
  return LoadMediaModule().Measure(GetAnalyzerGuid(), Parameter(), file, progress, read);
}

std::string ExampleAnalyzer::CanonicalOrAsGiven(std::string text, ParameterTable const& table) {
  try {
    return AnalyzerParameter(text, table).Canonical();
  } catch (zelcore::config::zel_exception const&) {
    return text;
  }
}

ImmutableString ExampleAnalyzer::GetSerializedParameter() const {
  return parameterText_.empty() ? ImmutableString() : ImmutableString::Create(parameterText_);
}

std::optional<ResultDescription> ExampleAnalyzer::DescribeResult(ImmutableString const& key,
                                                                 zelcore::Blob const& blob) const {
  if (key != ResultKey()) return std::nullopt;
  return DescribeExampleResult(GetAnalyzerGuid(), blob);
}

void* ExampleAnalyzer::QueryMap(std::string_view name) {
  if (name == IResultDescriber::InterfaceName()) return static_cast<IResultDescriber*>(this);
  if (name == IParameterDescriber::InterfaceName()) return static_cast<IParameterDescriber*>(this);
  if (void* found = AnalyzerProgressMixIn::QueryMap(name)) return found;
  return AnalyzerBase::QueryMap(name);
}

Future<std::any> ExampleAnalyzer::StartAnalysis(std::shared_ptr<zelcore::async::AsyncExecutor> const& executor,
                                                AnalysisOptions const& options) {
  auto self = GetSharedFromThis<ExampleAnalyzer>();
  std::shared_ptr<zelappsupport::utility::ProgressItem> item;
  if (options.progressMode != AnalysisOptions::kNoProgress) item = GetProgressItem();

  // A target the store cannot key (its media file is gone, say) fails the load, not the call.
  Future<zelcore::Blob> loaded;
  try {
    if (fresh_) throw zelcore::config::zel_exception("A fresh result was asked for", kResultNotCached);
    loaded = LoadCachedData(ResultKey());
  } catch (...) {
    loaded = zelcore::async::MakeExceptionalFuture<zelcore::Blob>(std::current_exception());
  }
  // A cached value must have its analyzer's layout before anyone sizes memory by it; one that does not is computed
  // afresh, like any other failed load.
  std::filesystem::path const file(zelcore::text::UTF16ToPathBytes(media->GetFilePath()));
  Future<std::any> cached = loaded.OnSuccessWithExecutor(executor, [id = GetAnalyzerGuid(),
                                                                    file](zelcore::Blob const& blob) {
    if (std::optional<std::string> const why = NotApplicableReason(blob, file)) {
      throw zelcore::config::zel_exception(*why, kResultNotApplicable);
    }
    if (!IsWellFormedResult(id, blob)) {
      throw zelcore::config::zel_exception("The cached result does not fit its analyzer's layout", kResultNotCached);
    }
    return std::any(ExampleResult{blob, true, nullptr});
  });
  if (storedOnly_) {
    return zelcore::async::HandleExceptionFuture(cached, [](std::exception_ptr const& failure) -> std::any {
      // A miss of any store is "nothing stored"; any other failure (a store that cannot be read) says what it is.
      Result const code = zelcore::config::ExtractResultFromException(failure);
      bool const miss = code == kResultNotCached || code == kResultSidecarFileNotFound ||
                        code == kResultSidecarEntryNotFound || code == kResultMediaCacheMiss ||
                        code == kResultUnavailable;  // the compound store: no store had it
      if (!miss) std::rethrow_exception(failure);
      throw zelcore::config::zel_exception("Nothing is stored for this version of the file", kResultNotCached);
    });
  }
  // Any failed load is computed afresh, a broken cache entry included: the save then replaces it. A stored "does not
  // apply" is an answer, not a failed load.
  return zelcore::async::HandleExceptionFuture(cached, [self, executor, item, file](std::exception_ptr const& failure) {
    if (zelcore::config::ExtractResultFromException(failure) == kResultNotApplicable) std::rethrow_exception(failure);
    return zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(
        executor, std::chrono::milliseconds(0), executor, [self, executor, item, file]() -> Future<std::any> {
          ReadVersion read;
          zelcore::Blob blob;
          try {
            blob = self->Compute(file, Progress(item), read);
          } catch (zelcore::config::zel_exception const& error) {
            if (zelcore::config::ExtractResultFromException(std::current_exception()) != kResultNotApplicable) throw;
            // Kept like a result, so that the next run answers without opening the file again.
            std::exception_ptr const notApplicable = std::current_exception();
            Future<void> saved;
            try {
              saved = self->SaveDataToCache(self->ResultKey(), NotApplicableMarker(error.what(), file));
            } catch (...) {
            }
            return zelcore::async::IgnoreExceptionsFuture(saved).OnSuccessWithExecutor(
                executor, [notApplicable]() -> std::any { std::rethrow_exception(notApplicable); });
          }
          if (item) item->SetProgress(1.0);
          RunAfterReadHook(file);
          // A failed save leaves the result standing; the caller learns why it was not kept. The result is filed
          // under the version that was read, not under whatever the path holds by the time the stores look.
          Future<void> saved;
          try {
            saved = self->SaveDataToCache(self->ResultKey(), blob, read.State());
          } catch (...) {
            saved = zelcore::async::MakeExceptionalFuture<void>(std::current_exception());
          }
          Future<std::any> const kept = saved.OnSuccessWithExecutor(executor, [blob] {
            return std::any(ExampleResult{blob, false, nullptr});
          });
          return zelcore::async::HandleExceptionFuture(kept, [blob](std::exception_ptr const& failure) {
            return std::any(ExampleResult{blob, false, failure});
          });
        });
  });
}

}  // namespace Quillan::Examples::detail

namespace Quillan::Examples {

void SetAfterReadHookForTesting(std::function<void(std::filesystem::path const&)> hook) {
  std::lock_guard lock(detail::TheAfterReadHook().mutex);
  detail::TheAfterReadHook().hook = std::move(hook);
}

}  // namespace Quillan::Examples
