#include <gtest/gtest.h>

#include <thread>

#include "BE/AudioClipUtils.h"
#include "BE/Backend.h"
#include "BE/Clip.h"
#include "BE/MasterClip.h"
#include "BE/ProjectFactory.h"
#include "BE/Result.h"
#include "Support/TempDirectory.h"
#include "zelcore/ZelException.h"

namespace BE {
namespace {

using testsupport::TempDirectory;
using testsupport::WriteFile;
using zelcore::config::zel_exception;

zelcore::config::Result ResultOf(auto&& call) {
  try {
    call();
  } catch (zel_exception const& e) {
    return e.GetResult();
  }
  return zelcore::config::kResultOk;
}

class ClipTest : public ::testing::Test {
 protected:
  ClipTest() {
    WriteFile(dir_ / "interview.mov", "interview content");
    media_ = ProjectFactory::CreateMedia((dir_ / "interview.mov").u16string());
  }

  InterfaceRef<IMasterClip> MakeMasterClip(std::vector<std::uint32_t> audioChannelCounts, bool xref = false) {
    return ProjectFactory::CreateMasterClip(
        {.media = media_, .videoClipCount = 1, .audioChannelCounts = std::move(audioChannelCounts), .xref = xref});
  }

  static void Execute(InterfaceRef<IClip> const& clip, ClipAction const& action, bool record = true,
                      UpgradeValidator const& validator = {}, bool validateOnly = false) {
    InterfaceRef<IExecutor>::Query(clip)->ExecuteAction(action, record, validator, validateOnly);
  }

  static Guid StateOf(InterfaceRef<IClip> const& clip) {
    Guid state;
    EXPECT_EQ(clip->GetContentStateGuid(state), kMetadataStatusOk);
    return state;
  }

