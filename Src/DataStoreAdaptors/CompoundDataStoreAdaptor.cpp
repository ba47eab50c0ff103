#include "DataStoreAdaptors/CompoundDataStoreAdaptor.h"

#include <span>

#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"

namespace Quillan {
namespace {

using zelcore::Blob;
using zelcore::InterfaceRef;
using zelcore::async::Future;
using zelcore::config::zel_exception;

IDataStoreAdaptor& CheckedAdaptor(InterfaceRef<IDataStoreAdaptor> const& adaptor) {
  if (!adaptor) zelcore::config::DoThrowNullPtrException(IDataStoreAdaptor::InterfaceName().data());
  return *adaptor;
}

// Tries adaptors[first..] in order: the first success answers, every failure moves on to the next adaptor, and
// an exhausted list fails with `exhausted`. Each step runs in the failure handler of the one before it.
template <class T, class Call>
Future<T> TryAdaptors(std::shared_ptr<CompoundDataStoreAdaptor::Adaptors const> adaptors, std::size_t first,
                      char const* exhausted, Call call) {
  if (first >= adaptors->size()) {
    return zelcore::async::MakeExceptionalFuture<T>(
        std::make_exception_ptr(zel_exception(exhausted, kResultUnavailable)));
  }
  Future<T> attempt = call(CheckedAdaptor((*adaptors)[first]));
  return zelcore::async::HandleExceptionFuture(attempt, [adaptors, first, exhausted, call](std::exception_ptr) {
    return TryAdaptors<T>(adaptors, first + 1, exhausted, call);
  });
}

// Read once, at the first load through any compound store of the process.
bool IsCacheIgnoredForCompounds() {
  static bool const ignored = IsAnalyzerCacheIgnored();
  return ignored;
}

}  // namespace

CompoundDataStoreAdaptor::CompoundDataStoreAdaptor() = default;
CompoundDataStoreAdaptor::~CompoundDataStoreAdaptor() = default;

InterfaceRef<IDataStoreAdaptor> CompoundDataStoreAdaptor::Create(Adaptors readAdaptors, Adaptors writeAdaptors) {
  auto compound = CreateClassRef();
  if (!compound) zelcore::config::DoThrowNullPtrException(InterfaceName().data());
  compound->readAdaptors_ = std::move(readAdaptors);
  compound->writeAdaptors_ = std::move(writeAdaptors);
  return compound;
}

Future<void> CompoundDataStoreAdaptor::SaveDataWithKey(Target const& target, Guid const& analyzerGuid,
                                                       ImmutableString const& parameter, ImmutableString const& key,
                                                       Blob const& blob) {
  // The handlers keep the list alive on their own: the compound may be gone before a member answers.
  auto adaptors = std::make_shared<Adaptors const>(writeAdaptors_);
  return TryAdaptors<void>(adaptors, 0, "Write adaptors exhausted",
                           [target, analyzerGuid, parameter, key, blob](IDataStoreAdaptor& adaptor) {
                             return adaptor.SaveDataWithKey(target, analyzerGuid, parameter, key, blob);
                           });
}

Future<Blob> CompoundDataStoreAdaptor::LoadDataWithKey(Target const& target, Guid const& analyzerGuid,
                                                       ImmutableString const& parameter,
                                                       ImmutableString const& key) const {
  if (IsCacheIgnoredForCompounds()) {
    return zelcore::async::MakeExceptionalFuture<Blob>(std::make_exception_ptr(zel_exception("", kResultNotCached)));
  }
  auto adaptors = std::make_shared<Adaptors const>(readAdaptors_);
  return TryAdaptors<Blob>(adaptors, 0, "Read adaptors exhausted",
                           [target, analyzerGuid, parameter, key](IDataStoreAdaptor& adaptor) {
                             return adaptor.LoadDataWithKey(target, analyzerGuid, parameter, key);
                           });
}

bool CompoundDataStoreAdaptor::IsDataNotFoundInCache(std::exception_ptr const& exception) const {
  Result const result = zelcore::config::ExtractResultFromException(exception);
  if (result == kResultNotCached || result == kResultUnavailable) return true;
  for (auto const& adaptor : readAdaptors_) {
    if (CheckedAdaptor(adaptor).IsDataNotFoundInCache(exception)) return true;
  }
  return false;
}

CompoundDataStoreAdaptor::operator InterfaceRef<zelcore::classref::UnknownBase>() {
  return InterfaceRef<zelcore::classref::UnknownBase>(GetSharedFromThis<zelcore::classref::UnknownBase>());
}

void* CompoundDataStoreAdaptor::QueryMap(std::string_view name) {
  return zelcore::classref::QueryMapOf<CompoundDataStoreAdaptor, IDataStoreAdaptor>(this, name);
}

std::string CompoundDataStoreAdaptor::GetUnknownTypeName() const {
  static std::string const name(InterfaceName());
  return name;
}

}  // namespace Quillan
