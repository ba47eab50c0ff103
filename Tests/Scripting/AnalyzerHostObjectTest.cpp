#include "Scripting/AnalyzerHostObject.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "BE/Backend.h"
#include "Host/AnalyzerHost.h"
#include "Host/AnalyzerHostTestSupport.h"
#include "zelcore/Singletons.h"
#include "zelscripting/GuidScriptObject.h"
#include "zelscripting/ScriptObjectDefinition.h"
#include "zelscripting/ScriptingRefPreserver.h"

namespace Quillan::Scripting {
namespace {

using hosttest::AnalyzerLab;
using hosttest::AnalyzerTraits;
using zelcore::InterfaceRef;
using zelscripting::GuidScriptObject;
using zelscripting::IntrusivePtr;
using zelscripting::NativePromise;
using zelscripting::ScriptObject;
using zelscripting::ScriptValue;

constexpr int kContext = 5;
constexpr char kNoLongerValid[] = "The script object is no longer valid.";

zelscripting::ScriptObjectDefinitionBase const& HostClass() {
  static auto const definition = zelscripting::ScriptDefinitions::GetInstance().FindObjectDefinition("AnalyzerHost");
  return *definition;
}

// Calls a method of the class as a script would.
ScriptValue Call(std::string_view method, IntrusivePtr<ScriptObject> const& self, std::vector<ScriptValue> args = {}) {
  return HostClass().Invoke(method, self ? self->GetContextHdl() : kContext, self, args);
}

IntrusivePtr<ScriptObject> GuidArgument(Guid const& id) { return GuidScriptObject::Create(id, kContext); }

// The default host works in a cache directory of its own for the whole test program.
void UseTestCacheDirectory() {
  static testsupport::TempDirectory const directory;
  BE::GetBackend()->GetPreferences()->SetAnalyzerCacheDirectory(directory.path().wstring());
}

// The outcome of a promise that a method returned.
class Observed {
 public:
  explicit Observed(ScriptValue const& result) {
    auto const* const native = std::get_if<std::shared_ptr<zelscripting::NativeObject>>(&result);
    promise_ = native ? std::dynamic_pointer_cast<NativePromise>(*native) : nullptr;
    EXPECT_TRUE(promise_) << "the method returned no promise";
    if (!promise_) return;
    EXPECT_EQ(promise_->GetContextHdl(), kContext);
    promise_->OnSettled([state = state_](bool fulfilled, std::vector<ScriptValue> const& values) {
      std::lock_guard lock(state->mutex);
      state->settled = true;
      state->fulfilled = fulfilled;
      state->values = values;
      state->changed.notify_all();
    });
  }

  bool IsSettled() const { return promise_ && promise_->IsSettled(); }

  // Waits (generously) until settled; returns whether it was fulfilled and with what.
  std::pair<bool, std::vector<ScriptValue>> Await() {
    std::unique_lock lock(state_->mutex);
    EXPECT_TRUE(state_->changed.wait_for(lock, hosttest::kDeadline, [&] { return state_->settled; }))
        << "the promise did not settle";
    return {state_->fulfilled, state_->values};
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    bool settled = false;  // guarded by mutex
    bool fulfilled = false;
    std::vector<ScriptValue> values;
  };
  std::shared_ptr<NativePromise> promise_;
  std::shared_ptr<State> const state_ = std::make_shared<State>();
};

std::pair<bool, std::vector<ScriptValue>> Fulfilled(ScriptValue value) { return {true, {std::move(value)}}; }

template <class F>
std::string ScriptErrorOf(F&& call, zelscripting::ScriptExceptionType* type = nullptr) {
  try {
    call();
  } catch (zelscripting::ScriptException const& e) {
    if (type) *type = e.GetType();
    return e.what();
  }
  return "no ScriptException";
}

class AnalyzerHostObjectTest : public testing::Test {
 protected:
  void TearDown() override {
    // The preserver would keep this test's host for the rest of the program.
    if (auto const preserver = zelscripting::ScriptingRefPreserver::GetInstance()) preserver->RemoveReference(host);
  }