  TempDirectory dir_;
  InterfaceRef<IMedia> media_;
};

TEST_F(ClipTest, CopyIsIndependentAndActionsApplyInOrder) {
  auto const clip = MakeMasterClip({2})->GetClip(kMediaType_Video, 0);
  Execute(clip, clip->CreateInPointAction(100));
  Execute(clip, clip->CreateOutPointAction(500));
  auto const copy = clip->Copy();
  EXPECT_NE(copy, clip);
  EXPECT_EQ(copy->GetMasterClip(), clip->GetMasterClip());
  EXPECT_EQ(copy->GetInPoint(), 100);

  // Out-point before the in-point is refused whole; then the valid order goes through.
  EXPECT_EQ(ResultOf([&] { Execute(copy, copy->CreateOutPointAction(50)); }), kResultInvalidArgument);
  Execute(copy, copy->CreateInPointAction(-101606400000000000));
  Execute(copy, copy->CreateOutPointAction(50));
  EXPECT_EQ(copy->GetInPoint(), std::nullopt);
  EXPECT_EQ(copy->GetOutPoint(), 50);
  EXPECT_EQ(copy->GetEditHistory(), (std::vector<ClipAction>{{ClipAction::Kind::kSetInPoint, 100},
                                                             {ClipAction::Kind::kSetOutPoint, 500},
                                                             {ClipAction::Kind::kSetInPoint, -101606400000000000},
                                                             {ClipAction::Kind::kSetOutPoint, 50}}));
  EXPECT_EQ(clip->GetInPoint(), 100);
  EXPECT_EQ(clip->GetOutPoint(), 500);
  EXPECT_EQ(clip->GetEditHistory().size(), 2u);

  // A dry run and a read-only validator change nothing; an unrecorded action leaves no history.
  Execute(clip, clip->CreateInPointAction(200), true, {}, true);
  EXPECT_EQ(ResultOf([&] { Execute(clip, clip->CreateInPointAction(200), true, UpgradeValidator::ReadOnly()); }),
            kResultNotPermitted);
  EXPECT_EQ(clip->GetInPoint(), 100);
  Execute(clip, clip->CreateInPointAction(200), false);
  EXPECT_EQ(clip->GetInPoint(), 200);
  EXPECT_EQ(clip->GetEditHistory().size(), 2u);

  // Changing the project while holding its read lock would deadlock; it is refused instead.
  ReadLock readLock(GetBackendReadLock());
  EXPECT_EQ(ResultOf([&] { Execute(clip, clip->CreateInPointAction(1)); }), kResultLockOrder);
  EXPECT_EQ(clip->GetInPoint(), 200);
}

TEST_F(ClipTest, ContentStateReflectsMediaAndEdits) {
  auto const master = MakeMasterClip({2});
  auto const video = master->GetClip(kMediaType_Video, 0);
  auto const audio = master->GetClip(kMediaType_Audio, 0);
  auto const copy = video->Copy();
  Guid const unedited = StateOf(video);
  EXPECT_EQ(StateOf(copy), unedited);
  EXPECT_NE(StateOf(audio), unedited);

  Execute(copy, copy->CreateOutPointAction(1000));
  EXPECT_NE(StateOf(copy), unedited);
  Execute(copy, copy->CreateOutPointAction(-1));
  EXPECT_EQ(StateOf(copy), unedited);  // the state follows the edits in force, not their history

  Guid const stereo = StateOf(audio);
  InterfaceRef<IAudioClip>::Query(audio)->SetAudioChannelType(kAudioChannelTypeMono);
  EXPECT_NE(StateOf(audio), stereo);

  std::filesystem::remove(dir_ / "interview.mov");
  Guid state;
  EXPECT_EQ(video->GetContentStateGuid(state), kMetadataStatusMediaUnavailable);
  EXPECT_TRUE(state.IsNull());
}

TEST_F(ClipTest, MasterAndChildClipsKeepTheirClips) {
  auto const master = MakeMasterClip({2, 6});
  EXPECT_EQ(master->GetClipCount(kMediaType_Video), 1u);
  EXPECT_EQ(master->GetClipCount(kMediaType_Audio), 2u);
  EXPECT_EQ(master->GetMedia(), media_);
  EXPECT_FALSE(master->GetClip(kMediaType_Audio, 2));
  EXPECT_FALSE(master->GetClip(Guid::CreateUnique(), 0));

  auto clip = master->GetClip(kMediaType_Audio, 1);
  EXPECT_EQ(master->GetClip(kMediaType_Audio, 1), clip);
  EXPECT_EQ(InterfaceRef<IAudioClip>::Query(clip)->GetChannelCount(), 6u);
  EXPECT_FALSE(InterfaceRef<IAudioClip>::Query(master->GetClip(kMediaType_Video, 0)));
  EXPECT_EQ(InterfaceRef<IMasterClip>::Query(clip->GetMasterClip()), master);
  // The master clip keeps the edits of a clip that nobody holds.
  Execute(clip, clip->CreateInPointAction(7));
  clip.reset();
  EXPECT_EQ(master->GetClip(kMediaType_Audio, 1)->GetInPoint(), 7);

  auto const child = ProjectFactory::CreateChildClip(master);
  EXPECT_EQ(child->GetMasterClip(), master);
  EXPECT_EQ(child->GetClipCount(kMediaType_Audio), 2u);
  auto const childClip = child->GetClip(kMediaType_Audio, 1);
  EXPECT_EQ(childClip->GetInPoint(), std::nullopt);
  EXPECT_FALSE(InterfaceRef<IMasterClip>::Query(childClip->GetMasterClip()));
  EXPECT_EQ(InterfaceRef<IChildClip>::Query(childClip->GetMasterClip()), child);
  EXPECT_FALSE(ProjectFactory::CreateClip(media_, kMediaType_Video)->GetMasterClip());

  EXPECT_FALSE(MasterClipUtils::IsXRefClip({}, master));
  EXPECT_TRUE(MasterClipUtils::IsXRefClip({}, MakeMasterClip({}, true)));
  EXPECT_FALSE(MasterClipUtils::IsXRefClip({}, nullptr));
  EXPECT_EQ(ResultOf([&] { MakeMasterClip({2, 0}); }), kResultInvalidArgument);
}

// An audio clip that this project model did not make.
struct ForeignAudioClip : IAudioClip, zelcore::classref::ClassStatics<ForeignAudioClip> {
  ZEL_INTERFACE_NAME("Test::ForeignAudioClip")
  void* QueryMap(std::string_view name) override {
    return zelcore::classref::QueryMapOf<ForeignAudioClip, IAudioClip>(this, name);
  }
  std::uint32_t GetChannelCount() const override { return 2; }
  void SetAudioChannelType(int) override {}
  int GetAudioChannelType() const override { return kAudioChannelTypeMultichannel; }
  std::vector<ClipChannel> GetSecondaryContentAssignments() const override { return {}; }
};

TEST_F(ClipTest, ChannelAssignmentsAreValidatedAgainstTheMasterClip) {
  auto const master = MakeMasterClip({2, 1, 2});
  auto const target = InterfaceRef<IAudioClip>::Query(master->GetClip(kMediaType_Audio, 0)->Copy());
  std::vector<ClipChannel> const all{{0, 0}, {0, 1}, {1, 0}, {2, 0}, {2, 1}};

  EXPECT_EQ(target->GetAudioChannelType(), kAudioChannelTypeStereo);
  EXPECT_EQ(ResultOf([&] { AudioClipUtils::SetSecondaryContentAssignments(target, master, all); }),
            kResultInvalidArgument);
  target->SetAudioChannelType(kAudioChannelTypeMultichannel);
  AudioClipUtils::SetSecondaryContentAssignments(target, master, all);
  EXPECT_EQ(target->GetSecondaryContentAssignments(), all);
  EXPECT_EQ(target->GetChannelCount(), 5u);

  struct Case {
    char const* name;
    std::vector<ClipChannel> channels;
  } const bad[] = {
      {"clip index past the end", {{0, 0}, {3, 0}}},     {"negative clip index", {{-1, 0}}},
      {"channel past the end of a mono clip", {{1, 1}}}, {"negative channel", {{0, -1}}},
      {"channel twice", {{2, 1}, {0, 0}, {2, 1}}},
  };
  for (auto const& c : bad) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ResultOf([&] { AudioClipUtils::SetSecondaryContentAssignments(target, master, c.channels); }),
              kResultInvalidArgument);
    EXPECT_EQ(target->GetSecondaryContentAssignments(), all);
  }
  EXPECT_EQ(ResultOf([&] { target->SetAudioChannelType(4); }), kResultInvalidArgument);
  EXPECT_EQ(ResultOf([&] { AudioClipUtils::SetSecondaryContentAssignments(nullptr, master, all); }),
            zelcore::config::kResultNullPointer);
  EXPECT_EQ(ResultOf([&] {
              AudioClipUtils::SetSecondaryContentAssignments(ForeignAudioClip::CreateClassRef(), master, all);
            }),
            kResultForeignObject);

