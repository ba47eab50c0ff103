// Linked into every test program, so that running one directly behaves as it does under ctest.
#include <cstdlib>

namespace {

// Tests never touch the user's own settings or cache folders; tests of the folder rules set their own values.
struct TestHome {
  TestHome() {
    setenv("QUILLAN_CONFIG_DIR", QUILLAN_TEST_HOME "/config", 1);
    setenv("QUILLAN_CACHE_DIR", QUILLAN_TEST_HOME "/cache", 1);
  }
} const testHome;

}  // namespace

// FFmpeg's decoder threads hand pictures over with reference counts kept by atomics inside its own uninstrumented
// libraries too: ThreadSanitizer would report a frame freed on the reading thread as racing with its allocation on a
// decoder thread.
//
// libstdc++ counts the owners of a std::exception_ptr with atomics inside its own uninstrumented library, so
// ThreadSanitizer cannot see that the last owner's release comes after every other owner's use: it would report
// the exception's destruction on one thread as racing with a read of its message on another.
// The same count decides which thread destroys an exception that a future carried to another thread; in the
// uninstrumented library that release shows as the exception's destructor only.
extern "C" __attribute__((visibility("default"))) char const* __tsan_default_suppressions() {
  return "race:std::__exception_ptr::exception_ptr::_M_release\n"
         "race:libavutil.so\n"
         "race:libavcodec.so\n"
         "race:std::runtime_error::~runtime_error\n";
}

// The analyzers' media library is opened with dlopen, and with it the thread-local storage of FFmpeg's dependencies.
// Before LLVM 17 the sanitizers' __tls_get_addr interceptor takes some of those blocks for an old glibc's and reads
// before them, and LeakSanitizer's tracer then crashes at exit now and then. Without the interceptor LeakSanitizer
// scans static thread-local storage only, which is where the media library keeps its own.
extern "C" __attribute__((visibility("default"))) char const* __lsan_default_options() {
  return "intercept_tls_get_addr=0";
}

// Cairo's text goes through fontconfig, which parses its configuration once per process and keeps the patterns in
// caches that LeakSanitizer cannot follow; they do not grow with the pictures drawn.
extern "C" __attribute__((visibility("default"))) char const* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
