#pragma once

#include <string>

#include "Analyzers/ExampleAnalyzers.h"

struct AVCodecContext;

namespace Quillan::Examples {

// The one FFmpeg log policy of the module, its pictures and the command-line tool. FFmpeg's log is one per process
// (a level and a callback), so it is the program's to choose, and the policy changes it only when asked to:
//   - What FFmpeg says on a thread while one of our media readers (MediaInput) is open there, and what the decoders
//     they opened say on their own threads, is the readers': it reaches no terminal, where it would break progress
//     bars and tables, and FFmpeg's last error on the reader's thread joins the message of that reader's next failure.
//   - Everything else goes on to av_log_default_callback, which honours the program's level. The level is never
//     changed: no reader lowers it for the process, they are quiet only while they read.
// FFmpeg cannot tell which callback is set, so the policy cannot chain to an embedder's own: it is for a program that
// leaves FFmpeg's log to its default, and replaces whatever callback is set. The module never installs it by itself,
// so a program with a callback of its own keeps it and receives every message, the readers' too. The command-line tool
// installs the policy as it starts; later calls change nothing. May be called from any thread.
QUILLAN_EXAMPLES_EXPORT void UseFfmpegLogForErrors();

namespace detail {

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
