#include "AnalyzerMedia/FfmpegLog.h"

#include <cstdarg>
#include <mutex>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

namespace Quillan::Examples {
namespace {

// Static thread-local storage although this library is opened with dlopen (the loader keeps room for a few such
// bytes): LeakSanitizer then sees the heap text that a thread's complaint holds, where it does not scan dynamic blocks.
// Readers open on this thread.
__attribute__((tls_model("initial-exec"))) thread_local int tReaders = 0;
// FFmpeg's last error on this thread while a reader was open.
__attribute__((tls_model("initial-exec"))) thread_local std::string tLastComplaint;
// Its address marks a reader's decoder contexts.
char gReaderDecoder = 0;

bool FromReadersDecoder(void* context) {
  if (!context) return false;
  // FFmpeg logs for a struct whose first field points to its class.
  return *static_cast<AVClass const* const*>(context) == avcodec_get_class() &&
         static_cast<AVCodecContext const*>(context)->opaque == &gReaderDecoder;
}

void LogFfmpegMessage(void* context, int level, char const* format, va_list arguments) {
  if (tReaders == 0) {
    if (!FromReadersDecoder(context)) av_log_default_callback(context, level, format, arguments);
    return;
  }
  if (level > AV_LOG_ERROR) return;
  char line[512];
  int prefix = 1;
  // Without the context: its name and address mean nothing in a message to the user.
  av_log_format_line2(nullptr, level, format, arguments, line, sizeof line, &prefix);
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (!text.empty()) tLastComplaint = std::move(text);
}

}  // namespace

namespace detail {

void InstallFfmpegLogPolicy() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(&LogFfmpegMessage); });
}

ReaderLogScope::ReaderLogScope() { ++tReaders; }

ReaderLogScope::~ReaderLogScope() { --tReaders; }

void ClaimDecoderLog(AVCodecContext& codec) { codec.opaque = &gReaderDecoder; }

std::string const& LastFfmpegComplaint() { return tLastComplaint; }

void ForgetFfmpegComplaint() { tLastComplaint.clear(); }

}  // namespace detail
}  // namespace Quillan::Examples
