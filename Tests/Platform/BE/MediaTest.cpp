#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "BE/Backend.h"
#include "BE/Clip.h"
#include "BE/Media.h"
#include "BE/ProjectFactory.h"
#include "BE/Result.h"
#include "Support/TempDirectory.h"
#include "zelcore/ZelException.h"

namespace BE {
namespace {

using testsupport::RandomBytes;
using testsupport::TempDirectory;
using testsupport::WriteFile;
namespace fs = std::filesystem;

InterfaceRef<IMedia> MediaFor(fs::path const& path, ProjectFactory::MediaOptions const& options = {}) {
  return ProjectFactory::CreateMedia(path.u16string(), options);
}

// The state of `media`, or the failing status as the test's failure.
Guid StateOf(InterfaceRef<IMedia> const& media) {
  auto const metadata = InterfaceRef<IMediaMetaData>::Query(media->GetMediaInfo());
  EXPECT_TRUE(metadata);
  Guid state;
  EXPECT_EQ(metadata->GetContentAndMetadataStateGuid("/", state), kMetadataStatusOk);
  EXPECT_FALSE(state.IsNull());
  return state;
}

void OverwriteByte(fs::path const& path, std::uintmax_t offset) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekg(static_cast<std::streamoff>(offset));
  char const old = static_cast<char>(file.get());
  file.seekp(static_cast<std::streamoff>(offset));
  file.put(static_cast<char>(old ^ 0x5a));
}

// Makes `path` look untouched for a while, so its state may be served from the cache.
void AgeFile(fs::path const& path, std::chrono::hours age) {
  fs::last_write_time(path, fs::file_time_type::clock::now() - age);
}

// Sets the project's proxy switch for a scope.
class ProxiesEnabled {
 public:
  explicit ProxiesEnabled(bool enabled) : previous_(GetBackend()->AreProxiesEnabled()) {
    GetBackend()->SetProxiesEnabled(enabled);
  }
  ~ProxiesEnabled() { GetBackend()->SetProxiesEnabled(previous_); }

