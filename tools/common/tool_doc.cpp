#include "tool_doc.h"

#include <cctype>
#include <cstdio>

#include "quorvane/version.h"
#include "text_layout.h"

namespace quorvane::tools {

namespace {

std::vector<std::string_view> split(std::string_view text, char by) {
  std::vector<std::string_view> parts;
  for (std::size_t from = 0;;) {
    const std::size_t end = text.find(by, from);
    parts.push_back(text.substr(from, end == std::string_view::npos ? end : end - from));
    if (end == std::string_view::npos) return parts;
    from = end + 1;
  }
}

// `word` added to the list `to`, after `separator` unless it is the first.
void appendTo(std::string& to, std::string_view word, std::string_view separator = " ") {
  if (!to.empty()) to.append(separator);
  to.append(word);
}

std::string_view detailOf(std::string_view detail, std::string_view brief) {
  return detail.empty() ? brief : detail;
}

// "upgrade only: " before the text of an option that goes with some commands.
std::string scoped(const OptionDoc& o, std::string_view text) {
  return (o.command.empty() ? "" : commandsText(o.command) + " only: ") + std::string(text);
}

// ---- troff ----

// Plain text as troff: backslashes and hyphens escaped, non-ASCII characters
// by their code point, no line taken for a request.
std::string roff(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else if (c == '\n') {
      out += ' ';
    } else if (c >= 0x80) {
      const int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
      unsigned point = c & (0x3F >> (length - 1));
      for (int k = 1; k < length && i + 1 < text.size(); ++k)
        point = (point << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F);
      char name[16];
      std::snprintf(name, sizeof name, "\\[u%04X]", point);
      out += name;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

// A synopsis in troff: option names and the first word bold, names of
// values (FILE, N) italic, the brackets and bars as they are.
std::string roffSynopsis(std::string_view text, bool firstBold) {
  std::string out;
  bool first = true;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    std::size_t end = i;
    while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) ||
                                 text[end] == '-' || text[end] == '_'))
      ++end;
    if (end == i) {
      out += roff(std::string(1, c));
      ++i;
      continue;
    }
    const std::string_view word = text.substr(i, end - i);
    bool upper = false, lower = false;
    for (const char w : word) {
      upper = upper || std::isupper(static_cast<unsigned char>(w));
      lower = lower || std::islower(static_cast<unsigned char>(w));
    }
    const bool bold = word.starts_with("-") || (first && firstBold);
    const bool italic = upper && !lower;
    out += bold ? "\\fB" : italic ? "\\fI" : "";
    out += roff(word);
    out += bold || italic ? "\\fR" : "";
    first = false;
    i = end;
  }
  return out;
}

