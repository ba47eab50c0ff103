#include "quillan/SidecarCommands.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "DataStoreAdaptors/SidecarFile.h"
#include "quillan/JsonWriter.h"
#include "quillan/TextTable.h"
#include "zelcore/ZelException.h"

namespace Quillan::Cli {
namespace {

using zelcore::config::zel_exception;
using zelcore::utility::Guid;

// The item's values as (key, blob) pairs sorted by key, bytewise.
std::vector<std::pair<std::string, zelcore::Blob>> SortedValues(SideCarAnalyzerItem const& item) {
  std::vector<std::pair<std::string, zelcore::Blob>> values(item.values.begin(), item.values.end());
  std::sort(values.begin(), values.end(), [](auto const& a, auto const& b) { return a.first < b.first; });
  return values;
}

std::size_t SizeOf(zelcore::Blob const& blob) { return blob ? blob->size() : 0; }

// The example analyzers' names, so that a dump says whose results it shows.
std::string ExampleNameOf(Guid const& id) {
  for (std::string_view const name : Examples::GetExampleAnalyzerNames()) {
    if (Examples::FindExampleAnalyzer(name) == id) return std::string(name);
  }
  return {};
}

int Dump(ArgumentCursor& arguments) {
  std::string file;
  bool json = false;
  while (!arguments.AtEnd()) {
    if (arguments.TakeFlag("--json")) {
      json = true;
    } else if (file.empty()) {
      file = arguments.TakePositional("FILE");
    } else {
      arguments.RejectNext();
    }
  }
  if (file.empty()) throw UsageError("missing FILE", arguments.Command());
  auto const data = ReadSidecarFile(file);

  if (json) {
    JsonWriter out;
    out.BeginObject().Key("items").BeginArray();
    for (auto const& [key, item] : data->items) {
      out.BeginObject().Key("analyzer").String(item.analyzerId.AsUTF8String());
      out.Key("dataSource").String(item.dataSourceId).Key("values").BeginArray();
      for (auto const& [valueKey, blob] : SortedValues(item)) {
        out.BeginObject().Key("key").String(valueKey).Key("size").Unsigned(SizeOf(blob)).EndObject();
      }
      out.EndArray().EndObject();
    }
    out.EndArray().EndObject();
    std::cout << out.Text() << "\n";
    return kExitOk;
  }
  std::cout << Printable(file) << ": " << data->items.size() << (data->items.size() == 1 ? " item" : " items") << "\n";
  for (auto const& [key, item] : data->items) {
    std::string const name = ExampleNameOf(item.analyzerId);
    std::cout << "\nanalyzer     " << item.analyzerId.AsUTF8String() << (name.empty() ? "" : " (" + name + ")")
              << "\ndata source  " << Printable(item.dataSourceId) << "\n";
    TextTable table({"  KEY", "BYTES"});
    for (auto const& [valueKey, blob] : SortedValues(item)) {
      table.AddRow({"  " + Printable(valueKey), std::to_string(SizeOf(blob))});
    }
    std::cout << table.Format();
  }
  return kExitOk;
}

int Get(ArgumentCursor& arguments) {
  std::string file, analyzer, dataSource, key, output;
  bool haveAnalyzer = false, haveDataSource = false, haveKey = false, haveOutput = false;
  while (!arguments.AtEnd()) {
    if (arguments.TakeOption("--analyzer", analyzer)) {
      haveAnalyzer = true;
    } else if (arguments.TakeOption("--data-source", dataSource)) {
      haveDataSource = true;
    } else if (arguments.TakeOption("--key", key)) {
      haveKey = true;
    } else if (arguments.TakeOption("-o", output)) {
      haveOutput = true;
    } else if (file.empty()) {
      file = arguments.TakePositional("FILE");
    } else {
      arguments.RejectNext();
    }
  }
  if (file.empty()) throw UsageError("missing FILE", arguments.Command());
  if (!haveAnalyzer || !haveDataSource || !haveKey) {
    throw UsageError("--analyzer, --data-source and --key are all required", arguments.Command());
  }
  std::optional<Guid> const analyzerId = Guid::FromString(analyzer);
  if (!analyzerId) throw UsageError("--analyzer expects a GUID, not \"" + analyzer + "\"", arguments.Command());
  if (haveOutput && output.empty()) throw UsageError("-o needs a file name", arguments.Command());

  auto const data = ReadSidecarFile(file);
  auto const item = data->items.find(SideCarAnalyzerItemKey{*analyzerId, dataSource});
  if (item == data->items.end()) throw zel_exception("Analyzer Item not found in cache", kResultSidecarEntryNotFound);
  auto const value = item->second.values.find(key);
  if (value == item->second.values.end()) throw zel_exception("Value not found in cache", kResultSidecarEntryNotFound);
  zelcore::Blob const& blob = value->second;
  auto const* bytes = blob ? reinterpret_cast<char const*>(blob->data()) : nullptr;
  auto const size = static_cast<std::streamsize>(SizeOf(blob));

  if (!haveOutput) {
    std::cout.write(bytes, size);
    std::cout.flush();
    if (!std::cout) throw CommandFailure("could not write the value to standard output");
    return kExitOk;
  }
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  if (out) out.write(bytes, size);
  if (out) out.close();
  if (!out) throw CommandFailure("could not write " + output);
  return kExitOk;
}

int Verify(ArgumentCursor& arguments) {
  std::vector<std::string> files;
  while (!arguments.AtEnd()) files.push_back(arguments.TakePositional("FILE"));
  if (files.empty()) throw UsageError("missing FILE", arguments.Command());
  int exitCode = kExitOk;
  for (std::string const& file : files) {
    try {
      auto const data = ReadSidecarFile(file);
      std::size_t values = 0;
      for (auto const& [key, item] : data->items) values += item.values.size();
      std::cout << Printable(file) << ": ok (" << data->items.size()
                << (data->items.size() == 1 ? " item, " : " items, ") << values
                << (values == 1 ? " value)" : " values)") << "\n";
    } catch (std::exception const& error) {
      std::cout << Printable(file) << ": " << error.what() << "\n";
      exitCode = kExitFailed;
    }
  }
  return exitCode;
}

}  // namespace

std::shared_ptr<SideCarSerializationData> ReadSidecarFile(std::filesystem::path const& path) {
  // As the store reads it: no link followed, no FIFO waited on, nothing too large for the format read whole.
  return SidecarDataStoreAdaptorSerialization::DeserializeDataStoreFromBinary(SidecarFile::Read(path));
}

int RunSidecarCommand(ArgumentCursor& arguments) {
  std::string const action = arguments.TakePositional("dump, get or verify");
  if (action == "dump" || action == "get" || action == "verify") arguments.SetCommand("sidecar " + action);
  if (action == "dump") return Dump(arguments);
  if (action == "get") return Get(arguments);
  if (action == "verify") return Verify(arguments);
  throw UsageError("unknown sidecar action \"" + action + "\" (dump, get or verify)", arguments.Command());
}

}  // namespace Quillan::Cli
