#include "DataStoreAdaptors/SidecarDataStoreAdaptor.h"

#include <re2/re2.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <typeinfo>

#include "BE/Media.h"
#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"
#include "DataStoreAdaptors/SidecarFile.h"
#include "DataStoreAdaptors/SidecarFileLock.h"
#include "DataStoreAdaptors/SidecarMaxLoadBytes.h"
#include "zelcore/TextConversions.h"

namespace Quillan {
namespace {

using zelcore::Blob;
using zelcore::InterfaceRef;
using zelcore::async::Future;
using zelcore::config::zel_exception;
namespace serialization = SidecarDataStoreAdaptorSerialization;

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

struct WriteFailureObserverSlot {
  std::mutex mutex;
  SidecarDataStoreAdaptor::WriteFailureObserver observer;  // guarded by mutex
};

// Lives for the process: a store's task may report while statics are torn down.
WriteFailureObserverSlot& GetWriteFailureObserverSlot() {
  static auto* slot = new WriteFailureObserverSlot;
  return *slot;
}

void ReportWriteFailure(std::filesystem::path const& path, std::string const& message) {
  auto& slot = GetWriteFailureObserverSlot();
  std::lock_guard lock(slot.mutex);
  if (slot.observer) slot.observer(path, message);
}

// Pseudo-file systems, where a "media" is a stand-in for something else (/dev/stdin, /proc/self/fd/0): a sidecar
// there would be written among devices, or not at all.
bool IsInSystemFolder(std::filesystem::path const& path) {
  std::error_code error;  // without a working folder, a relative path is taken as it is
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) absolute = path;
  auto const folder = absolute.lexically_normal().parent_path().native();
  for (std::string_view const system : {"/dev", "/proc", "/sys"}) {
    if (folder.starts_with(system) && (folder.size() == system.size() || folder[system.size()] == '/')) return true;
  }
  return false;
}

bool IsRegularFile(std::filesystem::path const& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// The any-parameter fallback's matcher. RE2 runs in time linear in the key and never recurses, so a hostile stored
// key of any length is matched or rejected without exhausting the stack. Latin-1 mode matches the keys as bytes.
class AnyParameterMatcher {
 public:
  AnyParameterMatcher(Guid const& analyzerGuid, ImmutableString const& key)
      : pattern_(GenerateCacheKeyPattern(analyzerGuid, key), Options()) {
    if (!pattern_.ok()) throw std::runtime_error("Cache key pattern does not compile: " + pattern_.error());
  }
  bool operator()(std::string_view storedKey) const {
    return RE2::FullMatch(re2::StringPiece(storedKey.data(), storedKey.size()), pattern_);
  }

 private:
  static RE2::Options Options() {
    RE2::Options options;
    options.set_encoding(RE2::Options::EncodingLatin1);
    options.set_dot_nl(true);  // any parameter, a newline in it too
    options.set_log_errors(false);
    return options;
  }
  RE2 pattern_;
};

// The saves that wait, of every store in the process, by their store's class and the exact bytes of their sidecar's
// path, in the order they were asked for, and the files being written.
template <class Save>
struct SaveQueue {
  static SaveQueue& Get() {
    static auto* queue = new SaveQueue;  // lives for the process: a store's task may run while statics go
    return *queue;
  }
  static std::string KeyOf(std::type_info const& store, std::filesystem::path const& sidecarPath) {
    return std::string(store.name()) + '\0' + sidecarPath.native();
  }

  std::mutex mutex;
  std::condition_variable changed;                                    // a save was asked for, or a batch was written
  std::map<std::string, std::vector<std::shared_ptr<Save>>> pending;  // guarded by mutex
  std::set<std::string> writing;                                      // guarded by mutex
};

}  // namespace

std::optional<SidecarLocation> ResolveSidecarLocation(Target const& target, std::string const& extension) {
  Guid const state = GetContentStateGuid(target);
  std::filesystem::path mediaPath;
  if (target.valueless_by_exception()) throw std::bad_variant_access();
  if (auto const* media = std::get_if<1>(&target)) {
    mediaPath = std::filesystem::path(zelcore::text::UTF16ToPathBytes((*media)->GetFilePath()));
  }
  if (state.IsNull() || mediaPath.empty()) return std::nullopt;
  if (!IsRegularFile(mediaPath) || IsInSystemFolder(mediaPath)) return std::nullopt;
  mediaPath.replace_extension(std::filesystem::path(extension));
  return SidecarLocation{state.AsUTF8String(), std::move(mediaPath)};
}

void SidecarDataStoreAdaptor::SetWriteFailureObserver(WriteFailureObserver observer) {
  auto& slot = GetWriteFailureObserverSlot();
  std::lock_guard lock(slot.mutex);
  slot.observer = std::move(observer);
}

SidecarDataStoreAdaptor::SidecarDataStoreAdaptor()
    : executor_(zelcore::async::CreateSubExecutor(zelcore::async::CreatePreTerminationExecutor(), 1)) {}

SidecarDataStoreAdaptor::SidecarDataStoreAdaptor(std::string extension, ParameterHashHandling handling)
    : SidecarDataStoreAdaptor() {
  extension_ = std::move(extension);
  parameterHashHandling_ = handling;
}

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
  return LoadDataForDataSource(location->dataSourceId, analyzerGuid, parameter, key, location->sidecarPath);
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
  // The task's future carries the default executor, so the result reaches the caller's continuations without a
  // second hop through the store's executor. The task holds the store, so it never runs against a destroyed one.
  return zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(
      executor_, std::chrono::milliseconds::zero(), zelcore::async::GetDefaultExecutor(),
      [self = Self(), dataSourceId, analyzerGuid, parameter, key, sidecarPath] {
        return self->LoadTask(dataSourceId, analyzerGuid, parameter, key, sidecarPath);
      });
}

