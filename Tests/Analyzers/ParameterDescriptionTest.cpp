#include "Analyzers/ParameterDescription.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "Analyzers/AnalyzerBase.h"

namespace Quillan {
namespace {

// An analyzer that describes itself as the test says.
class DescribingAnalyzer : public Analyzers::AnalyzerBase,
                           public IParameterDescriber,
                           public zelcore::classref::ClassStatics<DescribingAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Test::DescribingAnalyzer")
  using zelcore::classref::ClassStatics<DescribingAnalyzer>::CreateClassRef;

  Guid GetAnalyzerGuid() const override { return Guid(); }
  TargetObjectType GetTargetObjectType() const override { return TargetObjectType::kMedia; }
  zelcore::async::Future<std::any> StartAnalysis(std::shared_ptr<zelcore::async::AsyncExecutor> const&,
                                                 AnalysisOptions const&) override {
    return zelcore::async::MakeReadyFuture(std::any());
  }
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create("describing"); }
  CacheKeys GetCacheKeys() const override { return {}; }

  // IParameterDescriber:
  AnalyzerDescription DescribeAnalyzer() const override { return describe(); }

  void* QueryMap(std::string_view name) override {
    if (name == IParameterDescriber::InterfaceName()) return static_cast<IParameterDescriber*>(this);
    return AnalyzerBase::QueryMap(name);
  }

  std::function<AnalyzerDescription()> describe;
};

ParameterDescription Setting(std::string name) {
  return {std::move(name), "what it does", "1", "0 to 2", 0.0, 2.0, "s", false};
}

TEST(ParameterDescriptionTest, OnlyWellFormedDescriptionsAreHandedOn) {
  auto const analyzer = DescribingAnalyzer::CreateClassRef();
  auto const described = [&analyzer](AnalyzerDescription description) {
    analyzer->describe = [description] { return description; };
    return DescribeAnalyzerParameters(zelcore::InterfaceRef<IAnalyzer>(analyzer)).has_value();
  };
  ParameterDescription bare = Setting("level");
  bare.bare = true;
  ParameterDescription reversed = Setting("level");
  reversed.minimum = 3.0;
  ParameterDescription multiLine = Setting("level");
  multiLine.meaning = "two\nlines";
  struct Case {
    char const* what;
    AnalyzerDescription description;
    bool handedOn;
  };
  Case const cases[] = {
      {"no settings", {"measures", {}}, true},
      {"two settings, one bare", {"measures", {bare, Setting("stream")}}, true},
      {"a summary of two lines", {"measures\nand more", {}}, false},
      {"a name given twice", {"measures", {Setting("level"), Setting("level")}}, false},
      {"an empty name", {"measures", {Setting("")}}, false},
      {"a name with '='", {"measures", {Setting("a=b")}}, false},
      {"a name with a space", {"measures", {Setting("a b")}}, false},
      {"a name with a comma", {"measures", {Setting("a,b")}}, false},
      {"two bare settings",
       {"measures",
        {bare,
         [&] {
           ParameterDescription other = bare;
           other.name = "other";
           return other;
         }()}},
       false},
      {"a minimum above the maximum", {"measures", {reversed}}, false},
      {"a meaning of two lines", {"measures", {multiLine}}, false},
  };
  for (Case const& c : cases) EXPECT_EQ(described(c.description), c.handedOn) << c.what;

  analyzer->describe = []() -> AnalyzerDescription { throw std::runtime_error("no"); };
  EXPECT_FALSE(DescribeAnalyzerParameters(zelcore::InterfaceRef<IAnalyzer>(analyzer)));
  EXPECT_FALSE(DescribeAnalyzerParameters(nullptr));
}

}  // namespace
}  // namespace Quillan
