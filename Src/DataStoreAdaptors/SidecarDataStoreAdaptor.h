#pragma once

#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DataStoreAdaptors/IDataStoreAdaptor.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"
#include "Foundation/Export.h"
#include "zelcore/Executor.h"

namespace Quillan {

// Where a target's results live in a sidecar file: the file beside the media, and the item within it.
struct SidecarLocation {
  std::string dataSourceId;           // the text of the target's content state GUID
  std::filesystem::path sidecarPath;  // bytes, whatever their encoding
};

// The sidecar location of `target` with `extension` in place of the media file's extension; none for a clip, a
// null state, a media without a path, a media that is not a regular file (a pipe, a device) or one reached through
// /dev or /proc. The media's UTF-16 path is taken as bytes (zelcore::text::UTF16ToPathBytes), so any file name
// works in any locale. Throws what GetContentStateGuid throws.
QUILLAN_EXPORT std::optional<SidecarLocation> ResolveSidecarLocation(Target const& target,
                                                                     std::string const& extension);

// Keeps analysis results in a sidecar file beside the media file: one file per media for every analyzer and every
// content state of it. Every load reads the whole file, verifies it and looks up its one value; every save reads,
// changes one value and replaces the whole file atomically (SidecarFile), under an flock that keeps other processes'
// saves out. Nothing stays in memory between calls. The store's tasks run one at a time on its own serial executor
// (drained before the application quits), and SidecarFileLock keeps readers and writers of one file apart across
// the stores of the process. A sidecar of a newer format version, a link or anything but a regular file at the
// sidecar path is never written. May be used from any thread.
class QUILLAN_EXPORT SidecarDataStoreAdaptor : public IDataStoreAdaptor,
                                               public zelcore::classref::ClassStatics<SidecarDataStoreAdaptor> {
 public:
  ZEL_INTERFACE_NAME("Quillan::SidecarDataStoreAdaptor")

  enum ParameterHashHandling : std::int32_t {
    // With no value under the exact cache key, take one of the same analyzer and key under any parameter.
    kAllowAnyParameterHash = 0,
    // Only the exact cache key is found.
    kExactParameterHash = 1,
  };

  static inline std::string const kDefaultSidecarExtension = ".qvmi";

  // A store writing beside each media a file with `extension` (not checked: it may be empty or lack its dot).
  static zelcore::InterfaceRef<IDataStoreAdaptor> Create(std::string const& extension, ParameterHashHandling handling);
  static zelcore::InterfaceRef<IDataStoreAdaptor> CreateWithDefaultExtension(ParameterHashHandling handling);

  // Called with the sidecar path and the error whenever a save fails to write its file, in any store of the
  // process, on the store's executor; an empty function stops it. For a tool that tells its user once.
  using WriteFailureObserver = std::function<void(std::filesystem::path const&, std::string const&)>;
  static void SetWriteFailureObserver(WriteFailureObserver observer);

  SidecarDataStoreAdaptor();
  ~SidecarDataStoreAdaptor() override;

  // IDataStoreAdaptor:
  zelcore::async::Future<void> SaveDataWithKey(Target const& target, Guid const& analyzerGuid,
                                               ImmutableString const& parameter, ImmutableString const& key,
                                               zelcore::Blob const& blob) override;
  zelcore::async::Future<zelcore::Blob> LoadDataWithKey(Target const& target, Guid const& analyzerGuid,
                                                        ImmutableString const& parameter,
                                                        ImmutableString const& key) const override;
  bool IsDataNotFoundInCache(std::exception_ptr const& exception) const override;
  virtual operator zelcore::InterfaceRef<zelcore::classref::UnknownBase>();

  // UnknownBase:
  void* QueryMap(std::string_view name) override;
  std::string GetUnknownTypeName() const override;

 protected:
  // Queue the load or save task on the store's executor. The location is resolved already. The load's future
  // carries the default executor, so its result reaches the caller in one hop.
  zelcore::async::Future<zelcore::Blob> LoadDataForDataSource(std::string const& dataSourceId, Guid const& analyzerGuid,
                                                              ImmutableString const& parameter,
                                                              ImmutableString const& key,
                                                              std::filesystem::path const& sidecarPath) const;
  zelcore::async::Future<void> SaveDataForDataSource(std::string const& dataSourceId, Guid const& analyzerGuid,
                                                     ImmutableString const& parameter, ImmutableString const& key,
                                                     std::filesystem::path const& sidecarPath,
                                                     zelcore::Blob const& blob);

  // A store with these settings, for a derived class (a store of this class is made by Create).
  SidecarDataStoreAdaptor(std::string extension, ParameterHashHandling handling);

  // The file operations of the tasks, called under the file's locks; an override must not take them again. A derived
  // class that overrides them keeps its sidecars as it likes: loads and saves both go through them.
  //
  // Reads and decodes the whole file, bounded by GetSidecarMaxLoadBytes (SidecarFile::Read's errors, then the
  // decoder's). A load fails with what it throws, and with "Cache not found" (kResultSidecarEntryNotFound) when it
  // returns null. A save replaces the file when it throws kResultSidecarFileNotFound (no file, an empty one) or
  // SideCarFormatError (not a sidecar), or returns null; any other exception fails the save with
  // kResultSidecarWriteFailed and leaves the file as it is. A store of this class itself looks a load's one value up
  // in the file without decoding the rest, which gives the same answer.
  virtual std::shared_ptr<SideCarSerializationData> DeserializeFromSideCarFileSync(
      std::filesystem::path const& sidecarPath) const;
  // Encodes `data` and replaces the file atomically. Throws the encoder's errors before the file is touched (an item
  // of a foreign file that the format cannot hold fails the save: "Side Car Data is empty"), and
  // kResultSidecarWriteFailed with the reason when the file could not be written (the old file stays whole). A save
  // fails with kResultSidecarWriteFailed when it returns false.
  virtual bool SerializeToSideCarFileSync(std::filesystem::path const& sidecarPath,
                                          std::shared_ptr<SideCarSerializationData> const& data) const;

 private:
  zelcore::Blob LoadTask(std::string const& dataSourceId, Guid const& analyzerGuid, ImmutableString const& parameter,
                         ImmutableString const& key, std::filesystem::path const& sidecarPath) const;
  // A save waiting for the executor. The saves of one file that wait together, asked of any store of the same class
  // (every analyzer has a store of its own), are written by the first of them to run, in one replace of the file: a
  // file's flushes are paid once for all of them, not once per value. Saves asked for while the file is being written
  // wait for that write to end, and then go together.
  struct PendingSave {
    std::string dataSourceId;
    Guid analyzerGuid;
    ImmutableString parameter;
    ImmutableString key;
    zelcore::Blob blob;
    bool done = false;           // guarded by the queue's mutex
    std::exception_ptr failure;  // guarded by the queue's mutex
  };
  // Runs on the executor: writes `save` with every other save of its file that waits, unless an earlier one did.
  // Throws what `save` failed with.
  void RunSave(std::filesystem::path const& sidecarPath, std::shared_ptr<PendingSave> const& save) const;
  // Writes `saves` (in their order) into the file in one replace; reports a write failure to the observer when
  // `report`.
  void SaveTask(std::filesystem::path const& sidecarPath, std::vector<std::shared_ptr<PendingSave>> const& saves,
                bool report) const;
  // A load's lookup in what DeserializeFromSideCarFileSync returned, and the same lookup in the file itself.
  zelcore::Blob LookUpInContainer(SideCarSerializationData const* data, std::string const& dataSourceId,
                                  Guid const& analyzerGuid, ImmutableString const& parameter,
                                  ImmutableString const& key) const;
  zelcore::Blob LookUpInFile(std::string const& dataSourceId, Guid const& analyzerGuid,
                             ImmutableString const& parameter, ImmutableString const& key,
                             std::filesystem::path const& sidecarPath) const;
  // What a save starts from: the decoded file, or null when it is to be replaced (see DeserializeFromSideCarFileSync).
  std::shared_ptr<SideCarSerializationData> ReadForSave(std::filesystem::path const& sidecarPath) const;
  std::shared_ptr<SidecarDataStoreAdaptor const> Self() const;

  std::string extension_;
  ParameterHashHandling parameterHashHandling_ = kExactParameterHash;
  std::shared_ptr<zelcore::async::AsyncExecutor> executor_;
};

}  // namespace Quillan
