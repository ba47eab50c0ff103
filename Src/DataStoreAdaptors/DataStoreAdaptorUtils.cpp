#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"

#include "BE/Clip.h"
#include "BE/Media.h"
#include "zelcore/DebugDatabase.h"
#include "zelcore/TextConversions.h"

namespace Quillan {
namespace {

constexpr char kSeparator[] = "__";
constexpr char kIllegalCacheKeyMessage[] = "The cache key may not be null";

std::string JoinCacheKey(Guid const& analyzerGuid, std::string_view parameter, std::string_view key) {
  std::string text = analyzerGuid.AsUTF8String();
  text.reserve(text.size() + parameter.size() + key.size() + 2 * (sizeof(kSeparator) - 1));
  text.append(kSeparator).append(parameter).append(kSeparator).append(key);
  return text;
}

[[noreturn]] void ThrowIllegalCacheKey() {
  IllegalCacheKeyException exception(kResultIllegalArgument);
  exception.AddAdditionalData(zelcore::config::kDebugExpression, "inKey.empty()")
      .AddAdditionalData(zelcore::config::kDebugSourceFunction, "Quillan::GenerateCacheKey")
      .AddAdditionalData(zelcore::config::kDebugSourceLine, "167")
      .AddAdditionalData(zelcore::config::kDebugSourceFile, __FILE__);
  throw exception;
}

Guid GetMediaStateGuid(zelcore::InterfaceRef<BE::IMedia> const& media) {
  if (!media) zelcore::config::DoThrowNullPtrException(BE::IMedia::InterfaceName().data());
  auto const metadata = zelcore::InterfaceRef<BE::IMediaMetaData>::Query(media->GetMediaInfo());
  if (!metadata) throw zelcore::config::zel_exception("MediaInfo doesn't exist for the given media", kResultNotCached);
  Guid state;
  if (metadata->GetContentAndMetadataStateGuid("/", state) != 0 || state.IsNull()) {
    throw zelcore::config::zel_exception("Failed retrieving content and metadata state guid", kResultNotCached);
  }
  return state;
}

}  // namespace

IllegalCacheKeyException::IllegalCacheKeyException(Result result) : zel_exception(kIllegalCacheKeyMessage, result) {}
IllegalCacheKeyException::IllegalCacheKeyException(zelcore::config::zel_exception const& other)
    : zel_exception(other) {}

ImmutableString GenerateCacheKey(Guid const& analyzerGuid, ImmutableString const& parameter,
                                 ImmutableString const& inKey) {
  if (inKey.empty()) ThrowIllegalCacheKey();
  return ImmutableString::Create(JoinCacheKey(analyzerGuid, parameter.view(), inKey.view()));
}

std::string GenerateCacheKeyPattern(Guid const& analyzerGuid, ImmutableString const& inKey) {
  if (inKey.empty()) ThrowIllegalCacheKey();
  return JoinCacheKey(analyzerGuid, "(.*)", inKey.view());
}

Guid GetContentStateGuid(Target const& target) {
  if (target.index() == 1) return GetMediaStateGuid(std::get<1>(target));
  auto const& clip = std::get<0>(target);
  if (!clip) zelcore::config::DoThrowNullPtrException(BE::IClip::InterfaceName().data());
  Guid state;
  clip->GetContentStateGuid(state);
  return state;
}

bool IsAnalyzerCacheIgnored() {
  return zelcore::debug::DebugDatabase::Instance().GetEntry(kIgnoreAnalyzerCacheEntry, "false") == "true";
}

}  // namespace Quillan
