#include "Analyzers/Detail/ExampleAnalyzer.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <utility>

#include "Analyzers/Detail/ResultDescriptions.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "DataStoreAdaptors/DefaultAnalyzerDatastore.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Host/AnalyzerCacheLocation.h"
#include "zelappsupport/ProgressItem.h"
#include "zelcore/TextConversions.h"
#include "zelcore/ZelException.h"

namespace Quillan::Examples::detail {
namespace {

using zelcore::async::Future;

// Every example analyzer keeps its one result under this key.
ImmutableString ResultKey() { return ImmutableString::Create("result"); }

// Never destroyed: the host may build an analyzer on one of its threads while the process exits.
std::shared_ptr<zelappsupport::utility::ProgressCategory> const& AnalysisCategory() {
  static auto const* const category = new std::shared_ptr<zelappsupport::utility::ProgressCategory>(
      zelappsupport::utility::ProgressCategory::Create(zelappsupport::utility::ToUTF8String("Example analyzers")));
  return *category;
}

}  // namespace

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
    loaded = LoadCachedData(ResultKey());
  } catch (...) {
    loaded = zelcore::async::MakeExceptionalFuture<zelcore::Blob>(std::current_exception());
  }
  // A cached value must have its analyzer's layout before anyone sizes memory by it; one that does not is computed
  // afresh, like any other failed load.
  Future<std::any> cached = loaded.OnSuccessWithExecutor(executor, [id = GetAnalyzerGuid()](zelcore::Blob const& blob) {
    if (!IsWellFormedResult(id, blob)) {
      throw zelcore::config::zel_exception("The cached result does not fit its analyzer's layout", kResultNotCached);
    }
    return std::any(ExampleResult{blob, true, nullptr});
  });
  // Any failed load is computed afresh, a broken cache entry included: the save then replaces it.
  return zelcore::async::HandleExceptionFuture(cached, [self, executor, item](std::exception_ptr const&) {
    return zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(
        executor, std::chrono::milliseconds(0), executor, [self, executor, item] {
          std::filesystem::path const file(zelcore::text::UTF16ToPathBytes(self->media->GetFilePath()));
          zelcore::Blob const blob = self->Compute(file, Progress(item));
          if (item) item->SetProgress(1.0);
          // A failed save leaves the result standing; the caller learns why it was not kept.
          Future<void> saved;
          try {
            saved = self->SaveDataToCache(ResultKey(), blob);
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
