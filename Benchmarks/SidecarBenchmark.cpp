// Sidecar store loads and saves against plain file I/O of the same file, and the format's encode/decode speed. A
// save is measured against the same durable work done by hand: read the file, write a temporary file, fsync it and
// rename it over the file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "BE/Media.h"
#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptor.h"
#include "DataStoreAdaptors/SidecarFile.h"
#include "Support/BaselineRatio.h"
#include "zelcore/TextConversions.h"

namespace {

using namespace Quillan;
namespace fs = std::filesystem;
namespace serialization = SidecarDataStoreAdaptorSerialization;

constexpr int kItems = 20;
constexpr int kValuesPerItem = 10;
Guid const kAnalyzer = *Guid::FromString("b0b0b0b0-0000-4000-8000-000000000001");

// A media file with a sidecar of about `fileBytes` (20 items x 10 values), one item of which is the media's own.
struct SidecarFixture {
  explicit SidecarFixture(std::size_t fileBytes) {
    directory =
        fs::temp_directory_path() / ("quillan-bench-" + std::to_string(getpid()) + "-" + std::to_string(fileBytes));
    fs::create_directories(directory);
    std::ofstream(directory / "media.wav") << "media content " << fileBytes;
    media = BE::ProjectFactory::CreateMedia(zelcore::text::UTF8ToUTF16((directory / "media.wav").string()));
    sidecar = directory / "media.qvmi";
    container = MakeContainer(fileBytes, GetContentStateGuid(media).AsUTF8String());
    WriteSidecar();
  }
  ~SidecarFixture() { fs::remove_all(directory); }

  static std::shared_ptr<SideCarSerializationData> MakeContainer(std::size_t fileBytes, std::string const& ownSource) {
    auto data = std::make_shared<SideCarSerializationData>();
    std::size_t const valueBytes = fileBytes / (kItems * kValuesPerItem);
    for (int i = 0; i < kItems; ++i) {
      std::string const source = i == 0 ? ownSource : Guid::CreateUnique().AsUTF8String();
      auto& item = data->items[{kAnalyzer, source}];
      item.analyzerId = kAnalyzer;
      item.dataSourceId = source;
      for (int v = 0; v < kValuesPerItem; ++v) {
        auto blob = zelcore::allocator::RecycledMemory::Create(valueBytes);
        std::memset(blob->data(), 'a' + v, valueBytes);
        item.values[GenerateCacheKey(kAnalyzer, ImmutableString(), ImmutableString::Create("k" + std::to_string(v)))
                        .ToUTF8String()] = blob;
      }
    }
    return data;
  }

