// The bash and zsh completion scripts, made from the tables of commands and options.
#include <string>
#include <string_view>

#include "cli/option_table.h"
#include "sim/trace/event_kinds.h"

namespace orvane::cli {

namespace {

std::string quoted(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out;
}

// bash's case arms: each command's options.
std::string bashCommandCases() {
  std::string out;
  for (const ProgramCommand& command : programCommands()) {
    std::string words;
    for (const OptionRow& row : optionRows()) {
      if ((row.commands & command.bit) == 0) continue;
      words += (words.empty() ? "" : " ") + optionName(row) + (!row.name.empty() && !row.value.empty() ? "=" : "");
    }
    out += "    " + std::string(command.name) + ") options=\"" + words + "\" ;;\n";
  }
  return out;
}

// The trace's event kinds, space separated.
std::string kindWords() {
  std::string out;
  for (const std::string& kind : sim::eventKinds()) out += (out.empty() ? "" : " ") + kind;
  return out;
}

// bash's case arms: the values of each option that takes some.
std::string bashValueCases() {
  std::string out;
  for (const OptionRow& row : optionRows()) {
    if (row.choices.empty()) continue;
    std::string pattern = optionName(row);
    if (row.shortName != 0 && !row.name.empty()) pattern += std::string("|-") + row.shortName;
    const std::string action =
        row.choices == "<dir>"      ? "compgen -d -- \"$cur\""
        : row.choices == "<file>"   ? "compgen -f -- \"$cur\""
        : row.choices == "<device>" ? "_orvane_sim_devices"
        : row.choices == "<kinds>"
            // A comma-separated list: the kinds after the last comma, the rest kept.
            ? "compgen -P \"$([[ $cur == *,* ]] && echo \"${cur%,*},\")\" -W \"" + kindWords() + "\" -- \"${cur##*,}\""
            : "compgen -W \"" + std::string(row.choices) + "\" -- \"$cur\"";
    out.append("    ").append(pattern).append(") mapfile -t COMPREPLY < <(").append(action).append("); return ;;\n");
  }
  return out;
}

// bash's completion of a device's name: the folders orvane-sim keeps the devices in.
constexpr const char* kBashDevices =
    "# The named devices: the folders orvane-sim keeps them in.\n"
    "_orvane_sim_devices() {\n"
    "  local folder=\"${XDG_STATE_HOME:-$HOME/.local/state}/orvane/devices\"\n"
    "  [ -d \"$folder\" ] && (cd \"$folder\" && compgen -d -- \"$cur\")\n"
    "}\n";
constexpr const char* kBashDeviceNames = "mapfile -t COMPREPLY < <(_orvane_sim_devices)";

// bash's tests of the command word: the command takes files ([ "$command" = run ] || ...), and it
// takes a device's name first.
struct BashCommandTests {
  std::string takingFiles;
  std::string takingDevice;
};
BashCommandTests bashCommandTests() {
  BashCommandTests out;
  for (const ProgramCommand& command : programCommands()) {
    if (command.takes == Arguments::kNone) continue;
    const std::string test = std::string("[ \"$command\" = ") + std::string(command.name) + " ]";
    out.takingFiles += (out.takingFiles.empty() ? "" : " || ") + test;
    if (command.takes == Arguments::kDevice) out.takingDevice += (out.takingDevice.empty() ? "" : " || ") + test;
  }
  return out;
}

std::string bashScript() {
  const std::string options = bashCommandCases();
  const std::string values = bashValueCases();
  std::string commands;
  for (const ProgramCommand& command : programCommands()) commands += std::string(command.name) + " ";
  for (const std::string_view word : programWords()) commands += std::string(word) + " ";
  const auto [takingFiles, takingDevice] = bashCommandTests();
  return std::string(
             "# bash completion for orvane-sim, made by 'orvane-sim --complete bash' (installed as\n"
             "# share/bash-completion/completions/orvane-sim)\n") +
         kBashDevices +
         "_orvane_sim() {\n"
         "  local cur prev command option options\n"
         "  cur=${COMP_WORDS[COMP_CWORD]}\n"
         "  prev=${COMP_WORDS[COMP_CWORD-1]}\n"
         "  command=${COMP_WORDS[1]}\n"
         "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
         "    mapfile -t COMPREPLY < <(compgen -W \"" +
         commands +
         "\" -- \"$cur\")\n"
         "    return\n"
         "  fi\n"
         "  # The option whose value is being completed: bash splits \"--trace=js\" at \"=\" into three\n"
         "  # words (or keeps it whole when \"=\" is not a word break); a short option takes the next word.\n"
         "  option=\"\"\n"
         "  if [ \"$cur\" = \"=\" ]; then\n"
         "    option=$prev\n"
         "    cur=\"\"\n"
         "  elif [ \"$prev\" = \"=\" ] && [ \"$COMP_CWORD\" -ge 3 ]; then\n"
         "    option=${COMP_WORDS[COMP_CWORD-2]}\n"
         "  elif [[ \"$cur\" == --*=* ]]; then\n"
         "    option=${cur%%=*}\n"
         "    cur=${cur#*=}\n"
         "  elif [[ \"$prev\" == -? ]]; then\n"
         "    option=$prev\n"
         "  fi\n"
         "  case \"$option\" in\n" +
         values +
         "  esac\n"
         "  case \"$command\" in\n" +
         options +
         "    *) return ;;\n"
         "  esac\n"
         "  case \"$cur\" in\n"
         "    -*) mapfile -t COMPREPLY < <(compgen -W \"$options\" -- \"$cur\"); compopt -o nospace; return ;;\n"
         "  esac\n"
         "  # A command that names a device takes its name first.\n"
         "  if { " +
         takingDevice + "; } && [ \"$COMP_CWORD\" -eq 2 ]; then\n    " + kBashDeviceNames +
         "\n    return\n  fi\n"
         "  " +
         takingFiles +
         " && mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n"
         "}\n"
         "complete -F _orvane_sim orvane-sim\n";
}

// zsh's completion of a device's name: the folders orvane-sim keeps the devices in.
constexpr const char* kZshDevices = "_files -W ${XDG_STATE_HOME:-$HOME/.local/state}/orvane/devices -/";

std::string zshSpec(const OptionRow& row) {
  const std::string brief = "[" + quoted(row.brief) + "]";
  std::string action;
  if (!row.value.empty()) {
    std::string lower(row.value);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    action = ":" + lower + ":";
    if (row.choices == "<dir>") {
      action += "_directories";
    } else if (row.choices == "<device>") {
      action += kZshDevices;
    } else if (row.choices == "<kinds>") {
      action += "_values -s , kind " + kindWords();
    } else if (row.choices == "<file>") {
      action += "_files";
    } else if (!row.choices.empty()) {
      action += "(" + std::string(row.choices) + ")";
    }
  }
  const std::string longName = row.name.empty() ? "" : "--" + std::string(row.name) + (row.value.empty() ? "" : "=");
  if (row.shortName != 0 && !row.name.empty()) {
    const std::string s = std::string("-") + row.shortName;
    return "'(" + s + " --" + std::string(row.name) + ")'{" + s + "," + longName + "}'" + brief + action + "'";
  }
  if (row.shortName != 0) return "'*-" + std::string(1, row.shortName) + brief + action + "'";
  return "'" + longName + brief + action + "'";
}

std::string zshScript() {
  std::string out =
      "#compdef orvane-sim\n"
      "# zsh completion for orvane-sim, made by 'orvane-sim --complete zsh' (installed as\n"
      "# share/zsh/site-functions/_orvane-sim)\n"
      "if (( CURRENT == 2 )); then\n"
      "  _values 'command'";
  for (const ProgramCommand& command : programCommands()) {
    out += " '" + std::string(command.name) + "[" + quoted(command.brief) + "]'";
  }
  out += "\n  return\nfi\ncase $words[2] in\n";
  for (const ProgramCommand& command : programCommands()) {
    out += "  " + std::string(command.name) + ")\n    _arguments -s";
    for (const OptionRow& row : optionRows()) {
      if ((row.commands & command.bit) != 0) out += " \\\n      " + zshSpec(row);
    }
    if (command.takes == Arguments::kFiles) out += " \\\n      '*:scenario:_files'";
    if (command.takes == Arguments::kOneFileAtMost) out += " \\\n      '::scenario:_files'";
    if (command.takes == Arguments::kDevice)
      out += std::string(" \\\n      '1:device:") + kZshDevices + "' '*:file:_files'";
    out += "\n    ;;\n";
  }
  return out + "esac\n";
}

}  // namespace

std::string completionScript(std::string_view shell) {
  if (shell == "bash") return bashScript();
  if (shell == "zsh") return zshScript();
  return "";
}

}  // namespace orvane::cli
