#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "BE/Backend.h"
#include "BE/Clip.h"
#include "BE/Media.h"
#include "BE/Preferences.h"
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

// Writes `bytes` at `offset` and gives the file back its modification time, as a tool that keeps times would.
void PatchKeepingTime(fs::path const& path, std::uintmax_t offset, std::string_view bytes) {
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  struct timespec const times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
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

  // A file untouched for a while is cached; a later change must still be seen.
  AgeFile(original, std::chrono::hours(5));
  EXPECT_EQ(StateOf(media), state);
  PatchKeepingTime(original, 10, "\x01\x02");
  AgeFile(original, std::chrono::hours(4));
  EXPECT_NE(StateOf(media), state);
}

// Points the analyzer cache folder (where digests persist) at a folder of the test's own for a scope.
class DigestFolder {
 public:
  explicit DigestFolder(fs::path const& folder) {
    GetBackend()->GetPreferences()->SetAnalyzerCacheDirectory(folder.wstring());
    ForgetContentIdentitiesForTesting();
  }
  ~DigestFolder() {
    GetBackend()->GetPreferences()->SetAnalyzerCacheDirectory(L"");
    ForgetContentIdentitiesForTesting();
  }
};

// Lets a just-written file's timestamps age past the file system's granularity, so its digest may be remembered.
void LetSettle() { std::this_thread::sleep_for(std::chrono::milliseconds(250)); }

