#include "DataStoreAdaptors/SidecarDataStoreAdaptor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <set>
#include <thread>

#include "BE/Clip.h"
#include "BE/Media.h"
#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"
#include "DataStoreAdaptors/SidecarFile.h"
#include "SideCar_generated.h"
#include "Support/BlobTestUtils.h"
#include "Support/FutureTestUtils.h"
#include "Support/TempDirectory.h"
#include "zelcore/DebugDatabase.h"
#include "zelcore/FileUtils.h"
#include "zelcore/TextConversions.h"

namespace Quillan {
namespace {

using testsupport::Await;
using testsupport::AwaitFailure;
using testsupport::BlobText;
using testsupport::MakeBlob;
using testsupport::MessageOf;
using testsupport::ReadFile;
using testsupport::ResultOf;
using testsupport::Text;
using testsupport::WriteFile;
using zelcore::Blob;
using zelcore::InterfaceRef;
namespace fs = std::filesystem;

Guid const kSidecarAnalyzer = *Guid::FromString("5eadbeef-0000-4000-8000-00000000abcd");

InterfaceRef<BE::IMedia> MediaFor(fs::path const& path) {
  return BE::ProjectFactory::CreateMedia(zelcore::text::UTF8ToUTF16(path.string()));
}

class SidecarDataStoreAdaptorTest : public testing::Test {
 protected:
  void TearDown() override { zelcore::debug::DebugDatabase::Instance().RemoveEntry(kIgnoreAnalyzerCacheEntry); }

