// An analyzer module built outside the Quillan tree, against the installed package (docs/writing-an-analyzer.md
// walks through it). Its entry point registers one analyzer, "byte-histogram": how often each byte value occurs in a
// media file, counted into `bins` equal ranges of byte values. The analyzer describes its results, so that tools show
// the counts rather than a size.
//
// Result blob (little-endian): uint32 binCount, then binCount uint64 counts; bin i counts the bytes from
// i * (256 / binCount) to (i + 1) * (256 / binCount) - 1.
// Parameter: the bin count as text or int, a power of two from 1 to 256; 256 when none is given.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <any>
#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Analyzers/AnalyzerBase.h"
#include "Analyzers/AnalyzerProgressMixIn.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "Analyzers/IResultDescriber.h"
#include "BE/Media.h"
#include "DataStoreAdaptors/DefaultAnalyzerDatastore.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Host/AnalyzerCacheLocation.h"
#include "Host/AnalyzerModule.h"
#include "Host/AnalyzerRegistry.h"
#include "zelappsupport/ProgressItem.h"
#include "zelcore/ZelException.h"

namespace ByteHistogram {
namespace {

using Quillan::AnalysisOptions;
using Quillan::IAnalyzer;
using Quillan::IAnalyzerHost;
using zelcore::Blob;
using zelcore::InterfaceRef;
using zelcore::InterfaceWeakRef;
using zelcore::async::Future;
using zelcore::utility::Guid;
using zelcore::utility::ImmutableString;

// The analyzer's identity for good: results are cached under it. 2e3b5db4-d422-4d04-af8a-7004912a3fba.
constexpr Guid kAnalyzerId{
    Guid::Bytes{0x2e, 0x3b, 0x5d, 0xb4, 0xd4, 0x22, 0x4d, 0x04, 0xaf, 0x8a, 0x70, 0x04, 0x91, 0x2a, 0x3f, 0xba}};
constexpr char kAnalyzerName[] = "byte-histogram";
constexpr std::uint32_t kDefaultBins = 256;

// The one key this analyzer caches its result under.
ImmutableString ResultKey() { return ImmutableString::Create("histogram"); }

// The bin count the factory was given; throws kResultIllegalArgument for anything but a power of two up to 256.
std::uint32_t BinsFrom(std::any const& parameter) {
  if (!parameter.has_value()) return kDefaultBins;
  std::string text;
  if (auto const* value = std::any_cast<int>(&parameter)) text = std::to_string(*value);
  if (auto const* value = std::any_cast<std::string>(&parameter)) text = *value;
  if (auto const* value = std::any_cast<ImmutableString>(&parameter)) text = value->ToUTF8String();
  std::uint32_t bins = 0;
  auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), bins);
  if (error != std::errc() || end != text.data() + text.size() || bins == 0 || bins > 256 || (bins & (bins - 1)))
    throw zelcore::config::zel_exception(
        "byte-histogram: bins must be a power of two from 1 to 256, not \"" + text + "\"",
        Quillan::kResultIllegalArgument);
  return bins;
}

// The progress display lists the module's jobs under one category of its own. Never destroyed: the host may build an
// analyzer on one of its threads while the process exits.
std::shared_ptr<zelappsupport::utility::ProgressCategory> const& Category() {
  static auto const* const category = new std::shared_ptr<zelappsupport::utility::ProgressCategory>(
      zelappsupport::utility::ProgressCategory::Create(zelappsupport::utility::ToUTF8String("Byte histogram")));
  return *category;
}

// The counts of a result blob; empty when the blob does not have the layout above (stored bytes may be hostile).
std::optional<std::vector<std::uint64_t>> DecodeCounts(Blob const& blob) {
  std::uint32_t bins = 0;
  if (!blob || blob->size() < 4) return std::nullopt;
  std::memcpy(&bins, blob->data(), 4);
  if (bins == 0 || bins > 256 || (bins & (bins - 1)) || blob->size() != 4 + 8 * std::size_t{bins}) return std::nullopt;
  std::vector<std::uint64_t> counts(bins);
  std::memcpy(counts.data(), blob->data() + 4, 8 * counts.size());
  return counts;
}

