#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "DataStoreAdaptors/IDataStoreAdaptor.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"
#include "Foundation/Export.h"
#include "zelcore/Executor.h"

namespace Quillan {

// Where a target's results live in a sidecar file: the file beside the media, and the item within it.
struct SidecarLocation {
  std::string dataSourceId;  // the text of the target's content state GUID
  std::filesystem::path sidecarPath;
};

// The sidecar location of `target` with `extension` in place of the media file's extension; none for a clip, a
// null state or a media without a path. Throws what GetContentStateGuid throws.
QUILLAN_EXPORT std::optional<SidecarLocation> ResolveSidecarLocation(Target const& target,
                                                                     std::string const& extension);

// Keeps analysis results in a sidecar file beside the media file: one file per media for every analyzer and every
// content state of it. Every load reads and decodes the whole file; every save reads, changes one value and rewrites
// the whole file in place. Nothing stays in memory between calls. The store's tasks run one at a time on its own
// serial executor (drained before the application quits), and SidecarFileLock keeps readers and writers of one file
// apart across the stores of the process. May be used from any thread.
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
  // Queue the load or save task on the store's executor. The location is resolved already.
  zelcore::async::Future<zelcore::Blob> LoadDataForDataSource(std::string const& dataSourceId, Guid const& analyzerGuid,
                                                              ImmutableString const& parameter,
                                                              ImmutableString const& key,
                                                              std::filesystem::path const& sidecarPath) const;
  zelcore::async::Future<void> SaveDataForDataSource(std::string const& dataSourceId, Guid const& analyzerGuid,
                                                     ImmutableString const& parameter, ImmutableString const& key,
                                                     std::filesystem::path const& sidecarPath,
                                                     zelcore::Blob const& blob);

  // The file operations of the tasks, called under the file's lock; an override must not take the lock again.
  // Reads and decodes the whole file; a missing or empty file throws kResultSidecarFileNotFound.
  virtual std::shared_ptr<SideCarSerializationData> DeserializeFromSideCarFileSync(
      std::filesystem::path const& sidecarPath) const;
  // Encodes `data` and rewrites the file in place; false when the file could not be opened, written or closed.
  virtual bool SerializeToSideCarFileSync(std::filesystem::path const& sidecarPath,
                                          std::shared_ptr<SideCarSerializationData> const& data) const;

 private:
  zelcore::Blob LoadTask(std::string const& dataSourceId, Guid const& analyzerGuid, ImmutableString const& parameter,
                         ImmutableString const& key, std::filesystem::path const& sidecarPath) const;
  void SaveTask(std::string const& dataSourceId, Guid const& analyzerGuid, ImmutableString const& parameter,
                ImmutableString const& key, std::filesystem::path const& sidecarPath, zelcore::Blob const& blob) const;
  std::shared_ptr<SidecarDataStoreAdaptor const> Self() const;

  std::string extension_;
  ParameterHashHandling parameterHashHandling_ = kExactParameterHash;
  std::shared_ptr<zelcore::async::AsyncExecutor> executor_;
};

}  // namespace Quillan
