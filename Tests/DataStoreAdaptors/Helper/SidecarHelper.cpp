// A second process for the sidecar store's tests: it saves or loads through a store of its own, beside the test's,
// so that the tests can race processes, kill them mid-save and fill their disk.
//
//   sidecar_test_helper [--fsize BYTES] save MEDIA PREFIX COUNT VALUE_BYTES
//       saves PREFIX0 .. PREFIX<COUNT-1>, each with ValueFor(key, VALUE_BYTES), printing "saved <key>" after each;
//   sidecar_test_helper load MEDIA KEY COUNT
//       loads KEY COUNT times and checks it against ValueFor(KEY, its size).
// Exits 0 when all went well, 3 with the failure on stderr otherwise. --fsize limits the size of any file it
// writes (RLIMIT_FSIZE, with SIGXFSZ ignored), as a full disk would.
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptor.h"
#include "Helper/SidecarHelperValues.h"
#include "zelcore/TextConversions.h"
#include "zelcore/ZelException.h"

namespace {

using namespace Quillan;

template <class T>
T Wait(zelcore::async::Future<T> const& future) {
  zelcore::async::WaitForUntypedUntil(future, std::chrono::steady_clock::now() + std::chrono::seconds(60), true);
  return future.Get();
}

int Run(int argc, char** argv) {
  int next = 1;
  if (argc > next + 1 && std::strcmp(argv[next], "--fsize") == 0) {
    rlimit const limit{std::stoul(argv[next + 1]), std::stoul(argv[next + 1])};
    std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
    next += 2;
  }
  if (argc - next < 4) return 2;
  std::string const command = argv[next];
  auto const media = BE::ProjectFactory::CreateMedia(zelcore::text::PathBytesToUTF16(argv[next + 1]));
  auto const store = SidecarDataStoreAdaptor::CreateWithDefaultExtension(SidecarDataStoreAdaptor::kExactParameterHash);
  ImmutableString const parameter;
  if (command == "save" && argc - next == 5) {
    std::string const prefix = argv[next + 2];
    int const count = std::stoi(argv[next + 3]);
    std::size_t const bytes = std::stoul(argv[next + 4]);
    for (int i = 0; i < count; ++i) {
      std::string const key = prefix + std::to_string(i);
      Wait(store->SaveDataWithKey(media, testsupport::kHelperAnalyzer, parameter, ImmutableString::Create(key),
                                  testsupport::ValueFor(key, bytes)));
      std::printf("saved %s\n", key.c_str());
      std::fflush(stdout);
    }
    return 0;
  }
  if (command == "load") {
    std::string const key = argv[next + 2];
    int const count = std::stoi(argv[next + 3]);
    for (int i = 0; i < count; ++i) {
      auto const blob =
          Wait(store->LoadDataWithKey(media, testsupport::kHelperAnalyzer, parameter, ImmutableString::Create(key)));
      if (!testsupport::SameBytes(blob, testsupport::ValueFor(key, blob->size()))) {
        std::fprintf(stderr, "load %d of %s gave other bytes\n", i, key.c_str());
        return 3;
      }
    }
    return 0;
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int code = 2;
  try {
    code = Run(argc, argv);
  } catch (zelcore::config::zel_exception const& error) {
    std::fprintf(stderr, "error 0x%08x %s\n", static_cast<unsigned>(error.GetResult()), error.what());
    code = 3;
  } catch (std::exception const& error) {
    std::fprintf(stderr, "error %s\n", error.what());
    code = 3;
  }
  if (code == 2) std::fprintf(stderr, "usage: sidecar_test_helper [--fsize BYTES] save|load ...\n");
  std::fflush(stdout);
  // Queued work of the store's executors ends with the process; nothing of it is pending here.
  std::_Exit(code);
}
