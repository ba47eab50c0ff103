#pragma once

#include <string>

#include "Analyzers/ExampleAnalyzers.h"

struct AVCodecContext;

namespace Quillan::Examples {

namespace detail {

// Installs the log policy that UseFfmpegLogForErrors (ExampleAnalyzers.h) describes; later calls change nothing. May be
// called from any thread.
QUILLAN_EXAMPLES_EXPORT void InstallFfmpegLogPolicy();

// What a media reader tells the log policy: while a ReaderLogScope lives, the thread it was made on is reading media.
// Make and end it on the same thread (readers are not thread-safe and stay on theirs).
class ReaderLogScope {
 public:
  ReaderLogScope();
  ~ReaderLogScope();
  ReaderLogScope(ReaderLogScope const&) = delete;
  ReaderLogScope& operator=(ReaderLogScope const&) = delete;
};

// Marks `codec` as a reader's, before it opens: what its decoder's threads say is the reader's too. It takes the
// context's opaque (user data), which FFmpeg copies to the decoder's threads.
void ClaimDecoderLog(AVCodecContext& codec);

// FFmpeg's last error on this thread, while the policy is in force and a reader is open; empty when there was none
// since ForgetFfmpegComplaint.
std::string const& LastFfmpegComplaint();
void ForgetFfmpegComplaint();

}  // namespace detail
}  // namespace Quillan::Examples
