#include "app/cli/command_docs.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "common/base/text_formats.h"

namespace brimvale::app {
namespace {

// The code point of the UTF-8 sequence starting at text[i], and its length.
std::pair<unsigned, std::size_t> codePoint(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned lead = byte(i);
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (length == 1 || i + length > text.size()) return {lead, 1};
  unsigned value = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) value = (value << 6) | (byte(i + k) & 0x3F);
  return {value, length};
}

// Roff reads a leading '.' or '\'' as a request and '\' as an escape; '-'
// must be "\-" to stay a hyphen-minus that can be searched and copied, and
// anything beyond ASCII is named ("\[u2192]") as groff reads bytes, not UTF-8.
std::string roff(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (static_cast<unsigned char>(c) >= 0x80) {
      const auto [value, length] = codePoint(text, i);
      char name[16];
      std::snprintf(name, sizeof name, "\\[u%04X]", value);
      out += name;
      i += length;
      continue;
    }
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      if ((c == '.' || c == '\'') && (out.empty() || out.back() == '\n')) out += "\\&";
      out += c;
    }
    ++i;
  }
  return out;
}

// CLI11 shows a value's choices in its type name: "TEXT:{name,size}".
std::vector<std::string> choicesIn(const std::string& typeName) {
  const auto open = typeName.find(":{");
  const auto close = typeName.rfind('}');
  if (open == std::string::npos || close == std::string::npos || close < open) return {};
  std::vector<std::string> choices;
  for (auto word :
       splitFields(std::string_view(typeName).substr(open + 2, close - open - 2), ",")) {
    choices.emplace_back(trimBlanks(word));
  }
  return choices;
}

std::string valueName(const std::string& typeName) {
  return typeName.substr(0, typeName.find(':'));
}

DocOption docOption(const CLI::Option& option) {
  DocOption doc{.help = option.get_description(), .fallback = option.get_default_str()};
  for (const auto& s : option.get_snames()) doc.names.push_back("-" + s);
  for (const auto& l : option.get_lnames()) doc.names.push_back("--" + l);
  if (option.get_items_expected_max() > 0) {
    doc.value = valueName(option.get_type_name());
    doc.choices = choicesIn(option.get_type_name());
  }
  return doc;
}

DocArgument docArgument(const CLI::Option& option, std::string_view command,
                        const std::vector<CompletionLookup>& lookups) {
  DocArgument doc{.name = asciiUpper(option.get_name()),
                  .help = option.get_description(),
                  .choices = choicesIn(option.get_type_name()),
                  .required = option.get_required(),
                  .repeats = option.get_items_expected_max() > 1};
  for (const auto& l : lookups) {
    if (l.command == command && l.argument == option.get_name()) {
      doc.lookup = l.list;
      doc.paths = l.paths;
    }
  }
  return doc;
}

std::string usageOf(const DocCommand& command) {
  if (!command.usage.empty()) return command.usage;
  std::string usage = command.name;
  for (const auto& a : command.arguments) {
    const std::string word = a.name + (a.repeats ? "..." : "");
    usage += " " + (a.required ? word : "[" + word + "]");
  }
  return usage;
}

std::string optionTerm(const DocOption& option) {
  return joinedWith(option.names, ", ") + (option.value.empty() ? "" : " " + option.value);
}

// The help, then "(one of: a, b; default: a)" when there is a choice or a default.
std::string withValues(const std::string& help, const std::vector<std::string>& choices,
                       const std::string& fallback) {
  std::string note = choices.empty() ? "" : "one of: " + joinedWith(choices, ", ");
  if (!fallback.empty()) note += (note.empty() ? "" : "; ") + ("default: " + fallback);
  if (note.empty() || help.empty()) return help + note;
  return help + " (" + note + ")";
}

std::string optionText(const DocOption& option) {
  return withValues(option.help, option.choices, option.fallback);
}

std::string tagged(std::string_view term, std::string_view text) {
  return ".TP\n.B " + roff(term) + "\n" + roff(text) + "\n";
}

std::string rowSection(std::string_view title, const std::vector<DocRow>& rows) {
  if (rows.empty()) return "";
  std::string out = ".SH " + std::string(title) + "\n";
  for (const auto& row : rows) out += tagged(row.term, row.text);
  return out;
}

std::string commandItem(const DocCommand& command) {
  std::string out = tagged(usageOf(command), command.help);
  if (command.arguments.empty() && command.options.empty()) return out;
  out += ".RS\n";
  for (const auto& a : command.arguments) out += tagged(a.name, withValues(a.help, a.choices, ""));
  for (const auto& o : command.options) out += tagged(optionTerm(o), optionText(o));
  return out + ".RE\n";
}