  Guid Register(AnalyzerTraits const& traits) {
    EXPECT_EQ(registry->RegisterAnalyzer(traits.id, AnalyzerType{7}, hosttest::MakeFactory(traits, lab)), 0);
    return traits.id;
  }
  // Starts a job of `analyzerId` on a new clip; the host keeps it running until the lab ends it.
  void Start(Guid const& analyzerId, std::size_t clip) {
    testsupport::Await(
        host->AnalyzeClipWithAnalyzer(project.NewClip(clip), analyzerId, {}, hosttest::kNoProgress, nullptr));
  }

  std::shared_ptr<AnalyzerLab> lab = std::make_shared<AnalyzerLab>();
  std::shared_ptr<AnalyzerRegistryImpl> registry = std::make_shared<AnalyzerRegistryImpl>();
  hosttest::Project project{3};
  InterfaceRef<AnalyzerHost> host = hosttest::MakeHost(registry);
  IntrusivePtr<ScriptObject> hostObject = CreateAnalyzerHostObject(host, kContext);
};

TEST_F(AnalyzerHostObjectTest, IdleAnalyzerCountsZeroAndIsDoneAtOnce) {
  Guid const id = Register(AnalyzerTraits());
  EXPECT_EQ(Observed(Call("countJobsForAnalyzer", hostObject, {GuidArgument(id)})).Await(), Fulfilled(0.0));
  EXPECT_EQ(Observed(Call("waitForAnalyzerCompletion", hostObject, {GuidArgument(id)})).Await(), Fulfilled(true));
  // Never registered: nothing runs either.
  Guid const unknown = Guid::CreateUnique();
  EXPECT_EQ(Observed(Call("countJobsForAnalyzer", hostObject, {GuidArgument(unknown)})).Await(), Fulfilled(0.0));
}

TEST_F(AnalyzerHostObjectTest, CountsTheRunningJobsOfOneAnalyzer) {
  Guid const limited = Register(AnalyzerTraits().Limit(2));
  Guid const other = Register(AnalyzerTraits());
  for (std::size_t clip = 0; clip < 3; ++clip) Start(limited, clip);
  Start(other, 0);
  ASSERT_TRUE(lab->WaitForStarts(3));

  EXPECT_EQ(Observed(Call("countJobsForAnalyzer", hostObject, {GuidArgument(limited)})).Await(), Fulfilled(2.0));
  EXPECT_EQ(Observed(Call("countJobsForAnalyzer", hostObject, {GuidArgument(other)})).Await(), Fulfilled(1.0));

  for (std::size_t job = 0; job < 3; ++job) lab->Finish(job, {});
  ASSERT_TRUE(lab->WaitForStarts(4));  // the waiting job of `limited`
  lab->Finish(3, {});
  EXPECT_TRUE(hosttest::WaitUntil([&] { return host->GetOngoingJobsCount() == 0; }));
  EXPECT_EQ(Observed(Call("countJobsForAnalyzer", hostObject, {GuidArgument(limited)})).Await(), Fulfilled(0.0));
}

TEST_F(AnalyzerHostObjectTest, WaitEndsOnlyWhenTheRunningJobsHaveEnded) {
  Guid const id = Register(AnalyzerTraits());
  Start(id, 0);
  Start(id, 1);
  ASSERT_TRUE(lab->WaitForStarts(2));

  Observed wait(Call("waitForAnalyzerCompletion", hostObject, {GuidArgument(id)}));
  // The count runs on the host's serial executor after the wait has listed the jobs.
  EXPECT_EQ(Observed(Call("countJobsForAnalyzer", hostObject, {GuidArgument(id)})).Await(), Fulfilled(2.0));
  EXPECT_FALSE(wait.IsSettled());
  lab->Finish(1, {});
  EXPECT_FALSE(wait.IsSettled());
  lab->Finish(0, {});
  EXPECT_EQ(wait.Await(), Fulfilled(true));
}

TEST_F(AnalyzerHostObjectTest, FailingJobRejectsTheWaitWithItsResultCode) {
  Guid const id = Register(AnalyzerTraits());
  Start(id, 0);
  Start(id, 1);
  ASSERT_TRUE(lab->WaitForStarts(2));
  Observed wait(Call("waitForAnalyzerCompletion", hostObject, {GuidArgument(id)}));
  EXPECT_EQ(Observed(Call("countJobsForAnalyzer", hostObject, {GuidArgument(id)})).Await(), Fulfilled(2.0));

  lab->Fail(0, kResultJobCancelled);
  lab->Finish(1, {});
  auto const [fulfilled, values] = wait.Await();
  EXPECT_FALSE(fulfilled);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0], ScriptValue(static_cast<double>(static_cast<std::int32_t>(kResultJobCancelled))));
}

