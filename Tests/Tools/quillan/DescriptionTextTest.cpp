#include "quillan/DescriptionText.h"

#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

namespace Quillan::Cli {
namespace {

using Json = nlohmann::ordered_json;

// What the JSON formats carried before the text was spliced: the description parsed, its members picked, written.
std::string Parsed(ResultDescription const& description) {
  Json parsed = Json::parse(description.json);
  Json const carried = {{"name", parsed["name"]},
                        {"summary", description.summary},
                        {"fields", parsed["fields"]},
                        {"units", parsed["units"]}};
  return carried.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Describers may write any well-formed text: spaces and lines between tokens, members in any order and more of
// them, strings holding JSON's own punctuation and escapes, keys spelled with escapes, a key twice.
TEST(DescriptionTextTest, CarriesWhatParsingTheTextWouldCarry) {
  ResultDescription const descriptions[] = {
      {"3 cuts", R"({"name":"scenes","fields":{"cuts":[1,2,3],"rate":25.0},"units":{"rate":"fps"}})"},
      {"spaced",
       "{\n  \"units\" : { \"a\" : \"s\" } ,\n  \"extra\" : [ 1 , { \"x\" : null } ],\n  \"fields\" :"
       " {\n    \"a\" : [ true , false , -1.5e-3 ]\n  },\n  \"name\" : \"spaced out\"\n}\n"},
      {"punctuation", R"({"name":"a \"quoted\" {name}, [with] : marks \\","fields":{"text":"}],:{[\\\"","n":0},)"
                      R"("units":{}})"},
      {"escaped key", R"({"n\u0061me":"escaped","fields":{},"units":{"\u00e9":"\n"}})"},
      {"twice", R"({"name":"first","fields":{"a":1},"units":{},"name":"second"})"},
      {"summary \"quoted\" \xff", R"({"name":"x","fields":{"s":"caf\u00e9 \u2603"},"units":{}})"},
  };
  for (ResultDescription const& description : descriptions) {
    SCOPED_TRACE(description.json);
    std::string const text = DescriptionJsonText(description);
    EXPECT_EQ(Json::parse(text), Json::parse(Parsed(description)));
    EXPECT_EQ(text.find('\n'), std::string::npos);  // one NDJSON line
  }
  // The example analyzers' own text, as compact as their JSON library writes it, comes out byte for byte.
  EXPECT_EQ(DescriptionJsonText(descriptions[0]), Parsed(descriptions[0]));
}

}  // namespace
}  // namespace Quillan::Cli
