#include "CommandDocs.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace kxmp::tools {

namespace {

// ---- the command tree, as the documents need it ----------------------------------------

struct OptionDoc {
  std::vector<std::string> names;  // "-v", "--verbose"; for a positional its name alone
  bool positional = false;
  bool takesValue = false;
  bool required = false;
  std::string valueName;  // "DIR", "FILE", "UINT64", "STATE"
  std::string kind;       // "dir", "file", "choice" or "" (nothing to complete)
  std::vector<std::string> choices;
  std::string description;
};

struct CommandDoc {
  std::vector<std::string> path;  // {"catalog", "list"}; empty for the program
  std::string description;
  std::string text;  // unindented footer lines
  std::vector<std::string> examples;
  std::vector<OptionDoc> options;
  std::vector<CommandDoc> subcommands;
  bool needsSubcommand = false;
};

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

OptionDoc Describe(const CLI::Option& opt) {
  OptionDoc d;
  d.positional = opt.get_lnames().empty() && opt.get_snames().empty();
  if (d.positional) {
    d.names.push_back(opt.get_single_name());
  } else {
    for (const std::string& s : opt.get_snames()) d.names.push_back("-" + s);
    for (const std::string& l : opt.get_lnames()) d.names.push_back("--" + l);
  }
  d.takesValue = d.positional || opt.get_items_expected_min() > 0;
  d.required = opt.get_required();
  d.description = opt.get_description();
  // "TEXT:{online,offline}": the value's name, then what its validators say.
  const std::string type = opt.get_type_name();
  d.valueName = d.positional ? d.names.front() : type.substr(0, type.find(':'));
  const std::string base = type.substr(0, type.find(':'));
  if (base == "DIR") d.kind = "dir";
  if (base == "FILE" || base == "PATH") d.kind = "file";
  const size_t open = type.find(":{");
  if (open != std::string::npos && type.back() == '}') {
    std::string list = type.substr(open + 2, type.size() - open - 3);
    size_t start = 0;
    while (start <= list.size()) {
      size_t comma = list.find(',', start);
      if (comma == std::string::npos) comma = list.size();
      d.choices.push_back(list.substr(start, comma - start));
      start = comma + 1;
    }
    d.kind = "choice";
    if (!d.positional) d.valueName = "{" + list + "}";
  }
  return d;
}

CommandDoc Walk(const CLI::App& app, std::vector<std::string> path) {
  CommandDoc doc;
  doc.path = path;
  doc.description = app.get_description();
  doc.needsSubcommand = app.get_require_subcommand_min() > 0;
  bool inExamples = false;
  for (const std::string& line : SplitLines(app.get_footer())) {
    if (line == "Example:" || line == "Examples:") {
      inExamples = true;
    } else if (inExamples && line.rfind("  ", 0) == 0) {
      doc.examples.push_back(line.substr(line.find_first_not_of(' ')));
    } else if (!line.empty()) {
      inExamples = false;
      doc.text += (doc.text.empty() ? "" : "\n") + line;
    }
  }
  for (const CLI::Option* opt : app.get_options()) {
    if (opt->get_group().empty()) continue;  // hidden
    doc.options.push_back(Describe(*opt));
  }
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    std::vector<std::string> subPath = path;
    subPath.push_back(sub->get_name());
    doc.subcommands.push_back(Walk(*sub, subPath));
  }
  return doc;
}

std::string Join(const std::vector<std::string>& words, const std::string& separator) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : separator) + w;
  return out;
}

// ---- completion ------------------------------------------------------------------------