  void WriteSidecar() const {
    auto const bytes = serialization::SerializeDataStoreToBinary(container);
    std::ofstream(sidecar, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<char const*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
  }

  std::vector<char> ReadWhole() const {
    int const fd = ::open(sidecar.c_str(), O_RDONLY);
    if (fd < 0) throw std::runtime_error("open failed");
    std::vector<char> buffer(fs::file_size(sidecar));
    std::size_t done = 0;
    while (done < buffer.size()) {
      ssize_t const n = ::read(fd, buffer.data() + done, buffer.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return buffer;
  }

  fs::path directory;
  fs::path sidecar;
  zelcore::InterfaceRef<BE::IMedia> media;
  std::shared_ptr<SideCarSerializationData> container;
  zelcore::InterfaceRef<IDataStoreAdaptor> store =
      SidecarDataStoreAdaptor::CreateWithDefaultExtension(SidecarDataStoreAdaptor::kExactParameterHash);
};

template <class T>
T Wait(zelcore::async::Future<T> const& future) {
  zelcore::async::WaitForUntypedUntil(future, std::chrono::steady_clock::now() + std::chrono::seconds(60), true);
  return future.Get();
}

void BM_SidecarLoadVsRead(benchmark::State& state) {
  SidecarFixture fixture(static_cast<std::size_t>(state.range(0)));
  auto const key = ImmutableString::Create("k3");
  for (int warm = 0; warm < 3; ++warm)
    Wait(fixture.store->LoadDataWithKey(fixture.media, kAnalyzer, ImmutableString(), key));
  benchsupport::MeasureAgainstBaseline(
      state,
      [&] {
        benchmark::DoNotOptimize(
            Wait(fixture.store->LoadDataWithKey(fixture.media, kAnalyzer, ImmutableString(), key)));
      },
      [&] { benchmark::DoNotOptimize(fixture.ReadWhole()); });
  state.counters["file_bytes"] = static_cast<double>(fs::file_size(fixture.sidecar));
}

// The load task's own work, without the hop to the store's executor: read the file whole, verify it, find the value.
void BM_SidecarLoadWorkVsRead(benchmark::State& state) {
  SidecarFixture fixture(static_cast<std::size_t>(state.range(0)));
  std::string const dataSource = GetContentStateGuid(fixture.media).AsUTF8String();
  std::string const key(GenerateCacheKey(kAnalyzer, ImmutableString(), ImmutableString::Create("k3")).view());
  benchsupport::MeasureAgainstBaseline(
      state,
      [&] {
        auto const found =
            serialization::FindValueInBinary(SidecarFile::Read(fixture.sidecar), kAnalyzer, dataSource, key);
        if (found.outcome != serialization::SideCarValueLookup::Outcome::kFound) throw std::runtime_error("not found");
        benchmark::DoNotOptimize(found.blob);
      },
      [&] { benchmark::DoNotOptimize(fixture.ReadWhole()); });
}

void BM_SidecarSaveVsDurableRewrite(benchmark::State& state) {
  SidecarFixture fixture(static_cast<std::size_t>(state.range(0)));
  auto const key = ImmutableString::Create("k3");
  auto blob =
      zelcore::allocator::RecycledMemory::Create(static_cast<std::size_t>(state.range(0)) / (kItems * kValuesPerItem));
  std::memset(blob->data(), 'z', blob->size());
  fs::path const temporary = fixture.directory / "by-hand.tmp";
  benchsupport::MeasureAgainstBaseline(
      state, [&] { Wait(fixture.store->SaveDataWithKey(fixture.media, kAnalyzer, ImmutableString(), key, blob)); },
      [&] {
        auto const bytes = fixture.ReadWhole();
        int const fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        benchmark::DoNotOptimize(::write(fd, bytes.data(), bytes.size()));
        ::fsync(fd);
        ::close(fd);
        ::rename(temporary.c_str(), fixture.sidecar.c_str());
      });
}

void BM_Encode(benchmark::State& state) {
  auto const container = SidecarFixture::MakeContainer(static_cast<std::size_t>(state.range(0)), "source");
  std::size_t bytes = 0;
  for (auto _ : state) bytes += serialization::SerializeDataStoreToBinary(container)->size();
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_Decode(benchmark::State& state) {
  auto const buffer = serialization::SerializeDataStoreToBinary(
      SidecarFixture::MakeContainer(static_cast<std::size_t>(state.range(0)), "source"));
  for (auto _ : state) benchmark::DoNotOptimize(serialization::DeserializeDataStoreFromBinary(buffer));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer->size()));
}

constexpr std::int64_t k64K = 64 << 10, k1M = 1 << 20, k16M = 16 << 20;

}  // namespace

BENCHMARK(BM_SidecarLoadVsRead)->Arg(k64K)->Arg(k1M)->Arg(k16M)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SidecarLoadWorkVsRead)->Arg(k64K)->Arg(k1M)->Arg(k16M)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SidecarSaveVsDurableRewrite)
    ->Arg(k64K)
    ->Arg(k1M)
    ->Arg(k16M)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Encode)->Arg(k1M)->Arg(k16M)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decode)->Arg(k1M)->Arg(k16M)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