class ByteHistogramAnalyzer : public Quillan::Analyzers::AnalyzerBase,
                              public Quillan::Analyzers::AnalyzerProgressMixIn,
                              public Quillan::IResultDescriber,
                              public zelcore::classref::ClassStatics<ByteHistogramAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("ByteHistogram::ByteHistogramAnalyzer")
  // Both bases bring the object model's class statics; this class makes itself with its own.
  using zelcore::classref::ClassStatics<ByteHistogramAnalyzer>::CreateClassRef;

  // The factory registered below: one analyzer per clip, bound weakly to the host that asked for it.
  static InterfaceRef<IAnalyzer> Create(InterfaceRef<BE::IClip> const& clip, std::any const& parameter,
                                        InterfaceWeakRef<IAnalyzerHost> const& host) {
    auto analyzer = CreateClassRef();
    analyzer->bins_ = BinsFrom(parameter);
    // The store that the user's cache-location setting asks for: a sidecar file beside the media and the host's
    // managed cache, in that setting's order.
    auto store = Quillan::CreateDefaultAnalyzerDatastore(Quillan::GetDefaultCacheLocation(), host.Lock(), false);
    analyzer->Initialize(InterfaceWeakRef<IAnalyzerHost>(host), std::move(store), InterfaceRef<BE::IClip>(clip),
                         std::any(parameter));
    analyzer->InitializeProgressMixIn(host, clip, parameter, kAnalyzerId, Category(),
                                      zelappsupport::utility::ToUTF8String(kAnalyzerName), kTerminateJobOnCancel,
                                      kRemoveItemOnDestruction);
    return InterfaceRef<IAnalyzer>(analyzer);
  }

  // IAnalyzer:
  Guid GetAnalyzerGuid() const override { return kAnalyzerId; }
  Quillan::TargetObjectType GetTargetObjectType() const override { return Quillan::TargetObjectType::kMedia; }
  // Part of the cache key: another bin count is another result.
  ImmutableString GetSerializedParameter() const override { return ImmutableString::Create(std::to_string(bins_)); }
  Future<std::any> StartAnalysis(std::shared_ptr<zelcore::async::AsyncExecutor> const& executor,
                                 AnalysisOptions const& options) override;

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kAnalyzerName); }
  CacheKeys GetCacheKeys() const override { return {ResultKey()}; }

  // IResultDescriber: "4 bins of 64 byte values, 10 bytes, fullest bin 1 (7 bytes)", and as JSON the bin count, the
  // total and the counts.
  std::optional<Quillan::ResultDescription> DescribeResult(ImmutableString const& key,
                                                           Blob const& blob) const override {
    std::optional<std::vector<std::uint64_t>> const counts = DecodeCounts(blob);
    if (key != ResultKey() || !counts) return std::nullopt;
    std::uint64_t total = 0;
    std::size_t fullest = 0;
    std::string list;
    for (std::size_t i = 0; i < counts->size(); ++i) {
      total += (*counts)[i];
      if ((*counts)[i] > (*counts)[fullest]) fullest = i;
      list += (i == 0 ? "" : ",") + std::to_string((*counts)[i]);
    }
    std::string const bins = std::to_string(counts->size());
    return Quillan::ResultDescription{bins + " bins of " + std::to_string(256 / counts->size()) + " byte values, " +
                                          std::to_string(total) + " bytes, fullest bin " + std::to_string(fullest) +
                                          " (" + std::to_string((*counts)[fullest]) + " bytes)",
                                      std::string("{\"name\":\"") + kAnalyzerName + "\",\"fields\":{\"bins\":" + bins +
                                          ",\"total\":" + std::to_string(total) + ",\"counts\":[" + list +
                                          "]},\"units\":{\"total\":\"bytes\",\"counts\":\"bytes\"}}"};
  }

  // UnknownBase: both bases answer for their own interfaces, and the class for IResultDescriber.
  void* QueryMap(std::string_view name) override {
    if (name == IResultDescriber::InterfaceName()) return static_cast<IResultDescriber*>(this);
    if (void* found = AnalyzerProgressMixIn::QueryMap(name)) return found;
    return AnalyzerBase::QueryMap(name);
  }

 private:
  struct Counted {
    Blob blob;
    Guid state;  // the content state of the file version that was read
  };
  // Counts the media file's bytes, reporting progress to `item` and stopping when it has been cancelled.
  Counted Count(std::shared_ptr<ProgressItem> const& item) const;

  std::uint32_t bins_ = kDefaultBins;  // set by the factory, read only afterwards
};