// Quoted for a shell's double quotes (names and values hold no quotes or dollars).
std::string ShellWord(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\' || c == '$' || c == '`') out += '\\';
    out += c;
  }
  return out;
}

std::string FunctionName(const std::string& program) {
  std::string name = "_" + program;
  for (char& c : name) {
    if (c == '-') c = '_';
  }
  return name;
}

// The data both shells read, as case statements on the subcommand path (words joined by
// spaces): <fn>_tree PATH sets subs (the subcommands), opts (the options) and vals (the
// options that take a value); <fn>_kind PATH OPTION sets kind and choices for an option's
// value, and for the positional arguments when OPTION is empty.
void AddTreeCases(const CommandDoc& doc, std::string& tree, std::string& kinds) {
  const std::string key = Join(doc.path, " ");
  std::vector<std::string> subs, opts, vals;
  for (const CommandDoc& s : doc.subcommands) subs.push_back(s.path.back());
  bool positional = false;
  for (const OptionDoc& o : doc.options) {
    if (o.positional) {
      if (!positional) {
        kinds += "    \"" + ShellWord(key) + "|\") kind=" + (o.kind.empty() ? "none" : o.kind) + "; choices=\"" +
                 ShellWord(Join(o.choices, " ")) + "\" ;;\n";
      }
      positional = true;
      continue;
    }
    for (const std::string& n : o.names) {
      opts.push_back(n);
      if (!o.takesValue) continue;
      vals.push_back(n);
      kinds += "    \"" + ShellWord(key + "|" + n) + "\") kind=" + (o.kind.empty() ? "none" : o.kind) +
               "; choices=\"" + ShellWord(Join(o.choices, " ")) + "\" ;;\n";
    }
  }
  tree += "    \"" + ShellWord(key) + "\") subs=\"" + Join(subs, " ") + "\"; opts=\"" + Join(opts, " ") +
          "\"; vals=\"" + Join(vals, " ") + "\" ;;\n";
  for (const CommandDoc& s : doc.subcommands) AddTreeCases(s, tree, kinds);
}

std::string TreeFunctions(const CommandDoc& root, const std::string& fn) {
  std::string tree, kinds;
  AddTreeCases(root, tree, kinds);
  std::string out;
  out += fn + "_tree() {\n  subs=; opts=; vals=\n  case $1 in\n" + tree + "  esac\n}\n";
  // An option of an outer command may stand after a subcommand: the innermost that knows it.
  out += fn + "_kind() {\n  local at=$1\n  kind=none; choices=\n  while :; do\n    case \"$at|$2\" in\n" + kinds +
         "    *)\n      [ -n \"$2\" ] && [ -n \"$at\" ] || return 0\n"
         "      case $at in *\" \"*) at=${at% *} ;; *) at= ;; esac\n      continue ;;\n    esac\n    return 0\n"
         "  done\n}\n";
  // The subcommand path of the words before the cursor; an option's value is skipped.
  out += fn + "_walk() {\n  local i w allvals\n  cmdpath=\n  " + fn +
         "_tree \"\"\n  allvals=\" $vals \"\n  for ((i = $1; i < $2; i++)); do\n    w=${cmdwords[i]}\n"
         "    if [[ $w == -* ]]; then\n      [[ $w != *=* && $allvals == *\" $w \"* ]] && ((i++))\n      continue\n"
         "    fi\n    if [[ \" $subs \" == *\" $w \"* ]]; then\n      cmdpath=${cmdpath:+$cmdpath }$w\n      " +
         fn + "_tree \"$cmdpath\"\n      allvals=\"$allvals$vals \"\n    fi\n  done\n}\n";
  return out;
}

// ---- roff --------------------------------------------------------------------------------

std::string Roff(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (char c : text) {
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
    lineStart = c == '\n';
  }
  return out;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string PageName(const ProgramDocs& docs, const CommandDoc& doc) {
  return doc.path.empty() ? docs.program : docs.program + "-" + doc.path.front();
}

// One option as a tagged paragraph: its names, its value, what it does.
std::string OptionEntry(const OptionDoc& o) {
  std::vector<std::string> names;
  for (const std::string& n : o.names) names.push_back(o.positional ? "\\fI" + Roff(n) + "\\fR" : "\\fB" + Roff(n) + "\\fR");
  std::string out = ".TP\n" + Join(names, ", ");
  if (o.takesValue && !o.positional) out += " \\fI" + Roff(o.valueName) + "\\fR";
  return out + "\n" + Roff(o.description) + (o.required ? " (required)" : "") + "\n";
}

std::string OptionsSection(const CommandDoc& doc, const char* heading) {
  std::string out;
  for (const OptionDoc& o : doc.options) {
    if (out.empty()) out += std::string(".SH ") + heading + "\n";
    out += OptionEntry(o);
  }
  return out;
}

std::string Synopsis(const ProgramDocs& docs, const CommandDoc& doc) {
  std::string out = ".SH SYNOPSIS\n.B " + docs.program + "\n";
  if (!doc.path.empty()) out += "[\\fIGLOBAL OPTIONS\\fR]\n";
  for (const std::string& p : doc.path) out += ".B " + Roff(p) + "\n";
  if (!doc.options.empty()) out += "[\\fIOPTIONS\\fR]\n";
  if (!doc.subcommands.empty()) out += "\\fISUBCOMMAND\\fR ...\n";
  for (const OptionDoc& o : doc.options) {
    if (o.positional) out += "[\\fI" + Roff(o.names.front()) + "\\fR ...]\n";
  }
  return out;
}

std::string Examples(const std::vector<std::string>& examples) {
  if (examples.empty()) return std::string();
  // One block per example, so that they never run together.
  std::string out = ".SH EXAMPLES\n";
  for (const std::string& e : examples) out += ".PP\n.nf\n" + Roff(e) + "\n.fi\n";
  return out;
}

std::string SharedSections(const ProgramDocs& docs, const std::vector<std::string>& seeAlso) {
  std::string out;
  auto table = [&](const char* heading, const std::vector<std::pair<std::string, std::string>>& rows, const char* font) {
    if (rows.empty()) return;
    out += std::string(".SH ") + heading + "\n";
    for (const auto& [term, text] : rows) out += ".TP\n\\f" + std::string(font) + Roff(term) + "\\fR\n" + Roff(text) + "\n";
  };
  table("EXIT STATUS", docs.exitStatus, "B");
  table("ENVIRONMENT", docs.environment, "B");
  table("FILES", docs.files, "I");
  if (!seeAlso.empty()) {
    std::vector<std::string> refs;
    for (const std::string& s : seeAlso) {
      const size_t paren = s.find('(');
      refs.push_back("\\fB" + Roff(s.substr(0, paren)) + "\\fR" + s.substr(paren));
    }
    out += ".SH SEE ALSO\n" + Join(refs, ",\n") + "\n";
  }
  return out;
}

std::string Header(const ProgramDocs& docs, const std::string& page, const std::string& summary) {
  return ".\\\" Made by " + docs.program + " from its own command table.\n.TH " + Upper(page) + " 1 \"\" \"" +
         docs.program + " " + docs.version + "\" \"" + docs.pageTitle + "\"\n.SH NAME\n" + Roff(page) + " \\- " +
         Roff(summary) + "\n";
}

// The subcommands below a page's own command, each with its options.
std::string NestedSections(const CommandDoc& doc) {
  std::string out;
  for (const CommandDoc& s : doc.subcommands) {
    out += ".SS " + Roff(Join(s.path, " ")) + "\n" + Roff(s.description) + "\n";
    for (const OptionDoc& o : s.options) out += OptionEntry(o);
    for (const std::string& e : s.examples) out += ".PP\nExample:\n.nf\n" + Roff(e) + "\n.fi\n";
    out += NestedSections(s);
  }
  return out;
}

std::string SubcommandPage(const ProgramDocs& docs, const CommandDoc& doc, const CommandDoc& root) {
  const std::string page = PageName(docs, doc);
  std::string out = Header(docs, page, doc.description) + Synopsis(docs, doc);
  out += ".SH DESCRIPTION\n" + Roff(doc.description) + ".\n";
  if (!doc.text.empty()) out += ".PP\n" + Roff(doc.text) + "\n";
  out += ".PP\nThe global options of \\fB" + docs.program + "\\fR(1) may stand before the subcommand.\n";
  out += OptionsSection(doc, "OPTIONS");
  if (!doc.subcommands.empty()) out += ".SH SUBCOMMANDS\n" + NestedSections(doc);
  out += Examples(doc.examples);
  std::vector<std::string> seeAlso{docs.program + "(1)"};
  for (const std::string& s : docs.seeAlso) seeAlso.push_back(s);
  for (const CommandDoc& other : root.subcommands) {
    if (&other != &doc) seeAlso.push_back(PageName(docs, other) + "(1)");
  }
  return out + SharedSections(docs, seeAlso);
}

std::string ProgramPage(const ProgramDocs& docs, const CommandDoc& root) {
  std::string out = Header(docs, docs.program, docs.summary) + Synopsis(docs, root);
  out += ".SH DESCRIPTION\n" + Roff(docs.summary) + ".\n";
  if (!root.text.empty()) out += ".PP\n" + Roff(root.text) + "\n";
  out += OptionsSection(root, root.subcommands.empty() ? "OPTIONS" : "GLOBAL OPTIONS");
  std::vector<std::string> seeAlso = docs.seeAlso;
  if (!root.subcommands.empty()) {
    out += ".SH SUBCOMMANDS\n";
    for (const CommandDoc& s : root.subcommands) {
      const std::string page = PageName(docs, s);
      out += ".TP\n\\fB" + Roff(s.path.back()) + "\\fR\n" + Roff(s.description) +
             (docs.pagePerSubcommand ? "; see \\fB" + Roff(page) + "\\fR(1)" : std::string()) + "\n";
      if (docs.pagePerSubcommand) seeAlso.push_back(page + "(1)");
    }
    if (!docs.pagePerSubcommand) out += NestedSections(root);
  }
  out += Examples(root.examples);
  return out + SharedSections(docs, seeAlso);
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (!file) {
    std::fprintf(stderr, "%s: cannot write it\n", path.c_str());
    return false;
  }
  return true;
}

bool MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  std::fprintf(stderr, "%s: cannot create it: %s\n", path.c_str(), std::strerror(errno));
  return false;
}

}  // namespace

std::string BashCompletion(const CLI::App& app, const ProgramDocs& docs) {
  const CommandDoc root = Walk(app, {});
  const std::string fn = FunctionName(docs.program);
  std::string out = "# bash completion for " + docs.program + ", made by " + docs.program +
                    " from its own command table.\n";
  out += TreeFunctions(root, fn);
  out += fn + "() {\n"
        "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} option=\n"
        "  local cmdpath subs opts vals kind choices\n"
        "  local -a cmdwords=(\"${COMP_WORDS[@]}\")\n"
        "  COMPREPLY=()\n"
        "  " + fn + "_walk 1 \"$COMP_CWORD\"\n"
        "  # --option=value is split at '=' by bash\n"
        "  if [[ $prev == = && $COMP_CWORD -ge 2 ]]; then prev=${COMP_WORDS[COMP_CWORD-2]}; fi\n"
        "  if [[ $cur == -*=* ]]; then prev=${cur%%=*}; cur=${cur#*=}; fi\n"
        "  if [[ $prev == -* ]]; then\n"
        "    " + fn + "_kind \"$cmdpath\" \"$prev\"\n"
        "    [[ $kind != none || \" $vals \" == *\" $prev \"* ]] && option=$prev\n"
        "  fi\n"
        "  if [[ -z $option && $cur == -* ]]; then\n"
        "    mapfile -t COMPREPLY < <(compgen -W \"$opts\" -- \"$cur\")\n"
        "    return\n"
        "  fi\n"
        "  if [[ -z $option && -n $subs ]]; then\n"
        "    mapfile -t COMPREPLY < <(compgen -W \"$subs\" -- \"$cur\")\n"
        "    return\n"
        "  fi\n"
        "  [[ -z $option ]] && " + fn + "_kind \"$cmdpath\" \"\"\n"
        "  case $kind in\n"
        "    dir) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -d -- \"$cur\") ;;\n"
        "    file) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -f -- \"$cur\") ;;\n"
        "    choice) mapfile -t COMPREPLY < <(compgen -W \"$choices\" -- \"$cur\") ;;\n"
        "  esac\n"
        "}\n";
  out += "complete -F " + fn + " " + docs.program + "\n";
  return out;
}

std::string ZshCompletion(const CLI::App& app, const ProgramDocs& docs) {
  const CommandDoc root = Walk(app, {});
  const std::string fn = FunctionName(docs.program);
  std::string out = "#compdef " + docs.program + "\n# zsh completion for " + docs.program + ", made by " +
                    docs.program + " from its own command table.\n";
  out += TreeFunctions(root, fn);
  out += fn + "() {\n"
        "  emulate -L zsh\n"
        "  setopt ksh_arrays\n"
        "  local cur=${words[CURRENT-1]} prev=${words[CURRENT-2]} option=\n"
        "  local cmdpath subs opts vals kind choices\n"
        "  local -a cmdwords=(\"${words[@]}\")\n"
        "  " + fn + "_walk 1 $((CURRENT - 1))\n"
        "  if [[ $cur == -*=* ]]; then prev=${cur%%=*}; cur=${cur#*=}; compset -P '*='; fi\n"
        "  if [[ $prev == -* ]]; then\n"
        "    " + fn + "_kind \"$cmdpath\" \"$prev\"\n"
        "    [[ $kind != none || \" $vals \" == *\" $prev \"* ]] && option=$prev\n"
        "  fi\n"
        "  if [[ -z $option && $cur == -* ]]; then compadd -- ${=opts}; return; fi\n"
        "  if [[ -z $option && -n $subs ]]; then compadd -- ${=subs}; return; fi\n"
        "  [[ -z $option ]] && " + fn + "_kind \"$cmdpath\" \"\"\n"
        "  case $kind in\n"
        "    dir) _files -/ ;;\n"
        "    file) _files ;;\n"
        "    choice) compadd -- ${=choices} ;;\n"
        "  esac\n"
        "}\n";
  out += fn + " \"$@\"\n";
  return out;
}

std::vector<std::pair<std::string, std::string>> ManPages(const CLI::App& app, const ProgramDocs& docs) {
  const CommandDoc root = Walk(app, {});
  std::vector<std::pair<std::string, std::string>> pages{{docs.program + ".1", ProgramPage(docs, root)}};
  if (!docs.pagePerSubcommand) return pages;
  for (const CommandDoc& s : root.subcommands) pages.emplace_back(PageName(docs, s) + ".1", SubcommandPage(docs, s, root));
  return pages;
}

int WriteDocs(const CLI::App& app, const ProgramDocs& docs, const std::string& folder) {
  bool ok = MakeFolder(folder) && MakeFolder(folder + "/man1") && MakeFolder(folder + "/bash-completion") &&
            MakeFolder(folder + "/zsh");
  if (!ok) return 1;
  for (const auto& [name, text] : ManPages(app, docs)) ok = WriteFile(folder + "/man1/" + name, text) && ok;
  ok = WriteFile(folder + "/bash-completion/" + docs.program, BashCompletion(app, docs)) && ok;
  ok = WriteFile(folder + "/zsh/_" + docs.program, ZshCompletion(app, docs)) && ok;
  return ok ? 0 : 1;
}

}  // namespace kxmp::tools
