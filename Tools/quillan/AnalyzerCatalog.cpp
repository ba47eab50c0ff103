#include "quillan/AnalyzerCatalog.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <exception>
#include <iostream>
#include <iterator>
#include <memory>
#include <string_view>
#include <tuple>

#include "Analyzers/AnalyzerBase.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "Analyzers/ParameterDescription.h"
#include "BE/Media.h"
#include "BE/ProjectFactory.h"
#include "BE/Result.h"
#include "BE/SettingsFileException.h"
#include "Host/AnalyzerModule.h"
#include "Host/AnalyzerRegistry.h"
#include "quillan/DidYouMean.h"
#include "quillan/OutputFormat.h"
#include "quillan/ResultFormatting.h"
#include "quillan/SharedOptions.h"
#include "quillan/TextTable.h"

namespace Quillan::Cli {
namespace {

using zelcore::InterfaceRef;
using zelcore::utility::Guid;

// The clip that factories are shown when the tool only wants to learn about their analyzers. Its media is offline;
// nothing is analysed.
InterfaceRef<BE::IClip> PlaceholderClip() {
  auto const media = BE::ProjectFactory::CreateMedia(u"/nonexistent/quillan-placeholder.wav");
  return BE::ProjectFactory::CreateClip(media, BE::kMediaType_Audio);
}

// The name the tool knows `id` by without building its analyzer: the example module's name for it, or the GUID text.
std::string NameWithoutAnalyzer(Guid const& id) {
  for (std::string_view const name : Examples::GetExampleAnalyzerNames()) {
    if (Examples::FindExampleAnalyzer(name) == id) return std::string(name);
  }
  return id.AsUTF8String();
}

// Throws on a settings problem that `failure` holds: every factory that reads the settings would fail alike, so it is
// the run's problem, told once by main, and not one analyzer's.
void ThrowSettingsProblem(std::exception_ptr const& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (BE::exSettingsFile const&) {
    throw;
  } catch (zelcore::config::zel_exception const& error) {
    if (error.GetResult() == BE::kResultSettingsFile) throw;
  } catch (...) {
  }
}

AnalyzerInfo Describe(RegisteredAnalyzer const& registered, InterfaceRef<BE::IClip> const& clip) {
  AnalyzerInfo info{.name = NameWithoutAnalyzer(registered.id), .id = registered.id, .type = registered.type};
  try {
    AnalyzerFactory const factory = AnalyzerRegistry::GetDefaultRegistry()->GetAnalyzerFactory(registered.id);
    InterfaceRef<IAnalyzer> const analyzer = factory(clip, std::any(), {});
    if (!analyzer) return info;
    info.target = analyzer->GetTargetObjectType();
    info.maxJobCount = analyzer->GetMaxJobCount();
    auto const base = InterfaceRef<Analyzers::AnalyzerBase>::Query(analyzer);
    if (base && !base->GetAnalyzerName().empty()) info.name = base->GetAnalyzerName().ToUTF8String();
    info.description = DescribeAnalyzerParameters(analyzer);
  } catch (...) {
    // Anything a module throws, std::exception or not: one broken module must not hide or end the others.
    ThrowSettingsProblem(std::current_exception());
    info.target.reset();
    info.maxJobCount.reset();
    info.description.reset();
    info.failure = ExceptionText(std::current_exception());
    if (info.failure.empty()) info.failure = "failed";
  }
  return info;
}

std::string TargetName(AnalyzerInfo const& info) {
  if (!info.failure.empty()) return "failed";
  if (!info.target) return "unknown";
  return *info.target == TargetObjectType::kMedia ? "media" : "clip";
}

std::string LimitText(AnalyzerInfo const& info) {
  if (!info.target) return "unknown";
  return info.maxJobCount ? std::to_string(*info.maxJobCount) : "none";
}

nlohmann::ordered_json ParametersJson(AnalyzerInfo const& info) {
  if (!info.description) return nullptr;
  nlohmann::ordered_json parameters = nlohmann::ordered_json::array();
  for (ParameterDescription const& parameter : info.description->parameters) {
    parameters.push_back({{"name", parameter.name},
                          {"meaning", parameter.meaning},
                          {"default", parameter.defaultValue},
                          {"range", parameter.range},
                          {"min", parameter.minimum ? nlohmann::ordered_json(*parameter.minimum) : nullptr},
                          {"max", parameter.maximum ? nlohmann::ordered_json(*parameter.maximum) : nullptr},
                          {"unit", parameter.unit},
                          {"bare", parameter.bare}});
  }
  return parameters;
}

// What each analyzer does and its settings, below the table: a line per analyzer, an indented line per setting.
std::string ParameterList(std::vector<AnalyzerInfo> const& catalog) {
  std::string text =
      "\nParameters: --param NAME=SETTING=VALUE,... (e.g. --param silence=threshold=-50,min=0.5); a setting not given "
      "keeps its default.\n";
  for (AnalyzerInfo const& info : catalog) {
    if (!info.failure.empty()) continue;
    if (!info.description) {
      text += Printable(info.name) + ": (tells nothing of its parameters)\n";
      continue;
    }
    text += Printable(info.name) + ": " + Printable(info.description->summary) +
            (info.description->parameters.empty() ? "; no parameters" : "") + "\n";
    std::size_t width = 0;
    for (ParameterDescription const& parameter : info.description->parameters) {
      width = std::max(width, parameter.name.size());
    }
    for (ParameterDescription const& parameter : info.description->parameters) {
      text += "  " + Printable(parameter.name) + std::string(width - parameter.name.size() + 2, ' ') +
              Printable(SettingText(parameter)) + "\n";
    }
  }
  return text;
}

}  // namespace

void LoadAnalyzerModules(std::vector<std::string> const& paths) {
  for (std::string const& path : paths) LoadAnalyzerModule(path);
}

zelcore::InterfaceRef<IAnalyzer> BuildPlaceholderAnalyzer(Guid const& id) {
  try {
    AnalyzerFactory const factory = AnalyzerRegistry::GetDefaultRegistry()->GetAnalyzerFactory(id);
    return factory ? factory(PlaceholderClip(), std::any(), {}) : nullptr;
  } catch (...) {
    ThrowSettingsProblem(std::current_exception());
    return nullptr;  // its results show as their size
  }
}

std::vector<AnalyzerInfo> ListAnalyzers() {
  auto const clip = PlaceholderClip();
  std::vector<AnalyzerInfo> catalog;
  for (RegisteredAnalyzer const& registered : GetRegisteredAnalyzers()) catalog.push_back(Describe(registered, clip));
  std::sort(catalog.begin(), catalog.end(), [](AnalyzerInfo const& a, AnalyzerInfo const& b) {
    return std::tie(a.name, a.id) < std::tie(b.name, b.id);
  });
  return catalog;
}

std::vector<AnalyzerInfo> TypeZeroAnalyzers(std::vector<AnalyzerInfo> const& catalog) {
  std::vector<AnalyzerInfo> typeZero;
  std::copy_if(catalog.begin(), catalog.end(), std::back_inserter(typeZero), [](AnalyzerInfo const& info) {
    return info.type == AnalyzerType{0} && (info.target || !info.failure.empty());
  });
  return typeZero;
}

AnalyzerInfo ResolveAnalyzer(std::vector<AnalyzerInfo> const& catalog, std::string const& text,
                             std::string const& command) {
  if (std::optional<Guid> const id = Guid::FromString(text)) {
    for (AnalyzerInfo const& info : catalog) {
      if (info.id == *id) return info;
    }
    throw UsageError("no analyzer is registered under " + id->AsUTF8String(), command);
  }
  std::vector<AnalyzerInfo const*> matches;
  for (AnalyzerInfo const& info : catalog) {
    if (info.name == text) matches.push_back(&info);
  }
  if (matches.size() == 1) return *matches.front();
  if (matches.empty()) {
    std::string known;
    std::vector<std::string> names;
    for (AnalyzerInfo const& info : catalog) {
      known += (known.empty() ? "" : ", ") + info.name;
      names.push_back(info.name);
    }
    throw UsageError("unknown analyzer \"" + text + "\"" + DidYouMean(text, names) +
                         " (known: " + (known.empty() ? "none" : known) + ")",
                     command);
  }
  std::string ids;
  for (AnalyzerInfo const* info : matches) ids += " " + info->id.AsUTF8String();
  throw UsageError("several analyzers are named \"" + text + "\"; give one of their GUIDs:" + ids, command);
}

std::string AnalyzerNameOf(std::vector<AnalyzerInfo> const& catalog, Guid const& id) {
  for (AnalyzerInfo const& info : catalog) {
    if (info.id == id) return info.name;
  }
  return id.AsUTF8String();
}

std::string SettingText(ParameterDescription const& parameter) {
  std::string text = parameter.defaultValue + (parameter.unit.empty() ? "" : " " + parameter.unit) + " by default";
  if (!parameter.range.empty()) text += ", " + parameter.range;
  if (!parameter.meaning.empty()) text += ": " + parameter.meaning;
  if (parameter.bare) text += "; a value without a name sets it";
  return text;
}

namespace {

// `quillan analyzers [--format F] [--plugin FILE.so]...`. An analyzer whose factory failed is listed with target
// "failed" and its message (also on stderr), and the command returns kExitFailed.
int RunAnalyzersCommand(OutputFormat format, std::vector<std::string> const& modules) {
  LoadAnalyzerModules(modules);
  std::vector<AnalyzerInfo> const catalog = ListAnalyzers();
  auto const json = [](AnalyzerInfo const& info) {
    nlohmann::ordered_json value = {{"name", info.name},
                                    {"id", info.id.AsUTF8String()},
                                    {"type", static_cast<std::uint32_t>(info.type)},
                                    {"target", TargetName(info)},
                                    {"maxJobs", nullptr},
                                    {"failure", nullptr},
                                    {"description", nullptr},
                                    {"parameters", ParametersJson(info)}};
    if (info.maxJobCount) value["maxJobs"] = *info.maxJobCount;
    if (!info.failure.empty()) value["failure"] = info.failure;
    if (info.description) value["description"] = info.description->summary;
    return value;
  };
  bool anyFailed = false;
  for (AnalyzerInfo const& info : catalog) {
    if (info.failure.empty()) continue;
    anyFailed = true;
    std::string const id = info.id.AsUTF8String();
    std::cerr << "quillan: analyzer " << Printable(info.name) << (info.name == id ? "" : " (" + id + ")")
              << " cannot be built: " << Printable(info.failure) << "\n";
  }
  switch (format) {
    case OutputFormat::kJson: {
      nlohmann::ordered_json document = {{"schema", kSchemaVersion}, {"analyzers", nlohmann::ordered_json::array()}};
      for (AnalyzerInfo const& info : catalog) document["analyzers"].push_back(json(info));
      std::cout << JsonText(document) << "\n";
      break;
    }
    case OutputFormat::kNdjson:
      for (AnalyzerInfo const& info : catalog) {
        nlohmann::ordered_json line = {{"schema", kSchemaVersion}};
        line.update(json(info));
        std::cout << JsonText(line) << "\n";
      }
      break;
    case OutputFormat::kCsv:
      std::cout << CsvLine(
          {"schema", "name", "id", "type", "target", "maxJobs", "failure", "description", "parameters"});
      for (AnalyzerInfo const& info : catalog) {
        // The settings' names, space-separated; their details are in the JSON.
        std::string names;
        if (info.description) {
          for (ParameterDescription const& parameter : info.description->parameters) {
            names += (names.empty() ? "" : " ") + parameter.name;
          }
        }
        std::cout << CsvLine({std::to_string(kSchemaVersion), info.name, info.id.AsUTF8String(),
                              std::to_string(static_cast<std::uint32_t>(info.type)), TargetName(info),
                              info.maxJobCount ? std::to_string(*info.maxJobCount) : "", info.failure,
                              info.description ? info.description->summary : "", names});
      }
      break;
    case OutputFormat::kTable: {
      TextTable table({"NAME", "GUID", "TYPE", "TARGET", "JOB LIMIT"});
      for (AnalyzerInfo const& info : catalog) {
        table.AddRow({Printable(info.name), info.id.AsUTF8String(),
                      std::to_string(static_cast<std::uint32_t>(info.type)), TargetName(info), LimitText(info)});
      }
      std::cout << table.Format() << ParameterList(catalog);
      break;
    }
  }
  return anyFailed ? kExitFailed : kExitOk;
}

}  // namespace

void AddAnalyzersCommand(CLI::App& app, CommandActions& actions) {
  struct Options {
    OutputFormat format = OutputFormat::kTable;
    std::vector<std::string> modules;
  };
  auto const options = std::make_shared<Options>();
  CLI::App& command = *app.add_subcommand(
      "analyzers", "list the registered analyzers, what each does and the settings of its parameter (--param)");
  AddFormatOptions(command, options->format);
  AddPluginOption(command, options->modules);
  actions.Set(command, [options] { return RunAnalyzersCommand(options->format, options->modules); });
}

}  // namespace Quillan::Cli
