#include <gtest/gtest.h>

#include <any>
#include <string>

#include "Analyzers/ExampleAnalyzers.h"
#include "Analyzers/ParameterDescription.h"
#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Host/AnalyzerRegistry.h"
#include "Support/SineWave.h"
#include "Tools/AnalyzerJobs.h"

namespace Quillan::Examples {
namespace {

using namespace testsupport::jobs;

// The example analyzer `name`, built for a clip that is never read, with `parameter`.
zelcore::InterfaceRef<IAnalyzer> Build(std::string_view name, std::any const& parameter) {
  auto const clip =
      BE::ProjectFactory::CreateClip(BE::ProjectFactory::CreateMedia(u"/nonexistent/x.wav"), BE::kMediaType_Audio);
  return AnalyzerRegistry::GetDefaultRegistry()->GetAnalyzerFactory(*FindExampleAnalyzer(name))(
      clip, parameter, zelcore::InterfaceWeakRef<IAnalyzerHost>());
}

std::string KeyOf(std::string_view name, std::string const& parameter) {
  return Build(name, std::any(parameter))->GetSerializedParameter().ToUTF8String();
}

TEST(ExampleAnalyzerParametersTest, EverySpellingOfTheSameSettingsKeysOneCacheEntry) {
  struct Case {
    char const* analyzer;
    char const* text;
    char const* key;
  };
  Case const cases[] = {
      {"silence", "threshold=-50,min=0.4", "threshold=-50,min=0.4"},
      {"silence", "min=0.4,threshold=-50", "threshold=-50,min=0.4"},
      {"silence", " threshold = -50.0 , min=0.40", "threshold=-50,min=0.4"},
      {"silence", "stream=1,min=4e-1,threshold=-5e1", "threshold=-50,min=0.4,stream=1"},
      {"silence", "threshold=-50.5", "threshold=-50.5"},
      {"silence", "threshold=-0", "threshold=0"},
      {"silence", "min=2", "min=2"},  // the default value, asked for by name, stays in the text
      {"silence", "min=0.1", "min=0.1"},
      {"silence", "min=0.30000000000000004", "min=0.30000000000000004"},
      {"peaks", "0512", "512"},
      {"peaks", "stream=1, samples=512.0", "512,stream=1"},
      {"peaks", "512 ,stream=1.0", "512,stream=1"},
      {"scenes", "threshold=15", "15"},
      {"scenes", "15.000", "15"},
      {"loudness", "  ", ""},
      {"beats", "stream=02", "stream=2"},
      // A text that does not parse keys as given; its job fails with the parser's message.
      {"silence", "threshold=3", "threshold=3"},
      {"silence", "min=1,min=2", "min=1,min=2"},
      {"beats", "tempo=3", "tempo=3"},
      {"peaks", "12x", "12x"},
      // The digest takes no parameter and keys none.
      {"digest", "min=1", ""},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(std::string(c.analyzer) + " \"" + c.text + "\"");
    EXPECT_EQ(KeyOf(c.analyzer, c.text), c.key);
  }
  // Other ways to give a parameter read the same.
  EXPECT_EQ(Build("peaks", std::any(512))->GetSerializedParameter().ToUTF8String(), "512");
  EXPECT_EQ(Build("scenes", std::any(15.0))->GetSerializedParameter().ToUTF8String(), "15");
  EXPECT_EQ(Build("silence", std::any(ImmutableString::Create("min=0.50")))->GetSerializedParameter().ToUTF8String(),
            "min=0.5");
}

TEST(ExampleAnalyzerParametersTest, EveryAnalyzerDescribesItsParametersAndTheirDefaultsParse) {
  for (std::string_view const name : GetExampleAnalyzerNames()) {
    SCOPED_TRACE(name);
    std::optional<AnalyzerDescription> const description = DescribeAnalyzerParameters(Build(name, std::any()));
    ASSERT_TRUE(description);
    EXPECT_FALSE(description->summary.empty());
    // Every setting written with its default, in the described order, is the analyzer's own canonical text.
    std::string defaults;
    for (ParameterDescription const& parameter : description->parameters) {
      EXPECT_FALSE(parameter.meaning.empty()) << parameter.name;
      EXPECT_FALSE(parameter.range.empty()) << parameter.name;
      ASSERT_TRUE(parameter.minimum && parameter.maximum) << parameter.name;
      if (parameter.defaultValue == "best") continue;  // the stream: no index is the default
      std::string const item = parameter.bare ? parameter.defaultValue : parameter.name + "=" + parameter.defaultValue;
      defaults += (defaults.empty() ? "" : ",") + item;
      double const value = std::stod(parameter.defaultValue);
      EXPECT_GE(value, *parameter.minimum) << parameter.name;
      EXPECT_LE(value, *parameter.maximum) << parameter.name;
    }
    if (name != "digest") {
      EXPECT_EQ(KeyOf(name, defaults), defaults);
    }
  }
  std::optional<AnalyzerDescription> const silence = DescribeAnalyzerParameters(Build("silence", std::any()));
  ASSERT_EQ(silence->parameters.size(), 3u);
  EXPECT_EQ(silence->parameters[0].name, "threshold");
  EXPECT_EQ(silence->parameters[0].defaultValue, "-60");
  EXPECT_EQ(silence->parameters[0].unit, "dBFS");
  EXPECT_EQ(silence->parameters[1].name, "min");
  EXPECT_EQ(silence->parameters[1].unit, "s");
  EXPECT_EQ(silence->parameters[2].name, "stream");
  std::optional<AnalyzerDescription> const peaks = DescribeAnalyzerParameters(Build("peaks", std::any()));
  ASSERT_FALSE(peaks->parameters.empty());
  EXPECT_TRUE(peaks->parameters[0].bare);
  EXPECT_EQ(peaks->parameters[0].defaultValue, std::to_string(kDefaultSamplesPerPeak));
  EXPECT_TRUE(DescribeAnalyzerParameters(Build("digest", std::any()))->parameters.empty());
  EXPECT_FALSE(DescribeAnalyzerParameters(nullptr));
}

using ExampleAnalyzerParametersHostTest = HostedAnalyzersTest;

TEST_F(ExampleAnalyzerParametersHostTest, SpellingsOfOneParameterShareOneComputationAndBadOnesFailClearly) {
  auto const path = directory / "tone.wav";
  testsupport::WriteSine(path, 0.1, 1);
  auto const clip = ClipOf(path);
  auto const silence = *FindExampleAnalyzer("silence");
  EXPECT_FALSE(ResultOf(RunJob(host, clip, silence, std::string("min=0.4,threshold=-50"))).fromCache);
  EXPECT_TRUE(ResultOf(RunJob(host, clip, silence, std::string("threshold=-50,min=0.4"))).fromCache);
  EXPECT_TRUE(ResultOf(RunJob(host, clip, silence, std::string(" threshold = -50.0 , min=0.40"))).fromCache);
  EXPECT_FALSE(ResultOf(RunJob(host, clip, silence, std::string("threshold=-50,min=0.5"))).fromCache);

  struct Case {
    char const* analyzer;
    char const* parameter;
    char const* message;  // a part of the error's text
  };
  Case const cases[] = {
      {"silence", "threshold=-50,threshold=-40", "gives \"threshold\" twice"},
      {"silence", "threshold=abc", "setting \"threshold\" must be a number from -200 to 0, not \"abc\""},
      {"silence", "min=", "an item without a value"},
      {"silence", "7", "a value without a name"},
      {"peaks", "1.5", "peaks parameter must be a whole number from 1 to 2147483647"},
      {"beats", "samples=3", "no setting \"samples\""},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(std::string(c.analyzer) + " " + c.parameter);
    auto const failure =
        testsupport::AwaitFailure(RunJob(host, clip, *FindExampleAnalyzer(c.analyzer), std::string(c.parameter)));
    EXPECT_EQ(testsupport::ResultOf(failure), kResultIllegalArgument) << testsupport::MessageOf(failure);
    EXPECT_NE(testsupport::MessageOf(failure).find(c.message), std::string::npos) << testsupport::MessageOf(failure);
  }
}

}  // namespace
}  // namespace Quillan::Examples