Future<std::any> ByteHistogramAnalyzer::StartAnalysis(std::shared_ptr<zelcore::async::AsyncExecutor> const& executor,
                                                      AnalysisOptions const& options) {
  auto self = GetSharedFromThis<ByteHistogramAnalyzer>();
  std::shared_ptr<ProgressItem> item;
  if (options.progressMode != AnalysisOptions::kNoProgress) item = GetProgressItem();

  // The cached result first. A miss arrives as a failed load, and so does a target the store cannot key.
  Future<Blob> loaded;
  try {
    loaded = LoadCachedData(ResultKey());
  } catch (...) {
    loaded = zelcore::async::MakeExceptionalFuture<Blob>(std::current_exception());
  }
  Future<std::any> cached = loaded.OnSuccessWithExecutor(executor, [](Blob const& blob) {
    return std::any(Quillan::Examples::ExampleResult{blob, true});
  });

  // Otherwise count on the job's executor and save. Any failed load is counted afresh, a damaged cache entry
  // included (dataStore->IsDataNotFoundInCache tells a plain miss apart); the save then replaces it.
  return zelcore::async::HandleExceptionFuture(cached, [self, executor, item](std::exception_ptr const&) {
    return zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(
        executor, std::chrono::milliseconds(0), executor, [self, executor, item] {
          Counted const counted = self->Count(item);
          Blob const blob = counted.blob;
          // Filed under the content that was read, whatever the path holds by now. A save can fail (a read-only
          // cache location writes nowhere); the result stands all the same.
          Future<void> saved;
          try {
            saved = zelcore::async::IgnoreExceptionsFuture(self->SaveDataToCache(ResultKey(), blob, counted.state));
          } catch (...) {
            saved = zelcore::async::MakeReadyFuture();
          }
          return saved.OnSuccessWithExecutor(executor, [blob] {
            return std::any(Quillan::Examples::ExampleResult{blob, false});
          });
        });
  });
}

ByteHistogramAnalyzer::Counted ByteHistogramAnalyzer::Count(std::shared_ptr<ProgressItem> const& item) const {
  if (!media) throw zelcore::config::zel_exception("The clip has no media", Quillan::kResultTargetMissing);
  std::filesystem::path const file(media->GetFilePath());
  // One descriptor for the count and for the content state, so both are of the same file version.
  int const fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat status {};
  if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    if (fd >= 0) ::close(fd);
    throw zelcore::config::zel_exception("Cannot read media file " + file.string(), zelcore::config::kResultFileRead);
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } const closer{fd};

  std::vector<std::uint64_t> counts(bins_, 0);
  unsigned const shift = 8 - static_cast<unsigned>(std::countr_zero(bins_));  // byte >> shift is its bin
  std::vector<unsigned char> buffer(1 << 20);
  std::uintmax_t done = 0;
  for (;;) {
    // The user's cancel fails the job's future already; stopping here ends the work too.
    if (item && item->IsCancelRequested())
      throw zelcore::config::zel_exception("Analysis cancelled", Quillan::kResultJobCancelled);
    ssize_t const got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0)
      throw zelcore::config::zel_exception("Media file could not be read to its end: " + file.string(),
                                           zelcore::config::kResultFileRead);
    if (got == 0) break;
    for (ssize_t i = 0; i < got; ++i) ++counts[buffer[static_cast<std::size_t>(i)] >> shift];
    done += static_cast<std::uintmax_t>(got);
    if (item && status.st_size > 0) item->SetProgress(static_cast<double>(done) / static_cast<double>(status.st_size));
  }
  Guid state;  // stays null, which caches nothing, when the file kept changing as it was read
  BE::GetContentStateOfOpenFile(fd, state);

  // Results are plain bytes: the caches store them as they are.
  static_assert(std::endian::native == std::endian::little, "the result layout is little-endian");
  auto blob = zelcore::allocator::RecycledMemory::Create(4 + 8 * counts.size());
  std::memcpy(blob->data(), &bins_, 4);
  std::memcpy(blob->data() + 4, counts.data(), 8 * counts.size());
  return {blob, state};
}

}  // namespace
}  // namespace ByteHistogram

// Called by whoever loads the module (the tool, the script binding) inside a try block: registers the analyzer under
// analyzer type 0, since a host that analyses a whole clip runs every analyzer of type 0. A nonzero result (the GUID
// is taken already, say) is reported as the module's failure. The registry drops the factory when the application
// tears down.
QUILLAN_ANALYZER_MODULE_ENTRY_POINT {
  return Quillan::RegisterAnalyzer(ByteHistogram::kAnalyzerId, Quillan::AnalyzerType{0},
                                   &ByteHistogram::ByteHistogramAnalyzer::Create);
}