TEST(MediaTest, EverySameSizeEditChangesTheStateEvenWithItsTimeKept) {
  TempDirectory dir;
  std::size_t const size = 1'000'000;
  auto const path = dir / "take.wav";
  WriteFile(path, RandomBytes(size, 2));
  auto const media = MediaFor(path);
  Guid const base = StateOf(media);

  std::vector<Guid> seen{base};
  for (std::uintmax_t const offset :
       {std::uintmax_t{0}, std::uintmax_t{100'000}, std::uintmax_t{size / 2 + 7}, std::uintmax_t{size - 4}}) {
    SCOPED_TRACE(offset);
    std::string const original = testsupport::ReadFile(path).substr(offset, 4);
    PatchKeepingTime(path, offset, "\x01\x02\x03\x04");
    Guid const changed = StateOf(media);
    for (Guid const& other : seen) EXPECT_NE(changed, other);
    seen.push_back(changed);
    // Asked again through another media object of the same file, as a second run would.
    EXPECT_EQ(StateOf(MediaFor(path)), changed);
    PatchKeepingTime(path, offset, original);
    EXPECT_EQ(StateOf(media), base);
  }
  std::ofstream(path, std::ios::binary | std::ios::app).put('x');
  EXPECT_NE(StateOf(media), base);

  // A file large enough to be read on a second thread while it is hashed; sparse, so it costs no space.
  auto const large = dir / "large.mov";
  std::ofstream(large, std::ios::binary).put('\0');
  fs::resize_file(large, (48 << 20) + 5);
  auto const largeMedia = MediaFor(large);
  Guid const largeBase = StateOf(largeMedia);
  for (std::uintmax_t const offset : {std::uintmax_t{3}, std::uintmax_t{40 << 20}, std::uintmax_t{(48 << 20) + 4}}) {
    SCOPED_TRACE(offset);
    PatchKeepingTime(large, offset, "\x09");
    EXPECT_NE(StateOf(largeMedia), largeBase);
    PatchKeepingTime(large, offset, std::string_view("\0", 1));
    EXPECT_EQ(StateOf(largeMedia), largeBase);
  }
}

TEST(MediaTest, FilesOverOneGibibyteAreSampledByWindowsSizeAndTime) {
  TempDirectory dir;
  auto const path = dir / "long.mov";
  std::uint64_t const size = (std::uint64_t{1} << 30) + 5 * 65536 + 123;
  {
    std::ofstream(path, std::ios::binary).put('\0');
    fs::resize_file(path, size);  // sparse: reads as zeros without taking the space
  }
  auto const media = MediaFor(path);
  Guid const base = StateOf(media);
  // The window spacing: 255 gaps over the offsets at which a 64 KiB window still fits.
  std::uint64_t const lastWindow = size - 65536;
  struct Case {
    char const* name;
    std::uint64_t offset;
    bool seen;
  } const cases[] = {
      {"first window", 10, true},
      {"a middle window", lastWindow / 255 * 128 + lastWindow % 255 * 128 / 255 + 100, true},
      {"last byte", size - 1, true},
      {"between two windows", lastWindow / 255 * 3 + 65536 + 1000, false},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    PatchKeepingTime(path, c.offset, "\x7f");
    EXPECT_EQ(StateOf(media) != base, c.seen);
    PatchKeepingTime(path, c.offset, std::string_view("\0", 1));
    EXPECT_EQ(StateOf(media), base);
  }
  // Any change that moves the modification time is seen, wherever it lies.
  AgeFile(path, std::chrono::hours(1));
  EXPECT_NE(StateOf(media), base);
}

TEST(MediaTest, EachFileVersionIsHashedOncePerMachine) {
  TempDirectory dir;
  DigestFolder const folder(dir / "cache");
  auto const path = dir / "take.wav";
  WriteFile(path, RandomBytes(300'000, 3));
  fs::copy_file(path, dir / "copy.wav");
  LetSettle();

  std::uint64_t const start = GetContentHashCountForTesting();
  Guid const state = StateOf(MediaFor(path));
  EXPECT_EQ(StateOf(MediaFor(dir / "copy.wav")), state);  // a copy is another file with the same content
  EXPECT_EQ(GetContentHashCountForTesting(), start + 2);
  EXPECT_EQ(StateOf(MediaFor(path)), state);
  // A new process finds the digests in the cache folder.
  ForgetContentIdentitiesForTesting();
  EXPECT_EQ(StateOf(MediaFor(path)), state);
  EXPECT_EQ(StateOf(MediaFor(dir / "copy.wav")), state);
  EXPECT_EQ(GetContentHashCountForTesting(), start + 2);

  // A rewrite is a new version, hashed again.
  WriteFile(path, RandomBytes(300'000, 4));
  Guid const rewritten = StateOf(MediaFor(path));
  EXPECT_NE(rewritten, state);
  EXPECT_EQ(GetContentHashCountForTesting(), start + 3);

  // A database that is not one is left alone and costs only the hashing.
  ForgetContentIdentitiesForTesting();
  WriteFile(dir / "cache" / "ContentIdentities.db", std::string(5000, 'x'));
  EXPECT_EQ(StateOf(MediaFor(dir / "copy.wav")), state);
  EXPECT_EQ(testsupport::ReadFile(dir / "cache" / "ContentIdentities.db"), std::string(5000, 'x'));
  // So does a cache folder that cannot be made: a file stands in its place.
  DigestFolder const blocked(dir / "copy.wav" / "cache");
  EXPECT_EQ(StateOf(MediaFor(path)), rewritten);
}

// Threads that ask for the states of many files at once get one state for each file, and each version is hashed once
// however the threads meet, through paths or descriptors.
TEST(MediaTest, ManyThreadsAgreeOnEachStateAndHashEachFileOnce) {
  TempDirectory dir;
  DigestFolder const folder(dir / "cache");
  constexpr int kFiles = 120;
  constexpr int kThreads = 8;
  constexpr int kContents = 60;  // files i and i + kContents hold the same bytes
  std::vector<fs::path> paths;
  for (int i = 0; i < kFiles; ++i) {
    paths.push_back(dir / ("take" + std::to_string(i) + ".wav"));
    WriteFile(paths.back(), RandomBytes(i % 10 == 0 ? 2'000'000 : 40'000, 100 + i % kContents));
  }
  LetSettle();

  auto const stateThroughDescriptor = [](fs::path const& path) {
    Guid state;
    int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(GetContentStateOfOpenFile(fd, state), kMetadataStatusOk);
    ::close(fd);
    return state;
  };
  std::uint64_t const start = GetContentHashCountForTesting();
  std::vector<std::vector<Guid>> states(kThreads, std::vector<Guid>(kFiles));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    // Every thread walks the files in one order, so that they meet at each file.
    threads.emplace_back([&, t] {
      for (int i = 0; i < kFiles; ++i) {
        states[t][i] = t % 2 == 0 ? StateOf(MediaFor(paths[i])) : stateThroughDescriptor(paths[i]);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(GetContentHashCountForTesting(), start + kFiles);
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(states[t], states[0]) << "thread " << t;
  for (int i = 0; i < kContents; ++i) {
    EXPECT_EQ(states[0][i], states[0][i + kContents]) << i;
    EXPECT_NE(states[0][i], states[0][(i + 1) % kContents]) << i;
  }

  // Every digest reached the database: a new process hashes nothing.
  ForgetContentIdentitiesForTesting();
  for (int i = 0; i < kFiles; ++i) EXPECT_EQ(StateOf(MediaFor(paths[i])), states[0][i]) << i;
  EXPECT_EQ(GetContentHashCountForTesting(), start + kFiles);
}

// An open descriptor keeps the state of the version it reads, whatever its path names later; a descriptor that is
// not a readable regular file has none.
TEST(MediaTest, OpenFileKeepsTheStateOfTheVersionItReads) {
  TempDirectory dir;
  DigestFolder const folder(dir / "cache");
  auto const path = dir / "take.wav";
  WriteFile(path, RandomBytes(300'000, 5));
  WriteFile(dir / "other.wav", RandomBytes(300'000, 6));
  LetSettle();
  Guid const first = StateOf(MediaFor(path));

  int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::lseek(fd, 1234, SEEK_SET), 1234);
  // Known from the path's hashing: no second hash.
  std::uint64_t const known = GetContentHashCountForTesting();
  Guid state;
  ASSERT_EQ(GetContentStateOfOpenFile(fd, state), kMetadataStatusOk);
  EXPECT_EQ(state, first);
  EXPECT_EQ(GetContentHashCountForTesting(), known);
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 1234);

  fs::rename(dir / "other.wav", path);
  Guid const second = StateOf(MediaFor(path));
  EXPECT_NE(second, first);
  // Remembered nowhere, as on another machine: the descriptor's version is hashed and still is the first content.
  DigestFolder const elsewhere(dir / "other cache");
  state = Guid();
  ASSERT_EQ(GetContentStateOfOpenFile(fd, state), kMetadataStatusOk);
  EXPECT_EQ(state, first);
  EXPECT_EQ(GetContentHashCountForTesting(), known + 2);

  // Written through the descriptor's file in place: the descriptor now reads another version.
  int const writer = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  int const reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::pwrite(writer, "\x01", 1, 10), 1);
  ASSERT_EQ(GetContentStateOfOpenFile(reader, state), kMetadataStatusOk);
  EXPECT_NE(state, second);
  EXPECT_EQ(StateOf(MediaFor(path)), state);

  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  int const directory = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct Case {
    char const* name;
    int fd;
  } const cases[] = {{"write-only", writer}, {"pipe", pipeEnds[0]}, {"directory", directory}, {"closed", 9999}};
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    Guid untouched = first;
    EXPECT_EQ(GetContentStateOfOpenFile(c.fd, untouched), kMetadataStatusMediaUnavailable);
    EXPECT_EQ(untouched, first);
  }
  for (int const open : {fd, writer, reader, pipeEnds[0], pipeEnds[1], directory}) ::close(open);
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