TEST_F(AnalyzerHostObjectTest, ArgumentIsCheckedBeforeTheHost) {
  InterfaceRef<AnalyzerHost> doomed = hosttest::MakeHost(registry);
  IntrusivePtr<ScriptObject> const deadObject = CreateAnalyzerHostObject(doomed, kContext);
  zelscripting::ScriptingRefPreserver::GetInstance()->RemoveReference(doomed);
  std::weak_ptr<AnalyzerHost> const weakDoomed = doomed.shared();
  doomed.reset();
  ASSERT_TRUE(hosttest::WaitUntil([&] { return weakDoomed.expired(); }));
  IntrusivePtr<ScriptObject> const unbound = HostClass().CreateInstance(kContext);
  IntrusivePtr<ScriptObject> const unconstructedGuid =
      zelscripting::ScriptDefinitions::GetInstance().FindObjectDefinition("Guid")->CreateInstance(kContext);

  struct Case {
    char const* what;
    std::vector<ScriptValue> args;
    bool parameterError;  // else a ScriptException of type 14
  };
  std::vector<Case> const cases = {
      {"missing", {}, false},
      {"null", {nullptr}, false},
      {"null GUID", {GuidArgument(Guid())}, false},
      {"GUID object without a value", {unconstructedGuid}, false},
      {"another kind of object", {hostObject}, true},
      {"a string", {std::string("00112233-4455-6677-8899-aabbccddeeff")}, true},
  };
  for (auto const& self : {hostObject, deadObject, unbound}) {
    for (char const* method : {"countJobsForAnalyzer", "waitForAnalyzerCompletion"}) {
      for (auto const& c : cases) {
        SCOPED_TRACE(std::string(method) + ", " + c.what);
        if (c.parameterError) {
          EXPECT_THROW(Call(method, self, c.args), zelscripting::ParameterErrorException);
        } else {
          zelscripting::ScriptExceptionType type{};
          ScriptErrorOf([&] { Call(method, self, c.args); }, &type);
          EXPECT_EQ(static_cast<int>(type), 14);
        }
      }
      // A good argument reaches the host check.
      if (self != hostObject) {
        SCOPED_TRACE(method);
        zelscripting::ScriptExceptionType type{};
        EXPECT_EQ(ScriptErrorOf([&] { Call(method, self, {GuidArgument(Guid::CreateUnique())}); }, &type),
                  kNoLongerValid);
        EXPECT_EQ(type, zelscripting::ScriptExceptionType::kError);
      }
    }
  }
}

