#include "Analyzers/ResultDescription.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "Analyzers/AnalyzerBase.h"
#include "zelcore/ClassRef.h"

namespace Quillan {
namespace {

using zelcore::utility::ImmutableString;

// An analyzer that describes every result with the summary and JSON the test gives it, or throws.
class ScriptedDescriber : public Analyzers::AnalyzerBase,
                          public IResultDescriber,
                          public zelcore::classref::ClassStatics<ScriptedDescriber> {
 public:
  ZEL_INTERFACE_NAME("Test::ScriptedDescriber")

  zelcore::utility::Guid GetAnalyzerGuid() const override { return {}; }
  TargetObjectType GetTargetObjectType() const override { return TargetObjectType::kMedia; }
  zelcore::async::Future<std::any> StartAnalysis(std::shared_ptr<zelcore::async::AsyncExecutor> const&,
                                                 AnalysisOptions const&) override {
    return zelcore::async::MakeReadyFuture(std::any());
  }
  std::optional<ResultDescription> DescribeResult(ImmutableString const&, zelcore::Blob const&) const override {
    if (throws) throw std::runtime_error("cannot describe");
    return ResultDescription{summary, json};
  }
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create("scripted"); }
  CacheKeys GetCacheKeys() const override { return {ImmutableString::Create("result")}; }
  void* QueryMap(std::string_view name) override {
    if (name == IResultDescriber::InterfaceName()) return static_cast<IResultDescriber*>(this);
    return AnalyzerBase::QueryMap(name);
  }

  std::string summary = "one line";
  std::string json;
  bool throws = false;
};

TEST(ResultDescriptionTest, OnlyWellFormedDescriptionsPassAndTheRestShowTheSize) {
  auto blob = zelcore::allocator::RecycledMemory::Create(3);
  struct Case {
    char const* json;
    bool kept;
  };
  Case const cases[] = {
      {R"({"name":"x","fields":{"a":1,"b":[1,{"c":"d"}]},"units":{"a":"s","b.c":"dB"}})", true},
      {R"({"units":{},"fields":{},"name":"order does not matter"})", true},
      {R"({"name":"x","fields":{},"units":{},"extra":[1,2,{"units":3}]})", true},
      {R"({"name":"x","fields":{"units":{"a":1}},"units":{}})", true},  // a field may be called units
      {R"({"name":"x","fields":{}})", false},                           // no units
      {R"({"name":"x","units":{}})", false},                            // no fields
      {R"({"fields":{},"units":{}})", false},                           // no name
      {R"({"name":7,"fields":{},"units":{}})", false},
      {R"({"name":{"a":"b"},"fields":{},"units":{}})", false},
      {R"({"name":"x","fields":[],"units":{}})", false},
      {R"({"name":"x","fields":{},"units":{"a":1}})", false},  // a unit that is not text
      {R"({"name":"x","fields":{},"units":{"a":{"b":"s"}}})", false},
      {R"({"name":"x","fields":{},"units":"s"})", false},
      {R"([{"name":"x","fields":{},"units":{}}])", false},
      {R"("name")", false},
      {R"({"name":"x","fields":{},"units":{}})"
       "trailing",
       false},
      {R"({"name":"x","fields":{},"units":{})", false},  // cut short
      {"", false},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.json);
    auto describer = ScriptedDescriber::CreateClassRef();
    describer->json = c.json;
    zelcore::InterfaceRef<IAnalyzer> const analyzer(describer);
    ResultDescription const description =
        DescribeAnalyzerResult(analyzer, "fallback", ImmutableString::Create("result"), blob);
    EXPECT_EQ(description.summary, c.kept ? "one line" : "3 bytes");
    if (!c.kept) {
      EXPECT_EQ(description.json, R"({"name":"fallback","fields":{"size":3},"units":{"size":"bytes"}})");
    }
  }

  // A summary of more than one line, or a describer that throws, is not shown either.
  auto describer = ScriptedDescriber::CreateClassRef();
  describer->json = R"({"name":"x","fields":{},"units":{}})";
  describer->summary = "two\nlines";
  zelcore::InterfaceRef<IAnalyzer> const analyzer(describer);
  EXPECT_EQ(DescribeAnalyzerResult(analyzer, "f", ImmutableString(), blob).summary, "3 bytes");
  describer->summary = "one line";
  describer->throws = true;
  EXPECT_EQ(DescribeAnalyzerResult(analyzer, "f", ImmutableString(), blob).summary, "3 bytes");
}

}  // namespace
}  // namespace Quillan