Future<void> SidecarDataStoreAdaptor::SaveDataForDataSource(std::string const& dataSourceId, Guid const& analyzerGuid,
                                                            ImmutableString const& parameter,
                                                            ImmutableString const& key,
                                                            std::filesystem::path const& sidecarPath,
                                                            Blob const& blob) {
  auto save = std::make_shared<PendingSave>();
  save->dataSourceId = dataSourceId;
  save->analyzerGuid = analyzerGuid;
  save->parameter = parameter;
  save->key = key;
  save->blob = blob;
  auto& queue = SaveQueue<PendingSave>::Get();
  {
    std::lock_guard lock(queue.mutex);
    queue.pending[SaveQueue<PendingSave>::KeyOf(typeid(*this), sidecarPath)].push_back(save);
  }
  queue.changed.notify_all();
  return zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(
      executor_, std::chrono::milliseconds::zero(), executor_,
      [self = Self(), sidecarPath, save] { self->RunSave(sidecarPath, save); });
}

void SidecarDataStoreAdaptor::RunSave(std::filesystem::path const& sidecarPath,
                                      std::shared_ptr<PendingSave> const& save) const {
  auto& queue = SaveQueue<PendingSave>::Get();
  std::string const queueKey = SaveQueue<PendingSave>::KeyOf(typeid(*this), sidecarPath);
  std::vector<std::shared_ptr<PendingSave>> batch;
  {
    std::unique_lock lock(queue.mutex);
    // While another store's task writes the file, the saves asked for meanwhile wait, and the next write takes them
    // all: a lone save is written at once, saves that come together are written together. A save that another task
    // took is being written by it: its outcome is waited for.
    while (!save->done) {
      auto const found = queue.pending.find(queueKey);
      bool const taken = found == queue.pending.end() ||
                         std::find(found->second.begin(), found->second.end(), save) == found->second.end();
      if (taken || queue.writing.contains(queueKey)) {
        queue.changed.wait(lock);
        continue;
      }
      batch = std::move(found->second);
      queue.pending.erase(found);
      queue.writing.insert(queueKey);
      break;
    }
  }
  struct EndOfWrite {
    SaveQueue<PendingSave>& queue;
    std::string const& key;
    bool writing;
    ~EndOfWrite() {
      if (!writing) return;
      {
        std::lock_guard lock(queue.mutex);
        queue.writing.erase(key);
      }
      queue.changed.notify_all();
    }
  } const endOfWrite{queue, queueKey, !batch.empty()};
  auto const settle = [&](PendingSave& one, std::exception_ptr failure) {
    {
      std::lock_guard lock(queue.mutex);
      one.done = true;
      one.failure = std::move(failure);
    }
    queue.changed.notify_all();
  };
  if (!batch.empty()) {
    try {
      SaveTask(sidecarPath, batch, batch.size() == 1);
      for (auto const& one : batch) settle(*one, nullptr);
    } catch (...) {
      if (batch.size() == 1) {
        settle(*batch.front(), std::current_exception());
      } else {
        // One value may be what failed the file (too large for the format, refused by a derived writer): each is
        // saved alone then, with its own outcome, as if they had not waited together.
        for (auto const& one : batch) {
          try {
            SaveTask(sidecarPath, {one}, true);
            settle(*one, nullptr);
          } catch (...) {
            settle(*one, std::current_exception());
          }
        }
      }
    }
  }
  std::exception_ptr failure;
  {
    std::lock_guard lock(queue.mutex);
    failure = save->failure;
  }
  if (failure) std::rethrow_exception(failure);
}