  InterfaceRef<IDataStoreAdaptor> exact_ =
      SidecarDataStoreAdaptor::CreateWithDefaultExtension(SidecarDataStoreAdaptor::kExactParameterHash);
  testsupport::TempDirectory directory_;
  // take.wav, whose sidecar is take.qvmi.
  InterfaceRef<BE::IMedia> const media_ = [this] {
    WriteFile(directory_ / "take.wav", "audio");
    return MediaFor(directory_ / "take.wav");
  }();
};

TEST_F(SidecarDataStoreAdaptorTest, SidecarPathReplacesTheMediaExtension) {
  struct Case {
    char const* media;
    char const* extension;
    char const* sidecar;
  };
  for (auto const& c : {Case{"shot.mov", ".qvmi", "shot.qvmi"}, Case{"shot", ".qvmi", "shot.qvmi"},
                        Case{"shot.mov", "qvmi", "shot.qvmi"}, Case{"shot.mov", "", "shot"},
                        Case{"a.b.mov", ".qvmi", "a.b.qvmi"}, Case{".hidden", ".qvmi", ".hidden.qvmi"}}) {
    WriteFile(directory_ / c.media, "content");
    auto const location = ResolveSidecarLocation(MediaFor(directory_ / c.media), c.extension);
    ASSERT_TRUE(location) << c.media;
    EXPECT_EQ(location->sidecarPath, directory_ / c.sidecar) << c.media << " + " << c.extension;
    EXPECT_EQ(*Guid::FromString(location->dataSourceId), GetContentStateGuid(MediaFor(directory_ / c.media)));
  }
  auto const clip = BE::ProjectFactory::CreateClip(MediaFor(directory_ / "shot.mov"), BE::kMediaType_Video);
  EXPECT_FALSE(ResolveSidecarLocation(clip, ".qvmi"));
  auto const failure = AwaitFailure(exact_->LoadDataWithKey(clip, kSidecarAnalyzer, Text(""), Text("k")));
  EXPECT_EQ(ResultOf(failure), kResultNotCached);
  EXPECT_EQ(MessageOf(failure), "");
  EXPECT_TRUE(exact_->IsDataNotFoundInCache(failure));
}

TEST_F(SidecarDataStoreAdaptorTest, SavesAndLoadsBesideTheMedia) {
  WriteFile(directory_ / "shot.mov", "movie content");
  auto const media = MediaFor(directory_ / "shot.mov");

  auto const missing = AwaitFailure(exact_->LoadDataWithKey(media, kSidecarAnalyzer, Text("p"), Text("k")));
  EXPECT_EQ(ResultOf(missing), kResultSidecarFileNotFound);
  EXPECT_EQ(MessageOf(missing), "Sidecar file not found");
  EXPECT_TRUE(exact_->IsDataNotFoundInCache(missing));

  Await(exact_->SaveDataWithKey(media, kSidecarAnalyzer, Text("p"), Text("k"), MakeBlob("one")));
  Await(exact_->SaveDataWithKey(media, kSidecarAnalyzer, Text("p"), Text("k"), MakeBlob("two")));
  EXPECT_EQ(BlobText(Await(exact_->LoadDataWithKey(media, kSidecarAnalyzer, Text("p"), Text("k")))), "two");

  auto const decoded = SidecarDataStoreAdaptorSerialization::DeserializeDataStoreFromBinary(
      zelcore::FileUtils::SimpleReadFileIntoBuffer(zelcore::text::UTF8ToUTF16((directory_ / "shot.qvmi").string())));
  ASSERT_EQ(decoded->items.size(), 1u);
  EXPECT_EQ(decoded->items.begin()->second.values.size(), 1u);

  // Another media beside it shares the file and keeps its own item.
  WriteFile(directory_ / "shot.mp4", "other content");
  auto const other = MediaFor(directory_ / "shot.mp4");
  Await(exact_->SaveDataWithKey(other, kSidecarAnalyzer, Text("p"), Text("k"), MakeBlob("mp4")));
  EXPECT_EQ(BlobText(Await(exact_->LoadDataWithKey(media, kSidecarAnalyzer, Text("p"), Text("k")))), "two");
  EXPECT_EQ(BlobText(Await(exact_->LoadDataWithKey(other, kSidecarAnalyzer, Text("p"), Text("k")))), "mp4");

  // Changed content is a new data source: the old results are not found for it.
  WriteFile(directory_ / "shot.mov", "edited movie content");
  auto const changed =
      AwaitFailure(exact_->LoadDataWithKey(MediaFor(directory_ / "shot.mov"), kSidecarAnalyzer, Text("p"), Text("k")));
  EXPECT_EQ(MessageOf(changed), "Analyzer Item not found in cache");
  EXPECT_TRUE(exact_->IsDataNotFoundInCache(changed));
}

TEST_F(SidecarDataStoreAdaptorTest, ParameterHandlingDecidesTheFallback) {
  auto const any = SidecarDataStoreAdaptor::CreateWithDefaultExtension(SidecarDataStoreAdaptor::kAllowAnyParameterHash);
  Await(exact_->SaveDataWithKey(media_, kSidecarAnalyzer, Text("256"), Text("peaks"), MakeBlob("p256")));

  auto const exactMiss = AwaitFailure(exact_->LoadDataWithKey(media_, kSidecarAnalyzer, Text("512"), Text("peaks")));
  EXPECT_EQ(MessageOf(exactMiss), "Value not found in cache");
  EXPECT_EQ(ResultOf(exactMiss), kResultSidecarEntryNotFound);
  EXPECT_EQ(BlobText(Await(any->LoadDataWithKey(media_, kSidecarAnalyzer, Text("512"), Text("peaks")))), "p256");
  EXPECT_EQ(MessageOf(AwaitFailure(any->LoadDataWithKey(media_, kSidecarAnalyzer, Text("512"), Text("rms")))),
            "Value not found in cache");
  EXPECT_EQ(ResultOf(AwaitFailure(any->LoadDataWithKey(media_, kSidecarAnalyzer, Text("512"), Text("")))),
            kResultIllegalArgument);
}

TEST_F(SidecarDataStoreAdaptorTest, DamagedAndEmptyFilesAreReplacedButNewerOnesAreLeftAlone) {
  auto const sidecar = directory_ / "take.qvmi";
  auto load = [&] { return exact_->LoadDataWithKey(media_, kSidecarAnalyzer, Text(""), Text("k")); };

  WriteFile(sidecar, "");
  EXPECT_EQ(ResultOf(AwaitFailure(load())), kResultSidecarFileNotFound);

  WriteFile(sidecar, std::string(64, '\x7f'));
  auto const corrupt = AwaitFailure(load());
  EXPECT_EQ(MessageOf(corrupt), "Data store buffer has invalid format");
  EXPECT_FALSE(exact_->IsDataNotFoundInCache(corrupt));
  Await(exact_->SaveDataWithKey(media_, kSidecarAnalyzer, Text(""), Text("k"), MakeBlob("fresh")));
  EXPECT_EQ(BlobText(Await(load())), "fresh");

  // A file of a newer format version: loads refuse it, and saves fail and leave it byte for byte.
  flatbuffers::FlatBufferBuilder builder;
  std::vector<std::uint8_t> const data = {1};
  auto const value =
      SideCarFormat::CreateSideCarValueTable(builder, builder.CreateString("v"), builder.CreateVector(data));
  auto const item =
      SideCarFormat::CreateSideCarAnalyzerItemTable(builder, 2, SideCarFormat::CreateSideCarGuidTable(builder, 1, 1),
                                                    builder.CreateString("x"), builder.CreateVector(&value, 1));
  builder.Finish(SideCarFormat::CreateSideCarContainerTable(builder, builder.CreateVector(&item, 1)));
  std::string const newer(reinterpret_cast<char const*>(builder.GetBufferPointer()), builder.GetSize());
  WriteFile(sidecar, newer);
  EXPECT_EQ(MessageOf(AwaitFailure(load())), "Incompatible version of serialized data store");
  auto const refused =
      AwaitFailure(exact_->SaveDataWithKey(media_, kSidecarAnalyzer, Text(""), Text("k"), MakeBlob("again")));
  EXPECT_EQ(ResultOf(refused), kResultSidecarWriteFailed);
  EXPECT_THAT(MessageOf(refused), testing::HasSubstr("newer version"));
  EXPECT_EQ(ReadFile(sidecar), newer);
}

TEST_F(SidecarDataStoreAdaptorTest, UnwritableSidecarFailsAndTouchesNothingElse) {
  fs::create_directory(directory_ / "take.qvmi");  // the sidecar's path is taken by a folder
  auto const before = ReadFile(directory_ / "take.wav");

  auto const failure =
      AwaitFailure(exact_->SaveDataWithKey(media_, kSidecarAnalyzer, Text(""), Text("k"), MakeBlob("v")));
  EXPECT_EQ(ResultOf(failure), kResultSidecarWriteFailed);
  EXPECT_THAT(MessageOf(failure), testing::StartsWith("Sidecar file could not be written to: "));
  EXPECT_FALSE(exact_->IsDataNotFoundInCache(failure));
  std::set<fs::path> entries;
  for (auto const& entry : fs::directory_iterator(directory_.path())) entries.insert(entry.path().filename());
  EXPECT_EQ(entries, (std::set<fs::path>{"take.wav", "take.qvmi"}));
  EXPECT_TRUE(fs::is_empty(directory_ / "take.qvmi"));
  EXPECT_EQ(ReadFile(directory_ / "take.wav"), before);

  // The store stays usable.
  fs::remove(directory_ / "take.qvmi");
  Await(exact_->SaveDataWithKey(media_, kSidecarAnalyzer, Text(""), Text("k"), MakeBlob("v")));
  EXPECT_EQ(BlobText(Await(exact_->LoadDataWithKey(media_, kSidecarAnalyzer, Text(""), Text("k")))), "v");
}

TEST_F(SidecarDataStoreAdaptorTest, IgnoreSwitchStopsLoadsButNotSaves) {
  zelcore::debug::DebugDatabase::Instance().SetEntry(kIgnoreAnalyzerCacheEntry, "true");
  Await(exact_->SaveDataWithKey(media_, kSidecarAnalyzer, Text(""), Text("k"), MakeBlob("v")));
  EXPECT_TRUE(fs::exists(directory_ / "take.qvmi"));
  auto const ignored = AwaitFailure(exact_->LoadDataWithKey(media_, kSidecarAnalyzer, Text(""), Text("k")));
  EXPECT_EQ(ResultOf(ignored), kResultSidecarFileNotFound);
  EXPECT_EQ(MessageOf(ignored), "");
  zelcore::debug::DebugDatabase::Instance().SetEntry(kIgnoreAnalyzerCacheEntry, "false");
  EXPECT_EQ(BlobText(Await(exact_->LoadDataWithKey(media_, kSidecarAnalyzer, Text(""), Text("k")))), "v");
}

TEST_F(SidecarDataStoreAdaptorTest, ConcurrentSavesFromTwoStoresLoseNothing) {
  auto const second = SidecarDataStoreAdaptor::CreateWithDefaultExtension(SidecarDataStoreAdaptor::kExactParameterHash);
  constexpr int kThreads = 4, kRounds = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto const& store = t % 2 == 0 ? exact_ : second;
      std::vector<zelcore::async::Future<void>> saves;
      for (int r = 0; r < kRounds; ++r) {
        std::string const key = "t" + std::to_string(t) + "r" + std::to_string(r);
        saves.push_back(store->SaveDataWithKey(media_, kSidecarAnalyzer, Text(""), Text(key), MakeBlob(key)));
      }
      for (auto const& save : saves) Await(save);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    for (int r = 0; r < kRounds; ++r) {
      std::string const key = "t" + std::to_string(t) + "r" + std::to_string(r);
      EXPECT_EQ(BlobText(Await(exact_->LoadDataWithKey(media_, kSidecarAnalyzer, Text(""), Text(key)))), key);
    }
  }
}

// Keys and parameters are bytes: none is repaired on its way into the file, so none aliases another.
TEST_F(SidecarDataStoreAdaptorTest, ByteKeysRoundTripThroughTheFileWithoutAliasing) {
  std::string const texts[] = {"\xff", "\xc3\x28", "\xef\xbf\xbd", std::string("a\0b", 3), std::string("a\0c", 3), "?"};
  for (std::string const& text : texts) {
    Await(exact_->SaveDataWithKey(media_, kSidecarAnalyzer, Text(text), Text("k"), MakeBlob("param " + text)));
    Await(exact_->SaveDataWithKey(media_, kSidecarAnalyzer, Text(""), Text(text), MakeBlob("key " + text)));
  }
  auto const fresh = SidecarDataStoreAdaptor::CreateWithDefaultExtension(SidecarDataStoreAdaptor::kExactParameterHash);
  for (std::string const& text : texts) {
    EXPECT_EQ(BlobText(Await(fresh->LoadDataWithKey(media_, kSidecarAnalyzer, Text(text), Text("k")))),
              "param " + text);
    EXPECT_EQ(BlobText(Await(fresh->LoadDataWithKey(media_, kSidecarAnalyzer, Text(""), Text(text)))), "key " + text);
  }
  // The file holds the bytes themselves.
  auto const data =
      SidecarDataStoreAdaptorSerialization::DeserializeDataStoreFromBinary(SidecarFile::Read(directory_ / "take.qvmi"));
  EXPECT_TRUE(data->items.begin()->second.values.contains(
      std::string(GenerateCacheKey(kSidecarAnalyzer, Text("\xff"), Text("k")).view())));
  EXPECT_EQ(data->items.begin()->second.values.size(), 2 * std::size(texts));
}

// Media names are bytes too: Latin-1 bytes, Cyrillic and emoji name their sidecars, whatever the locale.
TEST_F(SidecarDataStoreAdaptorTest, MediaNamesOfAnyBytesGetTheirOwnSidecar) {
  std::string const names[] = {"caf\xe9", "\xd0\xb7\xd0\xb2\xd1\x83\xd0\xba", "\xf0\x9f\x8e\xb5", "caf\xc3\xa9"};
  for (std::string const& name : names) {
    fs::path const file = directory_.path() / fs::path(name + ".wav");
    WriteFile(file, "audio of " + name);
    auto const media = BE::ProjectFactory::CreateMedia(zelcore::text::PathBytesToUTF16(file.native()));
    Await(exact_->SaveDataWithKey(media, kSidecarAnalyzer, Text(""), Text("k"), MakeBlob(name)));
    EXPECT_TRUE(fs::is_regular_file(directory_.path() / fs::path(name + ".qvmi"))) << name;
  }
  for (std::string const& name : names) {
    fs::path const file = directory_.path() / fs::path(name + ".wav");
    auto const media = BE::ProjectFactory::CreateMedia(zelcore::text::PathBytesToUTF16(file.native()));
    EXPECT_EQ(BlobText(Await(exact_->LoadDataWithKey(media, kSidecarAnalyzer, Text(""), Text("k")))), name);
  }
}

// Nothing but a regular file at the sidecar path is read or written, and nothing there is followed or waited on.
TEST_F(SidecarDataStoreAdaptorTest, LinksFifosAndFoldersAtTheSidecarPathAreLeftAlone) {
  WriteFile(directory_ / "b.wav", "the media itself");
  auto const media = MediaFor(directory_ / "b.wav");
  fs::path const sidecar = directory_ / "b.qvmi";
  struct Case {
    char const* name;
    std::function<void()> make;
  };
  Case const cases[] = {
      {"link to the media", [&] { fs::create_symlink("b.wav", sidecar); }},
      {"dangling link", [&] { fs::create_symlink("nowhere.qvmi", sidecar); }},
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(sidecar.c_str(), 0600), 0); }},
      {"folder", [&] { fs::create_directory(sidecar); }},
  };
  for (Case const& c : cases) {
    c.make();
    auto const saved =
        AwaitFailure(exact_->SaveDataWithKey(media, kSidecarAnalyzer, Text(""), Text("k"), MakeBlob("v")));
    EXPECT_EQ(ResultOf(saved), kResultSidecarWriteFailed) << c.name;
    auto const loaded = AwaitFailure(exact_->LoadDataWithKey(media, kSidecarAnalyzer, Text(""), Text("k")));
    EXPECT_EQ(ResultOf(loaded), kResultSidecarFileNotFound) << c.name;
    EXPECT_TRUE(exact_->IsDataNotFoundInCache(loaded)) << c.name;
    EXPECT_EQ(ReadFile(directory_ / "b.wav"), "the media itself") << c.name;
    EXPECT_FALSE(fs::exists(directory_ / "nowhere.qvmi")) << c.name;
    for (auto const& entry : fs::directory_iterator(directory_.path())) {
      EXPECT_FALSE(entry.path().filename().native().starts_with(".")) << c.name;  // no temporary file
    }
    fs::remove(sidecar);
  }
}

