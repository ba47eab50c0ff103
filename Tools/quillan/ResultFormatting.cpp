#include "quillan/ResultFormatting.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "Analyzers/AnalyzerBase.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Foundation/FutureExceptions.h"
#include "quillan/AnalyzerCatalog.h"

namespace Quillan::Cli {

ResultDescription ResultDescriber::Describe(zelcore::utility::Guid const& id, std::string const& name,
                                            std::optional<std::string> const& storedKey, zelcore::Blob const& blob) {
  zelcore::InterfaceRef<IAnalyzer> analyzer;
  {
    std::lock_guard lock(mutex_);
    std::string const text = id.AsUTF8String();
    auto found = analyzers_.find(text);
    if (found == analyzers_.end()) found = analyzers_.emplace(text, BuildPlaceholderAnalyzer(id)).first;
    analyzer = found->second;
  }
  Analyzers::AnalyzerBase::CacheKeys keys;
  if (auto const base = zelcore::InterfaceRef<Analyzers::AnalyzerBase>::Query(analyzer)) {
    keys = base->GetCacheKeys();
  }
  auto key = zelcore::utility::ImmutableString::Create(storedKey.value_or("result"));
  for (zelcore::utility::ImmutableString const& own : keys) {
    std::string const ownText = own.ToUTF8String();
    if (!storedKey || *storedKey == ownText || storedKey->ends_with("__" + ownText)) {
      key = own;
      break;
    }
  }
  return DescribeAnalyzerResult(analyzer, name, key, blob);
}

nlohmann::ordered_json DescriptionJson(ResultDescription const& description) {
  // DescribeAnalyzerResult hands out well-formed JSON only.
  nlohmann::ordered_json parsed = nlohmann::ordered_json::parse(description.json);
  return {{"name", std::move(parsed["name"])},
          {"summary", description.summary},
          {"fields", std::move(parsed["fields"])},
          {"units", std::move(parsed["units"])}};
}

std::string ResultCodeText(zelcore::config::Result code) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08x", static_cast<unsigned>(code));
  return buffer;
}

std::string DescribeFailure(zelcore::config::Result code, std::string const& message) {
  if (code == kResultJobCancelled) return "cancelled";
  if (!message.empty()) return message;
  switch (code) {
    case kResultJobCancelled:
      return "cancelled";
    case kResultUnavailable:
      return "not available: the host refused the file or built no analyzer, or no cache could serve the request";
    case kResultNotCached:
      return "nothing cached";
    case kResultAnalyzerNotRegistered:
      return "no analyzer is registered under this GUID";
    case kResultNotImplemented:
      return "the analyzer does not provide this operation";
    case kResultTargetMissing:
      return "the analyzer's clip or media is missing";
    case zelcore::config::kResultFileRead:
      return "the file could not be read";
    case zelcore::async::kResultBrokenPromise:
      return "the job was dropped before it ended";
    default:
      return "failed";
  }
}

std::string ExceptionText(std::exception_ptr const& failure) {
  if (!failure) return {};
  try {
    std::rethrow_exception(failure);
  } catch (std::exception const& error) {
    return error.what();
  } catch (...) {
    // A module may throw anything at all (an int, a struct of its own); its type is all there is to tell.
    std::type_info const* const type = abi::__cxa_current_exception_type();
    if (type == nullptr) return "an exception of unknown type";
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> const name(abi::__cxa_demangle(type->name(), nullptr, nullptr, &status),
                                                           &std::free);
    return std::string("an exception of type ") + (status == 0 && name ? name.get() : type->name()) +
           ", which is not a std::exception";
  }
}

}  // namespace Quillan::Cli