Blob SidecarDataStoreAdaptor::LoadTask(std::string const& dataSourceId, Guid const& analyzerGuid,
                                       ImmutableString const& parameter, ImmutableString const& key,
                                       std::filesystem::path const& sidecarPath) const {
  SidecarFileLock lock(sidecarPath, SidecarFileLock::Mode::kRead);
  // A store of this very class reads its own files, and looks its one value up in the verified buffer instead of
  // decoding every item of every analyzer: the answer is the one the decoded container gives (the sidecar fuzz target
  // holds the two to that). A derived store's reader may keep its sidecars anywhere, so its container is asked.
  if (typeid(*this) == typeid(SidecarDataStoreAdaptor)) {
    return LookUpInFile(dataSourceId, analyzerGuid, parameter, key, sidecarPath);
  }
  return LookUpInContainer(DeserializeFromSideCarFileSync(sidecarPath).get(), dataSourceId, analyzerGuid, parameter,
                           key);
}

Blob SidecarDataStoreAdaptor::LookUpInContainer(SideCarSerializationData const* data, std::string const& dataSourceId,
                                                Guid const& analyzerGuid, ImmutableString const& parameter,
                                                ImmutableString const& key) const {
  if (data == nullptr) throw zel_exception("Cache not found", kResultSidecarEntryNotFound);
  auto const item = data->items.find({analyzerGuid, dataSourceId});
  if (item == data->items.end()) throw zel_exception("Analyzer Item not found in cache", kResultSidecarEntryNotFound);
  auto const& values = item->second.values;
  if (auto const value = values.find(std::string(GenerateCacheKey(analyzerGuid, parameter, key).view()));
      value != values.end()) {
    return value->second;
  }
  if (parameterHashHandling_ == kAllowAnyParameterHash) {
    AnyParameterMatcher const matches(analyzerGuid, key);
    for (auto const& [storedKey, blob] : values) {
      if (matches(storedKey)) return blob;
    }
  }
  throw zel_exception("Value not found in cache", kResultSidecarEntryNotFound);
}

Blob SidecarDataStoreAdaptor::LookUpInFile(std::string const& dataSourceId, Guid const& analyzerGuid,
                                           ImmutableString const& parameter, ImmutableString const& key,
                                           std::filesystem::path const& sidecarPath) const {
  // Bounded before anything is allocated; concurrent reads of one file share one buffer (SidecarFile).
  Blob const buffer = SidecarFile::Read(sidecarPath, GetSidecarMaxLoadBytes());
  if (!buffer) throw zel_exception("Cache not found", kResultSidecarEntryNotFound);
  using Outcome = serialization::SideCarValueLookup::Outcome;
  // An empty key is refused once its item is found, as in the container.
  if (key.empty() &&
      serialization::FindValueInBinary(buffer, analyzerGuid, dataSourceId, {}).outcome == Outcome::kNoItem) {
    throw zel_exception("Analyzer Item not found in cache", kResultSidecarEntryNotFound);
  }
  std::string const cacheKey(GenerateCacheKey(analyzerGuid, parameter, key).view());
  std::optional<AnyParameterMatcher> matcher;
  std::function<bool(std::string_view)> fallback;
  if (parameterHashHandling_ == kAllowAnyParameterHash) {
    fallback = [&](std::string_view storedKey) {
      if (!matcher) matcher.emplace(analyzerGuid, key);  // compiled only when the exact key is missing
      return (*matcher)(storedKey);
    };
  }
  auto const found = serialization::FindValueInBinary(buffer, analyzerGuid, dataSourceId, cacheKey, fallback);
  if (found.outcome == Outcome::kNoItem) {
    throw zel_exception("Analyzer Item not found in cache", kResultSidecarEntryNotFound);
  }
  if (found.outcome == Outcome::kNoValue) throw zel_exception("Value not found in cache", kResultSidecarEntryNotFound);
  return found.blob;
}

