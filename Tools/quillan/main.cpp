#include <exception>
#include <iostream>

#include "Analyzers/ExampleAnalyzers.h"
#include "BE/SettingsFileException.h"
#include "Host/AnalyzerModule.h"
#include "quillan/CommandLineApp.h"
#include "quillan/ConfigCommands.h"
#include "quillan/ResultFormatting.h"
#include "zelcore/Application.h"

#ifndef __has_feature
#define __has_feature(feature) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
// Cairo's text goes through fontconfig, which parses its configuration once per process and keeps the patterns in
// caches that LeakSanitizer cannot follow; they do not grow with the pictures drawn.
extern "C" __attribute__((visibility("default"))) char const* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
// The list of suppressions used would land on the tool's stderr, which its tests read. The media library is opened
// with dlopen, and with it the thread-local storage of FFmpeg's dependencies; before LLVM 17 the sanitizers'
// __tls_get_addr interceptor misreads some of those blocks and LeakSanitizer's tracer crashes at exit now and then.
extern "C" __attribute__((visibility("default"))) char const* __lsan_default_options() {
  return "print_suppressions=0:intercept_tls_get_addr=0";
}
#endif
#if defined(__SANITIZE_THREAD__) || __has_feature(thread_sanitizer)
// FFmpeg's decoders share frames between their threads, and libstdc++ shares an exception between the futures that
// hold it, through reference counts kept with atomics inside libraries that are not instrumented, so
// ThreadSanitizer takes the last release for a race with the reads before it (the test programs suppress the same).
extern "C" __attribute__((visibility("default"))) char const* __tsan_default_suppressions() {
  return "race:libavutil.so\nrace:libavcodec.so\nrace:std::__exception_ptr::exception_ptr::_M_release\n"
         "race:std::runtime_error::~runtime_error\n";
}
extern "C" __attribute__((visibility("default"))) char const* __tsan_default_options() {
  return "print_suppressions=0";
}
#endif

int main(int argc, char** argv) {
  using namespace Quillan::Cli;
  // The tool owns the process: FFmpeg's complaints go into its error messages, never onto its tables and bars.
  Quillan::Examples::UseFfmpegLogForErrors();
  Quillan::Examples::BoundFfmpegAllocations();
  int exitCode = kExitOk;
  try {
    CommandLineApp app;
    try {
      exitCode = app.Run(argc, argv);
    } catch (UsageError const& error) {
      std::cerr << "quillan: " << error.what() << "\n" << app.UsageOf(error.Command()) << "\n";
      exitCode = kExitUsage;
    }
  } catch (Quillan::AnalyzerModuleError const& error) {
    // Nothing ran: the analyzers the user asked for may be among those the module did not register.
    std::cerr << "quillan: " << error.what() << "\n";
    exitCode = kExitUsage;
  } catch (BE::exSettingsFile const& error) {
    // Whichever command met it first: one message, naming the file and the key, however many readers failed.
    std::cerr << "quillan: " << SettingsProblemText(error) << "\n";
    exitCode = kExitFailed;
  } catch (std::exception const& error) {
    std::cerr << "quillan: " << error.what() << "\n";
    exitCode = kExitFailed;
  } catch (...) {
    // What an analyzer module threw that is not a std::exception.
    std::cerr << "quillan: " << ExceptionText(std::current_exception()) << "\n";
    exitCode = kExitFailed;
  }
  std::cout.flush();
  // Queued cache writes commit before the platform's singletons go.
  zelcore::config::ShutdownApplication();
  return exitCode;
}
