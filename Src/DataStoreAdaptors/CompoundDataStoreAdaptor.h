#pragma once

#include <vector>

#include "DataStoreAdaptors/IDataStoreAdaptor.h"
#include "Foundation/Export.h"

namespace Quillan {

// Joins several stores into one. Loads try the read adaptors in order and are answered by the first whose load
// succeeds; saves go to the first write adaptor whose save succeeds, and to no other. Immutable after Create, so
// its operations may run concurrently from any thread. It caches nothing of its own.
class QUILLAN_EXPORT CompoundDataStoreAdaptor : public IDataStoreAdaptor,
                                                public zelcore::classref::ClassStatics<CompoundDataStoreAdaptor> {
 public:
  ZEL_INTERFACE_NAME("Quillan::CompoundDataStoreAdaptor")

  using Adaptors = std::vector<zelcore::InterfaceRef<IDataStoreAdaptor>>;

  // A compound over the two lists. Either may be empty, and a store may be in both.
  static zelcore::InterfaceRef<IDataStoreAdaptor> Create(Adaptors readAdaptors, Adaptors writeAdaptors);

  ~CompoundDataStoreAdaptor() override;

  Adaptors const& GetReadAdaptors() const { return readAdaptors_; }
  Adaptors const& GetWriteAdaptors() const { return writeAdaptors_; }

  // IDataStoreAdaptor:
  zelcore::async::Future<void> SaveDataWithKey(Target const& target, Guid const& analyzerGuid,
                                               ImmutableString const& parameter, ImmutableString const& key,
                                               zelcore::Blob const& blob) override;
  zelcore::async::Future<zelcore::Blob> LoadDataWithKey(Target const& target, Guid const& analyzerGuid,
                                                        ImmutableString const& parameter,
                                                        ImmutableString const& key) const override;
  // True for the compound's own "nothing cached" codes and whatever a read adaptor counts as a miss.
  bool IsDataNotFoundInCache(std::exception_ptr const& exception) const override;
  virtual operator zelcore::InterfaceRef<zelcore::classref::UnknownBase>();

  // UnknownBase:
  void* QueryMap(std::string_view name) override;
  std::string GetUnknownTypeName() const override;

 protected:
  friend struct zelcore::classref::ClassStatics<CompoundDataStoreAdaptor>;
  CompoundDataStoreAdaptor();

 private:
  Adaptors readAdaptors_;
  Adaptors writeAdaptors_;
};

}  // namespace Quillan