// --- completion -------------------------------------------------------------

// Shell function names allow no '-'.
std::string functionName(std::string_view as) {
  std::string name = "_" + std::string(as);
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

// Every word is a fixed name from the tables: quoted anyway, so a name with
// a shell character could only ever be offered, never run.
std::string completionWord(std::string_view word) {
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string printWords(const std::vector<std::string>& words) {
  std::string out = "printf '%s\\n'";
  for (const auto& w : words) out += " " + completionWord(w);
  return out;
}

std::vector<std::string> optionNames(const std::vector<DocOption>& options) {
  std::vector<std::string> names;
  for (const auto& o : options) names.insert(names.end(), o.names.begin(), o.names.end());
  return names;
}

// CLI11's names of number values: no path fits those.
bool isNumber(std::string_view valueName) {
  return valueName == "INT" || valueName == "UINT" || valueName == "FLOAT";
}

// What a value or argument completes to; "@files" asks the shell for paths.
std::string completes(const std::vector<std::string>& choices, const std::string& lookup,
                      bool paths) {
  if (!choices.empty()) return printWords(choices);
  std::string out;
  if (!lookup.empty()) out = "\"$prog\" __complete " + lookup + " 2>/dev/null";
  if (paths) out += std::string(out.empty() ? "" : "; ") + "echo @files";
  return out.empty() ? ":" : out;
}

void valuedCases(std::string& out, std::string_view scope, const std::vector<DocOption>& options) {
  for (const auto& o : options) {
    if (o.value.empty()) continue;
    for (const auto& n : o.names) {
      out += "    " + completionWord(std::string(scope) + " " + n) + ") " +
             completes(o.choices, "", !isNumber(o.value)) + " ;;\n";
    }
  }
}

// The shell functions both shells share: plain POSIX words bash and zsh read
// alike. `candidates` reads the words typed so far and prints what the last
// one may become, one per line.
std::string completionCore(const ProgramDoc& doc, const std::string& fn) {
  std::string out = fn + "_valued() {\n  case \"$1 $2\" in\n";
  valuedCases(out, "", doc.options);
  for (const auto& c : doc.commands) valuedCases(out, c.name, c.options);
  out += "    *) return 1 ;;\n  esac\n}\n";

  out += fn + "_options() {\n  case \"$1\" in\n";
  out += "    '') " + printWords(optionNames(doc.options)) + " ;;\n";
  for (const auto& c : doc.commands) {
    if (!c.options.empty())
      out += "    " + completionWord(c.name) + ") " + printWords(optionNames(c.options)) + " ;;\n";
  }
  out += "  esac\n}\n";

  out += fn + "_argument() {\n  local prog=$1\n  case \"$2 $3\" in\n";
  for (const auto& c : doc.commands) {
    for (std::size_t i = 0; i < c.arguments.size(); ++i) {
      const auto& a = c.arguments[i];
      const std::string key = c.name + " " + (a.repeats ? "" : std::to_string(i + 1));
      out += "    " + completionWord(key) + (a.repeats ? "*" : "") + ") " +
             completes(a.choices, a.lookup, a.paths) + " ;;\n";
    }
  }
  out += "    *) echo @files ;;\n  esac\n}\n";

  std::vector<std::string> names;
  for (const auto& c : doc.commands) names.push_back(c.name);
  out += fn + "_candidates() {\n" +
         "  local prog=$1 sub='' n=0 option='' w\n"
         "  shift\n"
         "  while [ $# -gt 1 ]; do\n"
         "    w=$1\n"
         "    shift\n"
         "    if [ \"$w\" = = ]; then\n"
         "      :\n"
         "    elif [ -n \"$option\" ]; then\n"
         "      option=''\n"
         "    elif [ \"${w#-}\" != \"$w\" ]; then\n"
         "      case \"$w\" in *=*) ;; *) " +
         fn +
         "_valued \"$sub\" \"$w\" >/dev/null && option=$w ;; esac\n"
         "    elif [ -z \"$sub\" ]; then\n"
         "      sub=$w\n"
         "    else\n"
         "      n=$((n + 1))\n"
         "    fi\n"
         "  done\n"
         "  if [ -n \"$option\" ]; then\n"
         "    " +
         fn +
         "_valued \"$sub\" \"$option\"\n"
         "  elif [ \"${1#-}\" != \"$1\" ]; then\n"
         "    " +
         fn +
         "_options \"$sub\"\n"
         "  elif [ -z \"$sub\" ]; then\n"
         "    " +
         printWords(names) +
         "\n"
         "  else\n"
         "    " +
         fn +
         "_argument \"$prog\" \"$sub\" $((n + 1))\n"
         "  fi\n"
         "}\n";
  return out;
}

}  // namespace

std::vector<DocOption> cliOptions(const CLI::App& app) {
  std::vector<DocOption> options;
  for (const CLI::Option* o : app.get_options()) {
    if (o->nonpositional()) options.push_back(docOption(*o));
  }
  return options;
}

std::vector<DocCommand> cliCommands(const CLI::App& app,
                                    const std::vector<CompletionLookup>& lookups) {
  std::vector<DocCommand> commands;
  for (const CLI::App* sub :
       app.get_subcommands([](const CLI::App* s) { return !s->get_group().empty(); })) {
    DocCommand command{.name = sub->get_name(), .help = sub->get_description()};
    for (const CLI::Option* o : sub->get_options()) {
      if (o == sub->get_help_ptr()) continue;  // every subcommand has it; the page says so once
      if (o->nonpositional()) {
        command.options.push_back(docOption(*o));
      } else {
        command.arguments.push_back(docArgument(*o, command.name, lookups));
      }
    }
    commands.push_back(std::move(command));
    // Nested subcommands read as "outer inner".
    for (auto nested : cliCommands(*sub, lookups)) {
      nested.name = sub->get_name() + " " + nested.name;
      commands.push_back(std::move(nested));
    }
  }
  return commands;
}

std::string manPage(const ProgramDoc& doc, std::string_view version) {
  std::string page = ".TH " + roff(asciiUpper(doc.name)) + " 1 \"\" \"" + roff(doc.name) + " " +
                     std::string(version) + "\" \"User Commands\"\n";
  page += ".SH NAME\n" + roff(doc.name) + " \\- " + roff(doc.summary) + "\n";
  page += ".SH SYNOPSIS\n.B " + roff(doc.name) + "\n" + roff(doc.synopsis) + "\n";
  page += ".SH DESCRIPTION\n";
  for (std::size_t i = 0; i < doc.description.size(); ++i) {
    page += (i == 0 ? "" : ".PP\n") + roff(doc.description[i]) + "\n";
  }
  if (!doc.options.empty()) {
    page += ".SH OPTIONS\n";
    for (const auto& o : doc.options) page += tagged(optionTerm(o), optionText(o));
  }
  page += ".SH COMMANDS\n";
  for (const auto& c : doc.commands) {
    if (!c.help.empty()) page += commandItem(c);  // without: shown on another row's line
  }
  page += rowSection("EXIT STATUS", doc.exitStatus);
  page += rowSection("ENVIRONMENT", doc.environment);
  page += rowSection("FILES", doc.files);
  page += rowSection("EXAMPLES", doc.examples);
  if (!doc.seeAlso.empty()) page += ".SH SEE ALSO\n" + roff(joinedWith(doc.seeAlso, ", ")) + "\n";
  return page;
}

std::string bashCompletion(const ProgramDoc& doc, std::string_view as) {
  const std::string fn = functionName(as);
  return "# bash completion for " + std::string(as) + "\n" + completionCore(doc, fn) + fn +
         "() {\n"
         "  local IFS=$'\\n' cur=${COMP_WORDS[COMP_CWORD]} w\n"
         // bash splits "--sort=size" at '=': the value is typed after it.
         "  [ \"$cur\" = = ] && cur=''\n"
         "  local -a words=()\n"
         "  COMPREPLY=()\n"
         "  for w in $(" +
         fn +
         "_candidates \"${COMP_WORDS[@]:0:COMP_CWORD+1}\"); do\n"
         "    if [ \"$w\" = @files ]; then\n"
         "      COMPREPLY+=($(compgen -f -- \"$cur\"))\n"
         "    else\n"
         "      words+=(\"$w\")\n"
         "    fi\n"
         "  done\n"
         "  COMPREPLY+=($(compgen -W \"${words[*]}\" -- \"$cur\"))\n"
         "}\n"
         "complete -o filenames -F " +
         fn + " " + std::string(as) + "\n";
}

std::string zshCompletion(const ProgramDoc& doc, std::string_view as) {
  const std::string fn = functionName(as);
  return "#compdef " + std::string(as) + "\n# zsh completion for " + std::string(as) + "\n" +
         completionCore(doc, fn) + fn +
         "() {\n"
         "  local w\n"
         "  local -a found\n"
         "  for w in ${(f)\"$(" +
         fn +
         "_candidates \"${(@)words[1,CURRENT]}\")\"}; do\n"
         "    if [[ $w == @files ]]; then\n"
         "      _files\n"
         "    else\n"
         "      found+=(\"$w\")\n"
         "    fi\n"
         "  done\n"
         "  (( ${#found} )) && compadd -- \"${found[@]}\"\n"
         "}\n" +
         fn + " \"$@\"\n";
}

}  // namespace brimvale::app
