#include "DataStoreAdaptors/SidecarDataStoreAdaptor.h"

#include <chrono>
#include <fstream>
#include <regex>

#include "BE/Media.h"
#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"
#include "DataStoreAdaptors/SidecarFileLock.h"
#include "zelcore/FileUtils.h"
#include "zelcore/TextConversions.h"

namespace Quillan {
namespace {

using zelcore::Blob;
using zelcore::InterfaceRef;
using zelcore::async::Future;
using zelcore::config::zel_exception;
namespace serialization = SidecarDataStoreAdaptorSerialization;

constexpr std::chrono::milliseconds kNoDelay{0};

template <class T>
Future<T> FailedWith(Result result, char const* message = "") {
  return zelcore::async::MakeExceptionalFuture<T>(std::make_exception_ptr(zel_exception(message, result)));
}

// Lets the caller's future run its continuations on the default executor, whatever the task's executor is.
template <class T, class Start>
Future<T> OnDefaultExecutor(Start start) {
  zelcore::async::Promise<T> promise(zelcore::async::GetDefaultExecutor());
  try {
    promise.Fulfill(start());
  } catch (...) {
    promise.Fail(std::current_exception());
  }
  return promise.GetFuture();
}

}  // namespace

std::optional<SidecarLocation> ResolveSidecarLocation(Target const& target, std::string const& extension) {
  Guid const state = GetContentStateGuid(target);
  std::filesystem::path mediaPath;
  if (target.valueless_by_exception()) throw std::bad_variant_access();
  if (auto const* media = std::get_if<1>(&target)) {
    mediaPath = std::filesystem::path(zelcore::text::UTF16ToWstring((*media)->GetFilePath()));
  }
  if (state.IsNull() || mediaPath.empty()) return std::nullopt;
  mediaPath.replace_extension(std::filesystem::path(extension));
  return SidecarLocation{state.AsUTF8String(), std::move(mediaPath)};
}

SidecarDataStoreAdaptor::SidecarDataStoreAdaptor()
    : executor_(zelcore::async::CreateSubExecutor(zelcore::async::CreatePreTerminationExecutor(), 1)) {}

SidecarDataStoreAdaptor::~SidecarDataStoreAdaptor() = default;

InterfaceRef<IDataStoreAdaptor> SidecarDataStoreAdaptor::Create(std::string const& extension,
                                                                ParameterHashHandling handling) {
  auto store = CreateClassRef();
  if (!store) zelcore::config::DoThrowNullPtrException(InterfaceName().data());
  store->extension_ = extension;
  store->parameterHashHandling_ = handling;
  return store;
}

InterfaceRef<IDataStoreAdaptor> SidecarDataStoreAdaptor::CreateWithDefaultExtension(ParameterHashHandling handling) {
  return Create(kDefaultSidecarExtension, handling);
}

Future<Blob> SidecarDataStoreAdaptor::LoadDataWithKey(Target const& target, Guid const& analyzerGuid,
                                                      ImmutableString const& parameter,
                                                      ImmutableString const& key) const {
  auto const location = ResolveSidecarLocation(target, extension_);
  if (!location) return FailedWith<Blob>(kResultNotCached);
  return OnDefaultExecutor<Blob>([&] {
    return LoadDataForDataSource(location->dataSourceId, analyzerGuid, parameter, key, location->sidecarPath);
  });
}

Future<void> SidecarDataStoreAdaptor::SaveDataWithKey(Target const& target, Guid const& analyzerGuid,
                                                      ImmutableString const& parameter, ImmutableString const& key,
                                                      Blob const& blob) {
  auto const location = ResolveSidecarLocation(target, extension_);
  if (!location) return FailedWith<void>(kResultNotCached);
  return OnDefaultExecutor<void>([&] {
    return SaveDataForDataSource(location->dataSourceId, analyzerGuid, parameter, key, location->sidecarPath, blob);
  });
}

bool SidecarDataStoreAdaptor::IsDataNotFoundInCache(std::exception_ptr const& exception) const {
  Result const result = zelcore::config::ExtractResultFromException(exception);
  return result == kResultNotCached || result == kResultSidecarFileNotFound || result == kResultSidecarEntryNotFound;
}

Future<Blob> SidecarDataStoreAdaptor::LoadDataForDataSource(std::string const& dataSourceId, Guid const& analyzerGuid,
                                                            ImmutableString const& parameter,
                                                            ImmutableString const& key,
                                                            std::filesystem::path const& sidecarPath) const {
  if (IsAnalyzerCacheIgnored()) return FailedWith<Blob>(kResultSidecarFileNotFound);
  // The task holds the store, so it never runs against a destroyed one.
  return zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(
      executor_, kNoDelay, executor_, [self = Self(), dataSourceId, analyzerGuid, parameter, key, sidecarPath] {
        return self->LoadTask(dataSourceId, analyzerGuid, parameter, key, sidecarPath);
      });
}

Future<void> SidecarDataStoreAdaptor::SaveDataForDataSource(std::string const& dataSourceId, Guid const& analyzerGuid,
                                                            ImmutableString const& parameter,
                                                            ImmutableString const& key,
                                                            std::filesystem::path const& sidecarPath,
                                                            Blob const& blob) {
  return zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(
      executor_, kNoDelay, executor_, [self = Self(), dataSourceId, analyzerGuid, parameter, key, sidecarPath, blob] {
        self->SaveTask(dataSourceId, analyzerGuid, parameter, key, sidecarPath, blob);
      });
}

Blob SidecarDataStoreAdaptor::LoadTask(std::string const& dataSourceId, Guid const& analyzerGuid,
                                       ImmutableString const& parameter, ImmutableString const& key,
                                       std::filesystem::path const& sidecarPath) const {
  SidecarFileLock lock(sidecarPath, SidecarFileLock::Mode::kRead);
  auto const data = DeserializeFromSideCarFileSync(sidecarPath);
  if (!data) throw zel_exception("Cache not found", kResultSidecarEntryNotFound);
  auto const item = data->items.find({analyzerGuid, dataSourceId});
  if (item == data->items.end()) throw zel_exception("Analyzer Item not found in cache", kResultSidecarEntryNotFound);

  auto const& values = item->second.values;
  auto value = values.find(std::string(GenerateCacheKey(analyzerGuid, parameter, key).view()));
  if (value == values.end() && parameterHashHandling_ == kAllowAnyParameterHash) {
    std::regex const pattern(GenerateCacheKeyPattern(analyzerGuid, key), std::regex::ECMAScript);
    value = std::find_if(values.begin(), values.end(),
                         [&](auto const& entry) { return std::regex_match(entry.first, pattern); });
  }
  if (value == values.end()) throw zel_exception("Value not found in cache", kResultSidecarEntryNotFound);
  return value->second;
}

void SidecarDataStoreAdaptor::SaveTask(std::string const& dataSourceId, Guid const& analyzerGuid,
                                       ImmutableString const& parameter, ImmutableString const& key,
                                       std::filesystem::path const& sidecarPath, Blob const& blob) const {
  SidecarFileLock lock(sidecarPath, SidecarFileLock::Mode::kWrite);
  std::shared_ptr<SideCarSerializationData> data;
  try {
    data = DeserializeFromSideCarFileSync(sidecarPath);
  } catch (...) {
    // A missing, unreadable, damaged or newer file is replaced by one that holds what we know.
  }
  if (!data) data = std::make_shared<SideCarSerializationData>();

  auto [item, inserted] = data->items.try_emplace({analyzerGuid, dataSourceId});
  if (inserted) {
    item->second.dataSourceId = dataSourceId;
    item->second.analyzerId = analyzerGuid;
  }
  item->second.values[std::string(GenerateCacheKey(analyzerGuid, parameter, key).view())] = blob;
  if (!SerializeToSideCarFileSync(sidecarPath, data)) {
    throw zel_exception("Sidecar file could not be written to", kResultSidecarWriteFailed);
  }
}

std::shared_ptr<SideCarSerializationData> SidecarDataStoreAdaptor::DeserializeFromSideCarFileSync(
    std::filesystem::path const& sidecarPath) const {
  if (!std::filesystem::exists(sidecarPath)) throw zel_exception("Sidecar file not found", kResultSidecarFileNotFound);
  if (std::filesystem::file_size(sidecarPath) == 0) {
    throw zel_exception("Sidecar file not found", kResultSidecarFileNotFound);
  }
  Blob const buffer = zelcore::FileUtils::SimpleReadFileIntoBuffer(zelcore::text::WcharToUTF16(sidecarPath.wstring()));
  return serialization::DeserializeDataStoreFromBinary(buffer);
}

bool SidecarDataStoreAdaptor::SerializeToSideCarFileSync(std::filesystem::path const& sidecarPath,
                                                         std::shared_ptr<SideCarSerializationData> const& data) const {
  auto const buffer = serialization::SerializeDataStoreToBinary(data);
  std::ofstream stream(sidecarPath, std::ios::binary | std::ios::out | std::ios::trunc);
  if (!stream.is_open()) return false;
  stream.write(reinterpret_cast<char const*>(buffer->data()), static_cast<std::streamsize>(buffer->size()));
  // A failed write or close (a full disk, say) must not pass as success.
  stream.close();
  return !stream.fail();
}

SidecarDataStoreAdaptor::operator InterfaceRef<zelcore::classref::UnknownBase>() {
  return InterfaceRef<zelcore::classref::UnknownBase>(GetSharedFromThis<zelcore::classref::UnknownBase>());
}

void* SidecarDataStoreAdaptor::QueryMap(std::string_view name) {
  return zelcore::classref::QueryMapOf<SidecarDataStoreAdaptor, IDataStoreAdaptor>(this, name);
}

std::string SidecarDataStoreAdaptor::GetUnknownTypeName() const {
  static std::string const name = UnknownBase::GetUnknownTypeName();
  return name;
}

std::shared_ptr<SidecarDataStoreAdaptor const> SidecarDataStoreAdaptor::Self() const {
  return const_cast<SidecarDataStoreAdaptor*>(this)->GetSharedFromThis<SidecarDataStoreAdaptor>();
}

}  // namespace Quillan