 private:
  bool previous_;
};

TEST(MediaTest, StateFollowsContentNotLocation) {
  TempDirectory dir;
  auto const original = dir / "take1.wav";
  WriteFile(original, RandomBytes(100'000, 1));
  auto const media = MediaFor(original);
  Guid const state = StateOf(media);

  fs::copy_file(original, dir / "copy.wav");
  EXPECT_EQ(StateOf(MediaFor(dir / "copy.wav")), state);
  fs::create_directories(dir / "elsewhere");
  fs::rename(dir / "copy.wav", dir / "elsewhere" / "renamed.wav");
  EXPECT_EQ(StateOf(MediaFor(dir / "elsewhere" / "renamed.wav")), state);

  // Same size, one byte different, asked through the same media object (and so its cache).
  OverwriteByte(original, 4242);
  Guid const changed = StateOf(media);
  EXPECT_NE(changed, state);
  OverwriteByte(original, 4242);
  EXPECT_EQ(StateOf(media), state);

  // A file untouched for a while is cached; a later change must still be seen.
  AgeFile(original, std::chrono::hours(5));
  EXPECT_EQ(StateOf(media), state);
  OverwriteByte(original, 10);
  AgeFile(original, std::chrono::hours(4));
  EXPECT_NE(StateOf(media), state);
}

TEST(MediaTest, SampledFingerprintSeesChangesAcrossLargeFile) {
  TempDirectory dir;
  std::size_t const size = 1024 * 1024 + 3;
  auto const bytes = RandomBytes(size, 2);
  auto const path = dir / "large.mov";
  WriteFile(path, bytes);
  auto const media = MediaFor(path);
  Guid const base = StateOf(media);

  struct Case {
    char const* name;
    std::uintmax_t offset;
  } const cases[] = {{"start", 0}, {"middle", size / 2}, {"end", size - 1}};
  std::vector<Guid> seen{base};
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    OverwriteByte(path, c.offset);
    Guid const changed = StateOf(media);
    for (auto const& other : seen) EXPECT_NE(changed, other);
    seen.push_back(changed);
    OverwriteByte(path, c.offset);
    EXPECT_EQ(StateOf(media), base);
  }
  std::ofstream(path, std::ios::binary | std::ios::app).put('x');
  EXPECT_NE(StateOf(media), base);
}

TEST(MediaTest, UnavailableFilesAndMissingMediaInfo) {
  TempDirectory dir;
  struct Case {
    char const* name;
    fs::path path;
    std::string_view metadataPath;
    int status;
  } const cases[] = {
      {"missing file", dir / "missing.wav", "/", kMetadataStatusMediaUnavailable},
      {"a folder", dir.path(), "/", kMetadataStatusMediaUnavailable},
      {"unknown metadata path", dir / "present.wav", "/streams/7", kMetadataStatusUnknownPath},
  };
  WriteFile(dir / "present.wav", "abc");
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    auto const metadata = InterfaceRef<IMediaMetaData>::Query(MediaFor(c.path)->GetMediaInfo());
    ASSERT_TRUE(metadata);
    Guid state;
    EXPECT_EQ(metadata->GetContentAndMetadataStateGuid(c.metadataPath, state), c.status);
    EXPECT_TRUE(state.IsNull());
  }

  auto const bare = MediaFor(dir / "present.wav", {.withMediaInfo = false});
  EXPECT_FALSE(bare->GetMediaInfo());
  // A media-info object of the caller's own that lacks metadata.
  auto const opaque = MediaFor(dir / "present.wav", {.mediaInfo = MediaFor(dir / "other.wav")});
  EXPECT_TRUE(opaque->GetMediaInfo());
  EXPECT_FALSE(InterfaceRef<IMediaMetaData>::Query(opaque->GetMediaInfo()));
  // The clip of a media without media info still has a content state.
  Guid clipState;
  EXPECT_EQ(ProjectFactory::CreateClip(bare, kMediaType_Audio)->GetContentStateGuid(clipState), kMetadataStatusOk);

  EXPECT_THROW(ProjectFactory::CreateMedia(u""), zelcore::config::zel_exception);
}

TEST(MediaTest, ProxyHandlingAndOnlineState) {
  TempDirectory dir;
  WriteFile(dir / "original.mov", "original");
  WriteFile(dir / "proxy.mov", "proxy");
  auto const proxy = MediaFor(dir / "proxy.mov");
  auto const clip = ProjectFactory::CreateClip(MediaFor(dir / "original.mov", {.proxy = proxy}), kMediaType_Video);
  auto const original = clip->GetMedia();
  auto const noProxy = ProjectFactory::CreateClip(MediaFor(dir / "original.mov"), kMediaType_Video);

  struct Case {
    bool proxiesEnabled;
    ProxyHandling handling;
    bool expectProxy;  // for the clip that has one; the other always gets its original
  } const cases[] = {
      {false, ProxyHandling::kOriginal, false}, {false, ProxyHandling::kProxy, true},
      {false, ProxyHandling::kCurrent, false},  {true, ProxyHandling::kOriginal, false},
      {true, ProxyHandling::kProxy, true},      {true, ProxyHandling::kCurrent, true},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(::testing::Message() << "enabled " << c.proxiesEnabled << " handling " << int(c.handling));
    ProxiesEnabled enabled(c.proxiesEnabled);
    EXPECT_EQ(GetClipMedia(clip, c.handling), c.expectProxy ? proxy : original);
    EXPECT_EQ(GetClipMedia(noProxy, c.handling), noProxy->GetMedia());
  }
  EXPECT_FALSE(GetClipMedia(nullptr, ProxyHandling::kCurrent));
  EXPECT_THROW(GetClipMedia(clip, static_cast<ProxyHandling>(3)), zelcore::config::zel_exception);
  EXPECT_THROW(original->SetProxyMedia(original), zelcore::config::zel_exception);

  EXPECT_TRUE(IsMediaOnline(clip, false));
  fs::remove(dir / "original.mov");
  EXPECT_FALSE(IsMediaOnline(clip, false));
  EXPECT_FALSE(IsMediaOnline(clip, true));  // proxies off: the original counts
  {
    ProxiesEnabled enabled(true);
    EXPECT_TRUE(IsMediaOnline(clip, true));  // played from its proxy
    fs::remove(dir / "proxy.mov");
    EXPECT_FALSE(IsMediaOnline(clip, true));
  }
  EXPECT_FALSE(IsMediaOnline(nullptr, true));
  original->SetProxyMedia(nullptr);
  EXPECT_EQ(GetClipMedia(clip, ProxyHandling::kProxy), original);
}

}  // namespace
}  // namespace BE