std::string manSection(const ToolDoc& doc, std::string_view section) {
  std::string out;
  auto entries = [&](const char* heading, const std::vector<Entry>& list, bool bold) {
    if (list.empty()) return;
    out += std::string(".SH ") + heading + "\n";
    for (const Entry& e : list)
      out += ".TP\n" + std::string(bold ? "\\fB" : "\\fI") + roff(e.term) + "\\fR\n" +
             roff(e.text) + "\n";
  };
  if (section == "synopsis") {
    out += ".SH SYNOPSIS\n";
    for (const std::string& line : doc.usage)
      out += ".SY " + std::string(doc.program) + "\n" + roffSynopsis(line, false) + "\n.YS\n";
  } else if (section == "commands" && !doc.commands.empty()) {
    out += ".SH COMMANDS\n";
    for (const CommandDoc& c : doc.commands)
      out += ".TP\n" + roffSynopsis(c.synopsis, true) + "\n" + roff(detailOf(c.detail, c.brief)) +
             "\n";
  } else if (section == "options") {
    out += ".SH OPTIONS\n";
    std::string_view group;
    for (const OptionDoc& o : doc.options) {
      if (o.argument) continue;
      if (o.group != group) out += ".SS " + roff(group = o.group) + "\n";
      out += ".TP\n" + roffSynopsis(optionTerm(o), false) + "\n" +
             roff(scoped(o, detailOf(o.detail, o.brief))) + "\n";
    }
  } else if (section == "keys" && !doc.keys.empty()) {
    out += ".SH KEY NAMES\n.TS\nl l l.\nCode\tCaption\tAlias\n";
    for (const Entry& k : doc.keys) {
      const std::size_t gap = k.term.find(' ');
      out += roff(k.term.substr(0, gap)) + "\t" + roff(k.term.substr(gap + 1)) + "\t" +
             roff(k.text) + "\n";
    }
    out += ".TE\n";
  } else if (section == "exit-status") {
    entries("EXIT STATUS", doc.exitStatus, true);
  } else if (section == "environment") {
    entries("ENVIRONMENT", doc.environment, true);
  } else if (section == "files") {
    entries("FILES", doc.files, false);
  } else if (section == "examples" && !doc.examples.empty()) {
    out += ".SH EXAMPLES\n";
    for (const Entry& e : doc.examples) {
      out += roff(e.term) + "\n.PP\n.EX\n";
      for (std::string_view line : split(e.text, '\n')) out += roff(line) + "\n";
      out += ".EE\n.PP\n";
    }
    out.resize(out.size() - 4);  // no paragraph after the last
  }
  return out;
}

// ---- markdown ----

std::string md(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '|' || c == '<' || c == '*' || c == '_') out += '\\';
    out += c == '\n' ? ' ' : c;
  }
  return out;
}

std::string mdEntries(const char* heading, const std::vector<Entry>& list, bool code) {
  if (list.empty()) return {};
  std::string out = std::string("\n### ") + heading + "\n\n";
  for (const Entry& e : list)
    out += "- " + (code ? "`" + e.term + "`" : "**" + md(e.term) + "**") + ": " + md(e.text) + "\n";
  return out;
}

// ---- bash ----

std::string quoted(std::string_view words) {
  std::string text(1, '\'');
  return text.append(words).append(1, '\'');
}

// The statements that complete the current word as `rule` says.
std::string completeWith(CompletionRule rule, const ToolDoc& doc, const std::string& indent) {
  std::string words, out;
  bool file = false, image = false, device = false, keys = false;
  for (std::string_view token : split(rule, ' ')) {
    if (token.ends_with("...")) token.remove_suffix(3);
    if (token == "@file")
      file = true;
    else if (token == "@image")
      image = true;
    else if (token == "@device")
      device = true;
    else if (token == "@keys")
      keys = true;
    else if (!token.empty())
      appendTo(words, token);
  }
  if (keys) {
    std::string all;
    for (const Entry& k : doc.keys)
      for (std::string_view alias : split(k.text, ','))
        appendTo(all, alias.substr(alias.starts_with(' ')));
    out += indent + "COMPREPLY=($(compgen -W " + quoted(all) + " -- \"${cur^^}\"))\n";
  }
  if (device) {
    out += indent + "local device devices=()\n" + indent +
           "for device in /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* /dev/ttyS*; do\n" + indent +
           "    [[ -e $device ]] && devices+=(\"$device\")\n" + indent + "done\n" + indent +
           "COMPREPLY=($(compgen -W '\"${devices[@]}\"' -- \"$cur\"))\n" + indent +
           "((${#COMPREPLY[@]})) || _filedir  # any other path, such as a link\n";
  }
  if (!words.empty())
    out += indent + "COMPREPLY=($(compgen -W " + quoted(words) + " -- \"$cur\"))\n";
  if (image) out += indent + "_filedir bin\n";
  if (file) out += indent + (words.empty() ? "_filedir\n" : "[[ $cur == -* ]] || _filedir\n");
  return out.empty() ? indent + ":\n" : out;
}

std::string functionName(std::string_view program) {
  std::string name(1, '_');
  name.append(program);
  for (char& c : name)
    if (c == '-') c = '_';
  return name;
}

}  // namespace

