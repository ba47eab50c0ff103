#pragma once

#include <gtest/gtest.h>

#include <any>
#include <filesystem>
#include <string_view>

#include "Analyzers/ExampleAnalyzers.h"
#include "BE/Backend.h"
#include "BE/Preferences.h"
#include "BE/ProjectFactory.h"
#include "Host/AnalyzerCacheLocation.h"
#include "Host/AnalyzerHost.h"
#include "Support/FutureTestUtils.h"
#include "Support/TempDirectory.h"
#include "zelcore/Executor.h"

// Running the example analyzers through the host in tests.
namespace testsupport::jobs {

using zelcore::InterfaceRef;
using zelcore::async::Future;

// The backend's settings in a file of the test's own.
struct ScopedSettingsFile {
  explicit ScopedSettingsFile(std::filesystem::path const& file) { properties->SetFilePath(file); }
  ~ScopedSettingsFile() { properties->SetFilePath(previous); }
  InterfaceRef<BE::IProperties> const properties = InterfaceRef<BE::IProperties>::Query(BE::GetBackend());
  std::filesystem::path const previous = properties->GetFilePath();
};

inline InterfaceRef<BE::IClip> ClipOf(std::filesystem::path const& path) {
  return BE::ProjectFactory::CreateClip(BE::ProjectFactory::CreateMedia(path.u16string()), BE::kMediaType_Audio);
}

// Runs one analyzer on `clip` through `host` and returns its job. The job starts only once the test holds it: the
// host keeps a job weakly, and a job that ended before that would take its result with it.
inline Future<std::any> RunJob(InterfaceRef<Quillan::IAnalyzerHost> const& host, InterfaceRef<BE::IClip> const& clip,
                               zelcore::utility::Guid const& id, std::any const& parameter = {}) {
  auto const executor = zelcore::async::CreateSubExecutor(zelcore::async::GetDefaultExecutor(), 1);
  executor->Pause();
  auto const started = host->AnalyzeClipWithAnalyzer(clip, id, parameter, Quillan::AnalysisOptions{0, 0}, executor);
  if (auto const failure = testsupport::AwaitFailure(started)) {
    executor->Resume();
    return zelcore::async::MakeExceptionalFuture<std::any>(failure);
  }
  Future<std::any> const job = std::get<0>(testsupport::Await(started)).Lock();
  executor->Resume();
  testsupport::AwaitEnd(job);
  return job;
}

inline Quillan::Examples::ExampleResult ResultOf(Future<std::any> const& job) {
  if (auto const failure = job.GetException()) ADD_FAILURE() << testsupport::MessageOf(failure);
  return job.HasValue() ? std::any_cast<Quillan::Examples::ExampleResult>(job.Get())
                        : Quillan::Examples::ExampleResult{};
}

// The default host, with settings, sidecars and caches in a folder of the test's own.
class HostedAnalyzersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BE::GetBackend()->GetPreferences()->SetAnalyzerCacheDirectory((directory / "cache").wstring());
    ASSERT_TRUE(Quillan::SetDefaultCacheLocation(Quillan::AnalyzerCacheLocation::kSidecarFile));
    host = Quillan::GetAnalyzerHost();
    ASSERT_TRUE(host);
  }

  // The ended job of the example analyzer named `analyzer` on `file`; a failed job is a test failure.
  Quillan::Examples::ExampleResult Run(std::filesystem::path const& file, std::string_view analyzer,
                                       std::any const& parameter = {}) {
    return ResultOf(RunJob(host, ClipOf(file), *Quillan::Examples::FindExampleAnalyzer(analyzer), parameter));
  }

  testsupport::TempDirectory directory;
  ScopedSettingsFile settings{directory / "properties"};
  InterfaceRef<Quillan::IAnalyzerHost> host;
};

}  // namespace testsupport::jobs
