#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "BE/Clip.h"
#include "BE/Media.h"
#include "BE/ProjectFactory.h"
#include "Support/TempDirectory.h"
#include "zelcore/TextConversions.h"

namespace Quillan {
namespace {

using zelcore::InterfaceRef;

Guid const kKeyedAnalyzer = *Guid::FromString("0a1b2c3d-4e5f-4061-8273-8495a6b7c8d9");
using testsupport::Text;

TEST(DataStoreAdaptorUtilsTest, CacheKeyJoinsGuidParameterAndKeyUnchanged) {
  std::string const guid = kKeyedAnalyzer.AsUTF8String();
  struct Case {
    char const* parameter;
    char const* key;
    std::string expected;
  };
  for (auto const& c :
       {Case{"", "k", guid + "____k"}, Case{"p", "k", guid + "__p__k"}, Case{"a__b", "c__d", guid + "__a__b__c__d"},
        Case{"\xc3\xa9", "(.*)", guid + "__\xc3\xa9__(.*)"}}) {
    EXPECT_EQ(GenerateCacheKey(kKeyedAnalyzer, Text(c.parameter), Text(c.key)).view(), c.expected);
  }
}

TEST(DataStoreAdaptorUtilsTest, EmptyKeyIsIllegalWithAssertionData) {
  for (auto const& call : {std::function<void()>([] { GenerateCacheKey(kKeyedAnalyzer, Text("p"), Text("")); }),
                           std::function<void()>([] { GenerateCacheKeyPattern(kKeyedAnalyzer, Text("")); })}) {
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (IllegalCacheKeyException const& e) {
      EXPECT_EQ(e.GetResult(), 0xA00F000Eu);
      EXPECT_STREQ(e.what(), "The cache key may not be null");
      EXPECT_EQ(*e.GetAdditionalData(zelcore::config::kDebugExpression), "inKey.empty()");
      EXPECT_EQ(*e.GetAdditionalData(zelcore::config::kDebugSourceFunction), "Quillan::GenerateCacheKey");
      EXPECT_EQ(*e.GetAdditionalData(zelcore::config::kDebugSourceLine), "167");
      EXPECT_NE(e.GetAdditionalData(zelcore::config::kDebugSourceFile), nullptr);
    }
  }
}

TEST(DataStoreAdaptorUtilsTest, PatternMatchesTheKeyUnderAnyParameterOnly) {
  std::regex const pattern(GenerateCacheKeyPattern(kKeyedAnalyzer, Text("peaks")));
  for (char const* parameter : {"", "256", "a__b"}) {
    EXPECT_TRUE(
        std::regex_match(GenerateCacheKey(kKeyedAnalyzer, Text(parameter), Text("peaks")).ToUTF8String(), pattern))
        << parameter;
  }
  EXPECT_FALSE(std::regex_match(GenerateCacheKey(kKeyedAnalyzer, Text(""), Text("peak")).ToUTF8String(), pattern));
  EXPECT_FALSE(
      std::regex_match(GenerateCacheKey(Guid::CreateUnique(), Text(""), Text("peaks")).ToUTF8String(), pattern));
}

// Media info whose metadata answers with a fixed status and GUID.
class FixedMetadata : public BE::IMediaMetaData, public zelcore::classref::ClassStatics<FixedMetadata> {
 public:
  ZEL_INTERFACE_NAME("Test::FixedMetadata")
  FixedMetadata(int status, Guid guid) : status_(status), guid_(guid) {}
  void* QueryMap(std::string_view name) override {
    return zelcore::classref::QueryMapOf<BE::IMediaMetaData>(this, name);
  }
  int GetContentAndMetadataStateGuid(std::string_view, Guid& state) const override {
    state = guid_;
    return status_;
  }

 private:
  int status_;
  Guid guid_;
};

TEST(DataStoreAdaptorUtilsTest, ContentStateOfMediaAndClips) {
  testsupport::TempDirectory directory;
  auto const file = directory / "take.wav";
  std::ofstream(file) << "some audio";
  auto const path = zelcore::text::UTF8ToUTF16(file.string());

  auto failure = [](Target const& target) -> std::pair<Result, std::string> {
    try {
      GetContentStateGuid(target);
    } catch (zelcore::config::zel_exception const& e) {
      return {e.GetResult(), e.what()};
    }
    return {0, ""};
  };
  BE::ProjectFactory::MediaOptions noInfo;
  noInfo.withMediaInfo = false;
  EXPECT_EQ(failure(BE::ProjectFactory::CreateMedia(path, noInfo)),
            std::make_pair(kResultNotCached, std::string("MediaInfo doesn't exist for the given media")));
  for (auto const& [status, guid] : {std::pair{0, Guid()}, std::pair{1, Guid::CreateUnique()}}) {
    BE::ProjectFactory::MediaOptions options;
    options.mediaInfo = FixedMetadata::CreateClassRef(status, guid);
    EXPECT_EQ(failure(BE::ProjectFactory::CreateMedia(path, options)),
              std::make_pair(kResultNotCached, std::string("Failed retrieving content and metadata state guid")));
  }
  EXPECT_EQ(failure(InterfaceRef<BE::IClip>()).first, zelcore::config::kResultNullPointer);

  auto const media = BE::ProjectFactory::CreateMedia(path);
  Guid const state = GetContentStateGuid(media);
  EXPECT_FALSE(state.IsNull());
  auto const clip = BE::ProjectFactory::CreateClip(media, BE::kMediaType_Audio);
  Guid clipState;
  clip->GetContentStateGuid(clipState);
  EXPECT_EQ(GetContentStateGuid(clip), clipState);
}

}  // namespace
}  // namespace Quillan