bool goesWith(const OptionDoc& o, std::string_view command) {
  if (o.command.empty()) return true;
  for (std::string_view c : split(o.command, ' '))
    if (c == command) return true;
  return false;
}

std::string commandsText(std::string_view commands) {
  const auto names = split(commands, ' ');
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 < names.size() ? ", " : " and ";
    text.append(names[i]);
  }
  return text;
}

std::string optionTerm(const OptionDoc& o) {
  std::string term = "--" + std::string(o.name);
  if (!o.value.empty()) term += " " + std::string(o.value);
  if (o.shortName) term += std::string(", -") + o.shortName;
  return term;
}

std::string optionsHelp(const ToolDoc& doc, std::size_t termWidth) {
  std::string out;
  std::string_view group;
  for (const OptionDoc& o : doc.options) {
    if (o.argument) continue;
    if (o.group != group) {
      if (!out.empty()) out += "\n";
      out += wrapText("", std::string(group = o.group) + ":", 0, kHelpWidth);
    }
    out += wrapText("  " + optionTerm(o), scoped(o, o.brief), termWidth, kHelpWidth);
  }
  return out;
}

std::string commandsHelp(const ToolDoc& doc, std::size_t termWidth) {
  std::string out;
  for (const CommandDoc& c : doc.commands)
    out += wrapText("  " + std::string(c.synopsis), c.brief, termWidth, kHelpWidth);
  return out;
}

std::string usageHelp(const ToolDoc& doc) {
  std::string out;
  for (const std::string& line : doc.usage) {
    const std::string head = (out.empty() ? "usage: " : "       ") + std::string(doc.program);
    out += wrapText(head, line, columnsOf(head) + 1, kHelpWidth);
  }
  return out;
}

std::string exitStatusHelp(const ToolDoc& doc) {
  std::string text = "Exit status:";
  for (std::size_t i = 0; i < doc.exitStatus.size(); ++i)
    text += " " + doc.exitStatus[i].term + " " + doc.exitStatus[i].text +
            (i + 1 < doc.exitStatus.size() ? "," : ".");
  return wrapText("", text, 0, kHelpWidth);
}

std::string manPage(const ToolDoc& doc, const std::string& page) {
  std::string out;
  for (std::string_view line : split(page, '\n')) {
    if (line.starts_with(".\\\" @@")) {
      out += manSection(doc, line.substr(6));
      continue;
    }
    std::string text(line);
    for (std::size_t at; (at = text.find("@PROJECT_VERSION@")) != std::string::npos;)
      text.replace(at, 17, kVersion);
    out += text + "\n";
  }
  out.pop_back();  // the page's own last line end stays the last
  return out;
}

std::string markdownPage(const ToolDoc& doc, const std::string& markdown) {
  const std::string begin = "<!-- BEGIN generated reference -->\n";
  const std::string end = "<!-- END generated reference -->";
  const std::size_t from = markdown.find(begin), to = markdown.find(end);
  if (from == std::string::npos || to == std::string::npos || to < from) return {};
  std::string out = "\n    " + std::string(doc.program) + " " + doc.usage.front() + "\n";
  for (std::size_t i = 1; i < doc.usage.size(); ++i)
    out += "    " + std::string(doc.program) + " " + doc.usage[i] + "\n";
  if (!doc.commands.empty()) {
    out += "\n### Commands\n\n| Command | What it does |\n|---|---|\n";
    for (const CommandDoc& c : doc.commands)
      out += "| `" + std::string(c.synopsis) + "` | " + md(detailOf(c.detail, c.brief)) + " |\n";
  }
  out += "\n### Options\n\n| Option | Meaning |\n|---|---|\n";
  for (const OptionDoc& o : doc.options)
    if (!o.argument)
      out += "| `" + optionTerm(o) + "` | " + (o.group.empty() ? "" : "(" + md(o.group) + ") ") +
             md(scoped(o, detailOf(o.detail, o.brief))) + " |\n";
  out += mdEntries("Exit status", doc.exitStatus, false) +
         mdEntries("Environment", doc.environment, true) + mdEntries("Files", doc.files, true);
  if (!doc.examples.empty()) {
    out += "\n### Examples\n\n";
    for (const Entry& e : doc.examples) {
      out += "    # " + e.term + "\n";
      for (std::string_view line : split(e.text, '\n')) out += "    " + std::string(line) + "\n";
    }
  }
  return markdown.substr(0, from + begin.size()) + out + "\n" + markdown.substr(to);
}