  // The master clip's own clip is untouched; leaving multichannel drops the assignments.
  EXPECT_TRUE(
      InterfaceRef<IAudioClip>::Query(master->GetClip(kMediaType_Audio, 0))->GetSecondaryContentAssignments().empty());
  target->SetAudioChannelType(kAudioChannelTypeStereo);
  EXPECT_TRUE(target->GetSecondaryContentAssignments().empty());
  EXPECT_EQ(target->GetChannelCount(), 2u);
}

TEST_F(ClipTest, ClipsMayBeReadAndEditedFromManyThreads) {
  auto const master = MakeMasterClip({2, 2});
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 1; i <= 50; ++i) {
        auto const clip = master->GetClip(kMediaType_Audio, static_cast<std::uint32_t>(t));
        Execute(clip, clip->CreateOutPointAction(-1));
        Execute(clip, clip->CreateInPointAction(i));
        InterfaceRef<IAudioClip>::Query(clip)->SetAudioChannelType(i % 2 ? kAudioChannelTypeMono
                                                                         : kAudioChannelTypeStereo);
      }
    });
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        ReadLock readLock(GetBackendReadLock());
        for (std::uint32_t index = 0; index < 2; ++index) {
          auto const clip = master->GetClip(kMediaType_Audio, index);
          Guid state;
          EXPECT_EQ(clip->GetContentStateGuid(state), kMetadataStatusOk);
          EXPECT_EQ(GetClipMedia(clip, ProxyHandling::kCurrent), media_);
          EXPECT_LE(InterfaceRef<IAudioClip>::Query(clip)->GetChannelCount(), 2u);
          clip->Copy()->GetEditHistory();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(master->GetClip(kMediaType_Audio, 1)->GetInPoint(), 50);
  EXPECT_EQ(master->GetClip(kMediaType_Audio, 0)->GetEditHistory().size(), 100u);
}

}  // namespace
}  // namespace BE
