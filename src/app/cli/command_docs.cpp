#include "app/cli/command_docs.h"

namespace brimvale::app {
namespace {

// Roff reads a leading '.' or '\'' as a request and '\' as an escape; '-'
// must be "\-" to stay a hyphen-minus that can be searched and copied.
std::string roff(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      if ((c == '.' || c == '\'') && (out.empty() || out.back() == '\n')) out += "\\&";
      out += c;
    }
  }
  return out;
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string wordList(const ProgramDoc& doc) {
  std::string words;
  for (const auto& w : doc.words) words += (words.empty() ? "" : " ") + w;
  return words;
}

// Shell function names allow no '-'.
std::string functionName(const ProgramDoc& doc) {
  std::string name = "_" + doc.name;
  for (char& c : name) {
    if (c == '-') c = '_';
  }
  return name;
}

}  // namespace

std::string manPage(const ProgramDoc& doc, std::string_view version) {
  std::string page = ".TH " + upper(roff(doc.name)) + " 1 \"\" \"" + roff(doc.name) + " " +
                     std::string(version) + "\" \"User Commands\"\n";
  page += ".SH NAME\n" + roff(doc.name) + " \\- " + roff(doc.summary) + "\n";
  page += ".SH SYNOPSIS\n.B " + roff(doc.name) + "\n" + roff(doc.synopsis) + "\n";
  page += ".SH SUBCOMMANDS\n";
  for (const auto& row : doc.rows) {
    page += ".TP\n.B " + roff(row.usage) + "\n" + roff(row.help) + "\n";
  }
  page += ".SH NOTES\n" + roff(doc.notes) + "\n";
  return page;
}

std::string bashCompletion(const ProgramDoc& doc) {
  const std::string fn = functionName(doc);
  return "# bash completion for " + doc.name + "\n" + fn +
         "() {\n"
         "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
         "    COMPREPLY=($(compgen -W \"" +
         wordList(doc) +
         "\" -- \"${COMP_WORDS[1]}\"))\n"
         "  else\n"
         "    COMPREPLY=($(compgen -f -- \"${COMP_WORDS[COMP_CWORD]}\"))\n"
         "  fi\n"
         "}\n"
         "complete -o filenames -F " +
         fn + " " + doc.name + "\n";
}

std::string zshCompletion(const ProgramDoc& doc) {
  return "#compdef " + doc.name + "\n" + "# zsh completion for " + doc.name + "\n" +
         "if (( CURRENT == 2 )); then\n"
         "  compadd -- " +
         wordList(doc) +
         "\n"
         "else\n"
         "  _files\n"
         "fi\n";
}

}  // namespace brimvale::app