// A foreign file may hold an item the format cannot hold. A save over it fails as the encoder says and leaves the
// file byte for byte: what another writer stored is not ours to delete.
TEST_F(SidecarDataStoreAdaptorTest, ASaveOverAForeignItemTheFormatCannotHoldFailsAndKeepsTheFile) {
  fs::path const sidecar = directory_ / "take.qvmi";
  struct Case {
    char const* name;
    bool hasValues;
    bool hasAnalyzer;
    char const* source;
    char const* error;
  };
  Case const cases[] = {
      {"no values", false, true, "other", "Side Car Data is empty"},
      {"null analyzer", true, false, "other", "Analyzer is undefined"},
      {"empty data source", true, true, "", "Data source identifier is empty"},
  };
  std::vector<std::string> told;
  SidecarDataStoreAdaptor::SetWriteFailureObserver(
      [&](fs::path const&, std::string const& message) { told.push_back(message); });
  for (Case const& c : cases) {
    flatbuffers::FlatBufferBuilder builder;
    std::vector<std::uint8_t> const bytes = {7};
    auto const value =
        SideCarFormat::CreateSideCarValueTable(builder, builder.CreateString("kept"), builder.CreateVector(bytes));
    auto const guid = SideCarFormat::CreateSideCarGuidTable(builder, 0x1100000000000000ull, 1);
    auto const values = builder.CreateVector(&value, 1);
    flatbuffers::Offset<SideCarFormat::SideCarAnalyzerItemTable> const items[] = {
        SideCarFormat::CreateSideCarAnalyzerItemTable(builder, 1, guid, builder.CreateString("good"), values),
        SideCarFormat::CreateSideCarAnalyzerItemTable(builder, 1, c.hasAnalyzer ? guid : 0,
                                                      builder.CreateString(c.source), c.hasValues ? values : 0),
    };
    builder.Finish(SideCarFormat::CreateSideCarContainerTable(builder, builder.CreateVector(items, std::size(items))));
    std::string const before(reinterpret_cast<char const*>(builder.GetBufferPointer()), builder.GetSize());
    WriteFile(sidecar, before);

    auto const failure =
        AwaitFailure(exact_->SaveDataWithKey(media_, kSidecarAnalyzer, Text(""), Text("k"), MakeBlob("v")));
    EXPECT_EQ(MessageOf(failure), c.error) << c.name;
    EXPECT_FALSE(exact_->IsDataNotFoundInCache(failure)) << c.name;
    EXPECT_EQ(ReadFile(sidecar), before) << c.name;
    EXPECT_EQ(MessageOf(AwaitFailure(exact_->LoadDataWithKey(media_, kSidecarAnalyzer, Text(""), Text("k")))),
              "Analyzer Item not found in cache")
        << c.name;
  }
  SidecarDataStoreAdaptor::SetWriteFailureObserver(nullptr);
  EXPECT_EQ(told, (std::vector<std::string>{cases[0].error, cases[1].error, cases[2].error}));
  std::set<std::string> entries;
  for (auto const& entry : fs::directory_iterator(directory_.path())) entries.insert(entry.path().filename());
  EXPECT_EQ(entries, (std::set<std::string>{"take.qvmi", "take.wav"}));
}

