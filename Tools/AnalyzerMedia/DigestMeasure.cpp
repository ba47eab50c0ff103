#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "AnalyzerMedia/Detail/Measures.h"
#include "AnalyzerMedia/MediaInput.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/Detail/StampedFile.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "zelcore/ZelException.h"

namespace Quillan::Examples::detail {
namespace {

struct DigestDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

// The SHA-256 of the media file's bytes, by OpenSSL (which uses the CPU's SHA instructions where it has them).
zelcore::Blob MeasureDigest(AnalyzerParameter const& /*parameter*/, std::filesystem::path const& file,
                            Progress const& progress, ReadVersion& read) {
  {
    // Files that are not media get no digest, as they get no other result: nothing is stored beside them.
    MediaInput media(file);
    media.ProbeStreams(MediaInput::Probe::kAudio);
    if (!media.HasAudioOrVideo()) media.NotMedia("no sound and no moving pictures", 0);
  }
  StampedFile in(file);
  std::unique_ptr<EVP_MD_CTX, DigestDeleter> const sha(EVP_MD_CTX_new());
  if (!sha || EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr) != 1) {
    throw zelcore::config::zel_exception("SHA-256 could not start", zelcore::config::kResultUnexpected);
  }
  // Read into before it is hashed, so never zeroed: a folder run digests thousands of files.
  constexpr std::size_t kChunk = 1 << 20;
  auto const buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kChunk);
  std::uint64_t done = 0;
  progress.Update(0.0);
  for (;;) {
    ssize_t const got = ::read(in.Descriptor(), buffer.get(), kChunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      throw zelcore::config::zel_exception(
          "Media file " + file.string() + " could not be read to its end: " + std::strerror(errno),
          zelcore::config::kResultFileRead);
    }
    if (got == 0) break;
    EVP_DigestUpdate(sha.get(), buffer.get(), static_cast<std::size_t>(got));
    done += static_cast<std::uint64_t>(got);
    progress.Update(in.Size() == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / static_cast<double>(in.Size())));
  }
  in.CheckUnchanged();
  read.Note(in);
  std::uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  EVP_DigestFinal_ex(sha.get(), digest, &length);
  BlobWriter out;
  for (unsigned i = 0; i < length; ++i) out.Put(digest[i]);
  return out.Finish();
}

}  // namespace Quillan::Examples::detail