TEST_F(AnalyzerHostObjectTest, GetDefaultGivesEqualObjectsOfTheDefaultHost) {
  UseTestCacheDirectory();
  InterfaceRef<IAnalyzerHost> const defaultHost = GetAnalyzerHost();
  ASSERT_TRUE(defaultHost);
  IntrusivePtr<ScriptObject> const first = std::get<IntrusivePtr<ScriptObject>>(Call("getDefault", nullptr));
  // Also from an object of another host, and in another context.
  IntrusivePtr<ScriptObject> const callerInOtherContext = CreateAnalyzerHostObject(host, kContext + 1);
  IntrusivePtr<ScriptObject> const second =
      std::get<IntrusivePtr<ScriptObject>>(Call("getDefault", callerInOtherContext));

  ASSERT_TRUE(first && second);
  EXPECT_NE(first.get(), second.get());
  EXPECT_EQ(first->GetClassName(), "AnalyzerHost");
  EXPECT_EQ(first->GetContextHdl(), kContext);
  EXPECT_EQ(second->GetContextHdl(), kContext + 1);
  EXPECT_TRUE(first->IsSameObject(*second));
  EXPECT_TRUE(second->IsSameObject(*first));
  EXPECT_EQ(first->GetIdentityHash(), second->GetIdentityHash());
  EXPECT_EQ(first->GetIdentityHash(), zelscripting::HashAddress(defaultHost.Identity()));
  EXPECT_FALSE(first->IsSameObject(*hostObject));
  EXPECT_FALSE(first->IsSameObject(*GuidArgument(Guid::CreateUnique())));
  EXPECT_TRUE(zelscripting::ScriptingRefPreserver::GetInstance()->HoldsReference(defaultHost));

  InterfaceRef<IAnalyzerHost> bound;
  ASSERT_TRUE(dynamic_cast<AnalyzerHostObject&>(*first).TryGetValue(bound));
  EXPECT_EQ(bound, defaultHost);

  // The conversion hook binds the same way.
  auto const transformed =
      zelscripting::utility::TransformObjectIntoScriptingObject<InterfaceRef<IAnalyzerHost>>()(host, kContext);
  ASSERT_TRUE(dynamic_cast<AnalyzerHostObject*>(transformed.get()));
  EXPECT_TRUE(transformed->IsSameObject(*hostObject));
  EXPECT_FALSE(transformed->IsSameObject(*first));
}

// Without a default host, getDefault still gives an "AnalyzerHost" object, whose job methods report it no longer
// valid; the preserver lets go of the default host at teardown. Returns what went wrong. Runs in a child process,
// since tearing the singletons down is once per process.
std::string CheckWithoutDefaultHost() {
  std::string problems;
  auto check = [&](bool condition, std::string const& what) {
    if (!condition) problems += what + "\n";
  };
  UseTestCacheDirectory();
  IntrusivePtr<ScriptObject> const before = std::get<IntrusivePtr<ScriptObject>>(Call("getDefault", nullptr));
  std::weak_ptr<zelcore::classref::UnknownBase> const weakDefault =
      dynamic_cast<AnalyzerHostObject&>(*before).GetReferencedObject();
  check(!weakDefault.expired(), "getDefault gave no host");

  zelcore::config::RunSingletonTerminations();
  check(hosttest::WaitUntil([&] { return weakDefault.expired(); }), "the preserver kept the default host");
  IntrusivePtr<ScriptObject> const after = std::get<IntrusivePtr<ScriptObject>>(Call("getDefault", before));
  check(after && after->GetClassName() == "AnalyzerHost", "no AnalyzerHost object without a default host");
  for (auto const& self : {before, after}) {
    for (char const* method : {"countJobsForAnalyzer", "waitForAnalyzerCompletion"}) {
      std::string const error = ScriptErrorOf([&] { Call(method, self, {GuidArgument(Guid::CreateUnique())}); });
      check(error == kNoLongerValid, std::string(method) + ": " + error);
    }
  }
  return problems;
}

TEST(AnalyzerHostObjectDeathTest, JobMethodsFailWithoutADefaultHost) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::string const problems = CheckWithoutDefaultHost();
        std::fputs(problems.c_str(), stderr);
        std::exit(problems.empty() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace Quillan::Scripting
