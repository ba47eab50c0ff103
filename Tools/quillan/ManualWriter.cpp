#include "quillan/ManualWriter.h"

#include <CLI/CLI.hpp>
#include <fstream>
#include <sstream>
#include <vector>

#include "quillan/ToolErrors.h"

namespace Quillan::Cli {
namespace {

// The commands that the manual shows: all but the hidden ones, depth first.
void Collect(CLI::App const& app, std::vector<CLI::App const*>& commands) {
  commands.push_back(&app);
  for (CLI::App const* sub : app.get_subcommands({})) {
    if (!sub->get_group().empty()) Collect(*sub, commands);
  }
}

std::string PathOf(CLI::App const& command) {
  std::string path;
  for (CLI::App const* at = &command; at != nullptr && at->get_parent() != nullptr; at = at->get_parent()) {
    path = at->get_name() + (path.empty() ? "" : " " + path);
  }
  return path;
}

std::vector<std::string> NamesOf(CLI::Option const& option) {
  std::vector<std::string> names;
  for (std::string const& name : option.get_snames()) names.push_back("-" + name);
  for (std::string const& name : option.get_lnames()) names.push_back("--" + name);
  return names;
}

bool TakesValue(CLI::Option const& option) { return option.get_expected_min() > 0; }

std::string Join(std::vector<std::string> const& words, std::string const& separator) {
  std::string text;
  for (std::string const& word : words) text += (text.empty() ? "" : separator) + word;
  return text;
}

// Text for roff: backslashes and hyphens escaped, no line starting with a control character.
std::string Roff(std::string const& text) {
  std::string out;
  bool lineStart = true;
  for (char const c : text) {
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    lineStart = c == '\n';
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Usage(CLI::App const& command) {
  std::string const path = PathOf(command);
  auto const formatter = std::dynamic_pointer_cast<CLI::Formatter>(command.get_formatter());
  std::string usage = formatter->make_usage(&command, "quillan" + (path.empty() ? "" : " " + path));
  usage = usage.substr(usage.find(':') + 2);
  while (!usage.empty() && usage.back() == '\n') usage.pop_back();
  return usage;
}

void WriteOptions(std::ostream& out, CLI::App const& command) {
  for (CLI::Option const* option : command.get_options()) {
    out << ".TP\n";
    if (option->get_positional()) {
      out << "\\fI" << Roff(option->get_name()) << "\\fR\n";
    } else {
      std::vector<std::string> names;
      for (std::string const& name : NamesOf(*option)) names.push_back("\\fB" + Roff(name) + "\\fR");
      out << Join(names, ", ");
      if (TakesValue(*option)) out << " \\fI" << Roff(option->get_type_name()) << "\\fR";
      out << "\n";
    }
    out << Roff(option->get_description()) << "\n";
  }
}

// The analyzers and the settings of their parameters, as `quillan analyzers` lists them.
void WriteAnalyzers(std::ostream& out, std::vector<AnalyzerInfo> const& analyzers) {
  out << ".SH ANALYZERS\nThe registered analyzers and the settings of their parameters, as \\fBquillan analyzers\\fR "
         "lists them. A parameter is text: comma-separated SETTING=VALUE items, given with \\fB\\-\\-param\\fR "
         "NAME=SETTING=VALUE,... (\\fB\\-\\-param silence=threshold=\\-50,min=0.5\\fR); a setting not given "
         "keeps its default. Spaces, the order of the settings and the spelling of numbers do not matter: each such "
         "text keys one cached result.\n";
  for (AnalyzerInfo const& info : analyzers) {
    if (!info.failure.empty()) continue;
    out << ".TP\n\\fB" << Roff(info.name) << "\\fR\n";
    if (!info.description) {
      out << "Tells nothing of its parameters.\n";
      continue;
    }
    out << Roff(info.description->summary) << (info.description->parameters.empty() ? "; no parameters." : ".") << "\n";
    if (info.description->parameters.empty()) continue;
    out << ".RS\n";
    for (ParameterDescription const& parameter : info.description->parameters) {
      out << ".TP\n\\fB" << Roff(parameter.name) << "\\fR\n" << Roff(SettingText(parameter)) << "\n";
    }
    out << ".RE\n";
  }
}

std::string ManPage(CLI::App const& app, std::vector<AnalyzerInfo> const& analyzers, std::string const& version) {
  std::ostringstream out;
  out << ".TH QUILLAN 1 \"\" \"quillan " << Roff(version) << "\" \"User Commands\"\n";
  out << ".SH NAME\nquillan \\- " << Roff(app.get_description()) << "\n";
  out << ".SH SYNOPSIS\n.B quillan\n[\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fIARGUMENTS\\fR]\n";
  out << ".SH DESCRIPTION\n" << Roff(app.get_description()) << "\n";
  out << ".PP\nThe commands are below; \\fBquillan help\\fR \\fICOMMAND\\fR prints the same text for one of them.\n";
  out << ".SH OPTIONS\nThese come before \\fICOMMAND\\fR.\n";
  WriteOptions(out, app);
  out << ".SH COMMANDS\n";
  std::vector<CLI::App const*> commands;
  Collect(app, commands);
  for (CLI::App const* command : commands) {
    if (command == &app) continue;
    out << ".SS \"" << Roff(Usage(*command)) << "\"\n" << Roff(command->get_description()) << "\n";
    if (!command->get_aliases().empty()) {
      out << "Also: " << Roff(Join(command->get_aliases(), ", ")) << ".\n";
    }
    WriteOptions(out, *command);
  }
  WriteAnalyzers(out, analyzers);
  std::string footer = app.get_footer();
  footer = footer.substr(footer.find('\n') + 1);
  out << ".SH EXIT STATUS\n" << Roff(footer) << "\n";
  out << ".SH FILES\n.TP\n\\fI$QUILLAN_CONFIG_DIR/properties\\fR\nthe settings file\n";
  out << ".TP\n\\fI$QUILLAN_CACHE_DIR/AnalyzerCache\\fR\nthe managed analyzer cache\n";
  return out.str();
}

// A bash `case` over command paths, each printing `words(command)`.
template <typename Words>
std::string CaseOverPaths(std::vector<CLI::App const*> const& commands, Words const& words) {
  std::string text = "  case \"$1\" in\n";
  for (CLI::App const* command : commands) {
    text += "    \"" + PathOf(*command) + "\") echo \"" + words(*command) + "\" ;;\n";
  }
  return text + "  esac\n";
}

// The bash that fills COMPREPLY with the completions of "$2" that `words` (as WriteManual takes them) gives.
std::string Completions(std::string const& words) {
  if (words == "@analyzers") return "COMPREPLY=($(compgen -W \"$(_quillan_analyzer_names)\" -- \"$2\"))";
  // An analyzer's parameter starts with its name and "="; no space goes after it.
  if (words == "@parameters") {
    return "COMPREPLY=($(compgen -S = -W \"$(_quillan_analyzer_names)\" -- \"$2\")); compopt -o nospace 2>/dev/null";
  }
  // The words given so far name a command, one word at a time; offer the next.
  if (words == "@commands") {
    return "local topic=\"\" word; for word in \"${args[@]}\"; do topic=\"${topic:+$topic }$(_quillan_canonical "
           "\"$word\")\"; done; COMPREPLY=($(compgen -W \"$(_quillan_commands \"$topic\")\" -- \"$2\"))";
  }
  if (words == "@directories") return "COMPREPLY=($(compgen -d -- \"$2\"))";
  if (words == "@files") return "COMPREPLY=($(compgen -f -- \"$2\"))";
  return "COMPREPLY=($(compgen -W \"" + words + "\" -- \"$2\"))";
}

std::string BashCompletion(CLI::App const& app, std::map<std::string, std::string> const& valueWords) {
  std::vector<CLI::App const*> commands;
  Collect(app, commands);
  std::string text =
      "# bash completion for quillan; made from the tool's own command line by 'quillan generate-manual'.\n\n";
  text += "_quillan_commands() {\n" +
          CaseOverPaths(commands,
                        [](CLI::App const& command) {
                          std::vector<std::string> names;
                          for (CLI::App const* sub : command.get_subcommands({})) {
                            if (sub->get_group().empty()) continue;
                            names.push_back(sub->get_name());
                            for (std::string const& alias : sub->get_aliases()) names.push_back(alias);
                          }
                          return Join(names, " ");
                        }) +
          "}\n\n";
  text += "_quillan_options() {\n" +
          CaseOverPaths(commands,
                        [](CLI::App const& command) {
                          std::vector<std::string> names;
                          for (CLI::Option const* option : command.get_options()) {
                            for (std::string const& name : NamesOf(*option)) names.push_back(name);
                          }
                          return Join(names, " ");
                        }) +
          "}\n\n";
  text += "_quillan_valued() {\n" +
          CaseOverPaths(commands,
                        [](CLI::App const& command) {
                          std::vector<std::string> names;
                          for (CLI::Option const* option : command.get_options()) {
                            if (!TakesValue(*option) || option->get_positional()) continue;
                            for (std::string const& name : NamesOf(*option)) names.push_back(name);
                          }
                          return Join(names, " ");
                        }) +
          "}\n\n";
  text += "_quillan_canonical() {\n  case \"$1\" in\n";
  for (CLI::App const* command : commands) {
    for (std::string const& alias : command->get_aliases()) {
      text += "    " + alias + ") echo " + command->get_name() + " ;;\n";
    }
  }
  text += "    *) echo \"$1\" ;;\n  esac\n}\n\n";
  text +=
      "_quillan_analyzer_names() {\n  \"${COMP_WORDS[0]}\" analyzers --format csv 2>/dev/null | tail -n +2 | cut -d, "
      "-f2\n}\n\n";
  // An option of one command ("export --to") before the options of the same name elsewhere.
  text += "_quillan_values() {\n  case \"$3 $1\" in\n";
  for (auto const& [option, words] : valueWords) {
    std::size_t const space = option.find(" -");
    if (!option.starts_with("-") && space != std::string::npos) {
      text += "    \"" + option + "\") " + Completions(words) + " ;;\n";
    }
  }
  for (auto const& [option, words] : valueWords) {
    if (option.starts_with("-")) text += "    *\" " + option + "\") " + Completions(words) + " ;;\n";
  }
  text += "    *) COMPREPLY=($(compgen -f -- \"$2\")) ;;\n  esac\n}\n\n";
  // Positional arguments by "PATH#INDEX"; one that takes several words, by "PATH#" and any index from its own on.
  text += "_quillan_arguments() {\n  case \"$1\" in\n";
  for (CLI::App const* command : commands) {
    std::size_t index = 0;
    for (CLI::Option const* option : command->get_options()) {
      if (!option->get_positional()) continue;
      auto const words = valueWords.find(PathOf(*command) + " " + option->get_name());
      bool const several = option->get_items_expected_max() > 1;
      if (words != valueWords.end()) {
        text += "    \"" + PathOf(*command) + "#" + (several ? "\"*" : std::to_string(index) + "\"") + ") " +
                Completions(words->second) + " ;;\n";
      }
      ++index;
    }
  }
  text += "    *) COMPREPLY=($(compgen -f -- \"$2\")) ;;\n  esac\n}\n\n";
  text += R"bash(_quillan() {
  local cur="${COMP_WORDS[COMP_CWORD]}" prev="" path="" word i args=()
  ((COMP_CWORD > 1)) && prev="${COMP_WORDS[COMP_CWORD - 1]}"
  for ((i = 1; i < COMP_CWORD; i++)); do
    word="${COMP_WORDS[i]}"
    if [[ "$word" == -* ]]; then
      [[ " $(_quillan_valued "$path") " == *" $word "* ]] && ((i++))
    elif ((${#args[@]} == 0)) && [[ " $(_quillan_commands "$path") " == *" $word "* ]]; then
      path="${path:+$path }$(_quillan_canonical "$word")"
    else
      args+=("$word")
    fi
  done
  if [[ -n "$prev" && " $(_quillan_valued "$path") " == *" $prev "* ]]; then
    _quillan_values "$prev" "$cur" "$path"
  elif [[ "$cur" == -* ]]; then
    COMPREPLY=($(compgen -W "$(_quillan_options "$path")" -- "$cur"))
  elif [[ -n "$(_quillan_commands "$path")" ]]; then
    COMPREPLY=($(compgen -W "$(_quillan_commands "$path")" -- "$cur"))
  else
    _quillan_arguments "$path#${#args[@]}" "$cur"
  fi
}
complete -o filenames -F _quillan quillan
)bash";
  return text;
}

}  // namespace

void WriteManual(CLI::App const& app, ManualKind kind, std::map<std::string, std::string> const& valueWords,
                 std::vector<AnalyzerInfo> const& analyzers, std::string const& output, std::string const& version) {
  std::string const text =
      kind == ManualKind::kManPage ? ManPage(app, analyzers, version) : BashCompletion(app, valueWords);
  std::ofstream file(output, std::ios::binary | std::ios::trunc);
  if (file) file << text;
  if (file) file.close();
  if (!file) throw CommandFailure("could not write " + output);
}

}  // namespace Quillan::Cli
