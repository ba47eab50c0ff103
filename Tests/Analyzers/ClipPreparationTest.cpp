#include "Analyzers/ClipPreparation.h"

#include <gtest/gtest.h>

#include <vector>

#include "BE/ProjectFactory.h"
#include "BE/Result.h"
#include "zelcore/ZelException.h"

namespace Quillan::Analyzers {
namespace {

using zelcore::InterfaceRef;
using zelcore::utility::Guid;

constexpr std::int64_t kWholeMedia = -101606400000000000;

TEST(ClipPreparationTest, CopiesFirstClipOverWholeMediaWithEveryAudioChannel) {
  struct Case {
    Guid mediaType;
    std::vector<std::uint32_t> audioChannelCounts;
    int channelType;  // of the prepared audio clip
    std::vector<BE::ClipChannel> assignments;
  };
  Case const cases[] = {
      {BE::kMediaType_Audio, {2, 1, 2}, BE::kAudioChannelTypeMultichannel, {{0, 0}, {0, 1}, {1, 0}, {2, 0}, {2, 1}}},
      {BE::kMediaType_Audio, {2}, BE::kAudioChannelTypeStereo, {}},
      // Video never reaches the audio steps, which would throw for a clip without audio.
      {BE::kMediaType_Video, {2, 2}, 0, {}},
  };
  auto const media = BE::ProjectFactory::CreateMedia(u"/absent/interview.mov");
  for (Case const& c : cases) {
    auto const master =
        BE::ProjectFactory::CreateMasterClip({.media = media, .audioChannelCounts = c.audioChannelCounts});
    auto const source = master->GetClip(c.mediaType, 0);
    InterfaceRef<BE::IExecutor>::Query(source)->ExecuteAction(source->CreateInPointAction(1000), true, {}, false);

    auto const clip = CreateClipToAnalyzeMedia({}, master, c.mediaType);
    ASSERT_TRUE(clip);
    EXPECT_NE(clip.Identity(), source.Identity());
    EXPECT_EQ(source->GetInPoint(), 1000);
    EXPECT_FALSE(clip->GetInPoint() || clip->GetOutPoint());
    std::vector<BE::ClipAction> const history = clip->GetEditHistory();
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[1], (BE::ClipAction{BE::ClipAction::Kind::kSetInPoint, kWholeMedia}));
    EXPECT_EQ(history[2], (BE::ClipAction{BE::ClipAction::Kind::kSetOutPoint, kWholeMedia}));
    if (auto const audio = InterfaceRef<BE::IAudioClip>::Query(clip)) {
      EXPECT_EQ(audio->GetAudioChannelType(), c.channelType);
      EXPECT_EQ(audio->GetSecondaryContentAssignments(), c.assignments);
    } else {
      EXPECT_EQ(c.mediaType, BE::kMediaType_Video);
    }
  }

  auto const audioOnly = BE::ProjectFactory::CreateMasterClip({.media = media, .videoClipCount = 0});
  EXPECT_FALSE(CreateClipToAnalyzeMedia({}, audioOnly, BE::kMediaType_Video));
  EXPECT_FALSE(CreateClipToAnalyzeMedia({}, {}, BE::kMediaType_Audio));
  try {
    CreateClipToAnalyzeMedia(BE::UpgradeValidator::ReadOnly(), audioOnly, BE::kMediaType_Audio);
    ADD_FAILURE() << "a read-only validator made a clip";
  } catch (zelcore::config::zel_exception const& e) {
    EXPECT_EQ(e.GetResult(), BE::kResultNotPermitted);
  }
}

}  // namespace
}  // namespace Quillan::Analyzers