std::string bashCompletion(const ToolDoc& doc) {
  const std::string body = "        ";
  std::string valued, values, common, byCommand;
  for (const OptionDoc& o : doc.options) {
    std::string names = "--" + std::string(o.name);
    if (o.shortName) names += std::string(" | -") + o.shortName;
    if (!o.value.empty()) {
      appendTo(valued, names, " | ");
      values += "        " + names + ")\n" + completeWith(o.complete, doc, body + "    ") + body +
                "    return\n" + body + "    ;;\n";
    }
    const std::string name = "--" + std::string(o.name);
    if (o.command.empty())
      appendTo(common, name);
    else
      for (std::string_view c : split(o.command, ' '))
        byCommand +=
            body + "[[ $command == " + std::string(c) + " ]] && options+=\" " + name + "\"\n";
  }
  std::string out = "# bash completion for " + std::string(doc.program) +
                    ", made from its option table by quorvane-docgen  -*- shell-script -*-\n\n" +
                    functionName(doc.program) +
                    "()\n{\n    local cur prev words cword split\n    _init_completion -s || "
                    "return\n\n    case $prev in\n" +
                    values + "    esac\n    $split && return\n\n";
  if (doc.commands.empty()) {
    out += "    COMPREPLY=($(compgen -W " + quoted(common) + " -- \"$cur\"))\n";
  } else {
    std::string commands;
    for (const CommandDoc& c : doc.commands) appendTo(commands, c.name);
    out +=
        "    # Options may stand anywhere; the first other word is the command, the\n"
        "    # words after it its arguments. After \"--\" every word is an operand.\n"
        "    local i command= args=0 operands=\n"
        "    for ((i = 1; i < cword; i++)); do\n"
        "        if [[ -z $operands ]]; then\n"
        "            case ${words[i]} in\n"
        "                " +
        valued +
        ") ((i++)); continue ;;\n"
        "                --) operands=1; continue ;;\n"
        "                -*) continue ;;\n"
        "            esac\n"
        "        fi\n"
        "        if [[ -z $command ]]; then command=${words[i]}; else ((args++)); fi\n"
        "    done\n\n"
        "    if [[ -z $operands && $cur == -* ]]; then\n"
        "        local options=" +
        quoted(common) + "\n" + byCommand +
        "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
        "        return\n"
        "    fi\n"
        "    case $command in\n"
        "        '')\n" +
        completeWith(commands, doc, body + "    ") + "            ;;\n";
    for (const CommandDoc& c : doc.commands) {
      if (c.complete.empty()) continue;
      out += "        " + std::string(c.name) + ")\n";
      const auto positions = split(c.complete, ';');
      for (std::size_t i = 0; i < positions.size(); ++i) {
        const bool repeats = positions[i].ends_with("...");
        out += body + "    if ((args " + (repeats ? ">=" : "==") + " " + std::to_string(i) +
               ")); then\n" + completeWith(positions[i], doc, body + "        ") + body +
               "    fi\n";
      }
      out += "            ;;\n";
    }
    out += "    esac\n";
  }
  return out + "} &&\n    complete -F " + functionName(doc.program) + " " +
         std::string(doc.program) + "\n\n# ex: filetype=sh\n";
}

}  // namespace quorvane::tools