void SidecarDataStoreAdaptor::SaveTask(std::filesystem::path const& sidecarPath,
                                       std::vector<std::shared_ptr<PendingSave>> const& saves, bool report) const {
  try {
    // A result that cannot fit the format fails at once, before the file is read or a buffer grows.
    for (auto const& save : saves) {
      if (save->blob && save->blob->size() > serialization::kMaxSideCarBufferSize) {
        SidecarFile::ThrowWriteFailed(serialization::SideCarTooLargeError(save->blob->size()).what());
      }
    }
    std::uint64_t maxLoadBytes = 0;
    try {
      maxLoadBytes = GetSidecarMaxLoadBytes();
    } catch (std::exception const& settings) {
      SidecarFile::ThrowWriteFailed(std::string("the bound on what is read could not be read: ") + settings.what());
    }
    SidecarFileLock lock(sidecarPath, SidecarFileLock::Mode::kWrite);
    SidecarFile const fileLock(sidecarPath);
    if (static_cast<std::uint64_t>(fileLock.Size()) > serialization::kMaxSideCarBufferSize) {
      SidecarFile::ThrowWriteFailed("the file is too large for the format, so it is not ours to replace");
    }
    if (static_cast<std::uint64_t>(fileLock.Size()) > maxLoadBytes) {
      SidecarFile::ThrowWriteFailed(
          "the file is larger than the bound on what is read (setting SidecarMaxLoadBytes): " +
          std::to_string(fileLock.Size()) + " bytes, at most " + std::to_string(maxLoadBytes) +
          "; it is left as it is");
    }
    std::shared_ptr<SideCarSerializationData> data = ReadForSave(sidecarPath);
    if (!data) data = std::make_shared<SideCarSerializationData>();
    for (auto const& save : saves) {
      std::string const cacheKey(GenerateCacheKey(save->analyzerGuid, save->parameter, save->key).view());
      serialization::SetValueForSave(*data, save->analyzerGuid, save->dataSourceId, cacheKey, save->blob);
    }
    bool written = false;
    try {
      written = SerializeToSideCarFileSync(sidecarPath, data);
    } catch (serialization::SideCarTooLargeError const& tooLarge) {
      SidecarFile::ThrowWriteFailed(tooLarge.what());
    } catch (zel_exception const&) {
      throw;
    } catch (std::runtime_error const& unencodable) {
      // Content the format cannot hold (a foreign item without values): the save fails as the encoder says, and the
      // file keeps what another writer stored in it.
      if (report) ReportWriteFailure(sidecarPath, unencodable.what());
      throw;
    }
    if (!written) throw zel_exception("Sidecar file could not be written to", kResultSidecarWriteFailed);
  } catch (zel_exception const& failure) {
    if (report && failure.GetResult() == kResultSidecarWriteFailed) ReportWriteFailure(sidecarPath, failure.what());
    throw;
  }
}

std::shared_ptr<SideCarSerializationData> SidecarDataStoreAdaptor::ReadForSave(
    std::filesystem::path const& sidecarPath) const {
  // Only a file that is not there or is not a sidecar at all is replaced by one that holds the new value alone.
  // Any other failure to read it (I/O, memory, permission, its size) says nothing about what it holds, and every
  // other analyzer's results in it would be lost: the save fails and leaves it as it is.
  auto const leftAlone = [](std::string const& why) { SidecarFile::ThrowWriteFailed(why + "; it is left as it is"); };
  try {
    return DeserializeFromSideCarFileSync(sidecarPath);
  } catch (serialization::SideCarVersionError const&) {
    SidecarFile::ThrowWriteFailed("it was written by a newer version of the format and is left as it is");
  } catch (serialization::SideCarFormatError const&) {
    return nullptr;  // damaged beyond decoding: nothing in it can be kept
  } catch (zel_exception const& failure) {
    if (failure.GetResult() == kResultSidecarFileNotFound) return nullptr;  // missing or empty
    leftAlone(std::string("it could not be read: ") + failure.what());
  } catch (std::bad_alloc const&) {
    leftAlone("there was not enough memory to read it");
  } catch (std::exception const& failure) {
    leftAlone(std::string("it could not be read: ") + failure.what());
  } catch (...) {
    leftAlone("it could not be read");
  }
  return nullptr;  // not reached: leftAlone throws
}

std::shared_ptr<SideCarSerializationData> SidecarDataStoreAdaptor::DeserializeFromSideCarFileSync(
    std::filesystem::path const& sidecarPath) const {
  return serialization::DeserializeDataStoreFromBinary(SidecarFile::Read(sidecarPath, GetSidecarMaxLoadBytes()));
}

bool SidecarDataStoreAdaptor::SerializeToSideCarFileSync(std::filesystem::path const& sidecarPath,
                                                         std::shared_ptr<SideCarSerializationData> const& data) const {
  auto const buffer = serialization::SerializeDataStoreToBinary(data);
  if (std::string const why = SidecarFile::Replace(sidecarPath, *buffer); !why.empty())
    SidecarFile::ThrowWriteFailed(why);
  return true;
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