// The any-parameter fallback matches in linear time without recursion: a hostile stored key of 1 MiB is matched or
// rejected, never a crash.
TEST_F(SidecarDataStoreAdaptorTest, AnyParameterFallbackAnswersForAMegabyteStoredKey) {
  auto const any = SidecarDataStoreAdaptor::CreateWithDefaultExtension(SidecarDataStoreAdaptor::kAllowAnyParameterHash);
  std::string const huge(1 << 20, 'x');
  Await(exact_->SaveDataWithKey(media_, kSidecarAnalyzer, Text(huge + "\n" + huge), Text("peaks"),
                                MakeBlob("long parameter")));
  Await(exact_->SaveDataWithKey(media_, kSidecarAnalyzer, Text(""), Text(huge), MakeBlob("long key")));
  EXPECT_EQ(BlobText(Await(any->LoadDataWithKey(media_, kSidecarAnalyzer, Text("256"), Text("peaks")))),
            "long parameter");
  auto const miss = AwaitFailure(any->LoadDataWithKey(media_, kSidecarAnalyzer, Text("256"), Text("rms")));
  EXPECT_EQ(MessageOf(miss), "Value not found in cache");
  auto const broken = AwaitFailure(any->LoadDataWithKey(media_, kSidecarAnalyzer, Text("256"), Text("(")));
  EXPECT_THAT(MessageOf(broken), testing::HasSubstr("does not compile"));
}

// A sidecar too large for the format is refused before it is read (loads) and left alone (saves).
TEST_F(SidecarDataStoreAdaptorTest, ASidecarTooLargeForTheFormatIsRefusedUnread) {
  fs::path const sidecar = directory_ / "take.qvmi";
  WriteFile(sidecar, "");
  fs::resize_file(sidecar, std::uintmax_t{1} << 31);  // sparse: no disk space taken
  auto const loaded = AwaitFailure(exact_->LoadDataWithKey(media_, kSidecarAnalyzer, Text(""), Text("k")));
  EXPECT_THAT(MessageOf(loaded), testing::HasSubstr("too large for the format"));
  auto const saved =
      AwaitFailure(exact_->SaveDataWithKey(media_, kSidecarAnalyzer, Text(""), Text("k"), MakeBlob("v")));
  EXPECT_EQ(ResultOf(saved), kResultSidecarWriteFailed);
  EXPECT_THAT(MessageOf(saved), testing::HasSubstr("too large"));
  EXPECT_EQ(fs::file_size(sidecar), std::uintmax_t{1} << 31);
}

}  // namespace
}  // namespace Quillan
