#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>

#include "toml.hpp"

namespace kelvaro::toml {
namespace {

bool bare_key(std::string_view name) {
  if (name.empty()) {
    return false;
  }
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
  });
}

void append_escape(std::string& out, char c, bool escape_lf) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\n':
      out += escape_lf ? "\\n" : "\n";
      return;
    default:
      break;
  }
  const auto u = static_cast<unsigned char>(c);
  if (u < 0x20 || u == 0x7f) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(u));
    out += buf;
    return;
  }
  out.push_back(c);
}

void append_basic(std::string& out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    append_escape(out, c, true);
  }
  out.push_back('"');
}

// Text with a line feed prints as a multi-line basic string; a quote is escaped where a
// raw one would close the string early.
void append_multiline(std::string& out, std::string_view text) {
  out += "\"\"\"\n";
  int run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      if (run == 2 || i + 1 == text.size()) {
        out += "\\\"";
        run = 0;
      } else {
        out.push_back('"');
        ++run;
      }
      continue;
    }
    run = 0;
    append_escape(out, c, false);
  }
  out += "\"\"\"";
}

void append_key(std::string& out, const Key& key) {
  if (key.raw) {
    out += *key.raw;
  } else if (bare_key(key.name)) {
    out += key.name;
  } else {
    append_basic(out, key.name);
  }
}

// A key path as written, with the blanks around each segment.
void append_path(std::string& out, const std::vector<Key>& keys) {
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const Key& k = keys[i];
    if (i > 0) {
      out.push_back('.');
    }
    out += k.before;
    append_key(out, k);
    out += k.after;
  }
}

std::string float_text(double x) {
  if (std::isnan(x)) {
    return std::signbit(x) ? "-nan" : "nan";
  }
  if (std::isinf(x)) {
    return x < 0 ? "-inf" : "inf";
  }
  if (x == 0) {
    return std::signbit(x) ? "-0.0" : "0.0";
  }
  // The shortest digits that read back as `x`, written out without an exponent.
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t e = sci.find('e');
  std::string_view mant = sci.substr(0, e);
  int exp = 0;
  std::string_view exp_text = sci.substr(e + 1);
  if (!exp_text.empty() && exp_text.front() == '+') {
    exp_text.remove_prefix(1);
  }
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp);
  std::string out;
  if (!mant.empty() && mant.front() == '-') {
    out.push_back('-');
    mant.remove_prefix(1);
  }
  std::string digits;
  for (char c : mant) {
    if (c != '.') {
      digits.push_back(c);
    }
  }
  const long point = exp + 1;
  const auto len = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= len) {
    out += digits;
    out.append(static_cast<std::size_t>(point - len), '0');
    out += ".0";
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out.push_back('.');
    out += digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

void append_scalar(std::string& out, const Value& v) {
  switch (v.kind) {
    case Kind::string:
      if (v.str.find('\n') != std::string::npos) {
        append_multiline(out, v.str);
      } else {
        append_basic(out, v.str);
      }
      return;
    case Kind::integer:
      out += std::to_string(v.integer);
      return;
    case Kind::floating:
      out += float_text(v.real);
      return;
    case Kind::boolean:
      out += v.boolean ? "true" : "false";
      return;
    case Kind::datetime:
      out += datetime_text(v.dt);
      return;
    case Kind::array:
    case Kind::inline_table:
      return;
  }
}

void append_value(std::string& out, const Value& v, std::string_view prefix,
                  std::string_view suffix) {
  out += v.decor.prefix ? std::string_view(*v.decor.prefix) : prefix;
  if (v.raw) {
    out += *v.raw;
  } else if (v.kind == Kind::array) {
    out.push_back('[');
    for (std::size_t i = 0; i < v.items.size(); ++i) {
      if (i > 0) {
        out.push_back(',');
      }
      append_value(out, v.items[i], i == 0 ? "" : " ", "");
    }
    if (v.trailing_comma) {
      out.push_back(',');
    }
    out += v.closing;
    out.push_back(']');
  } else if (v.kind == Kind::inline_table) {
    out.push_back('{');
    for (std::size_t i = 0; i < v.entries.size(); ++i) {
      const InlineEntry& e = v.entries[i];
      if (i > 0) {
        out.push_back(',');
      }
      for (std::size_t j = 0; j < e.keys.size(); ++j) {
        const Key& k = e.keys[j];
        if (j > 0) {
          out.push_back('.');
        }
        if (k.raw) {
          out += k.before;
          out += *k.raw;
          out += k.after;
        } else {
          out += j == 0 ? " " : "";
          append_key(out, k);
          out += j + 1 == e.keys.size() ? " " : "";
        }
      }
      out.push_back('=');
      append_value(out, e.value, " ", i + 1 == v.entries.size() ? " " : "");
    }
    out += v.closing;
    out.push_back('}');
  } else {
    append_scalar(out, v);
  }
  out += v.decor.suffix ? std::string_view(*v.decor.suffix) : suffix;
}

struct Section {
  const Table* table = nullptr;
  std::vector<const Key*> path{};
  bool aot = false;
  bool root = false;
  long position = 0;
};

// Where a table stands in the document.
enum class TableKind : std::uint8_t { root, table, aot_item };

void collect(const Table& t, std::vector<const Key*>& path, TableKind kind, long& last,
             std::vector<Section>& out) {
  if (!t.dotted) {
    const long pos = t.position ? *t.position : last;
    last = pos;
    // The path only names tables that have no header text of their own.
    Section& s = out.emplace_back(Section{.table = &t,
                                          .aot = kind == TableKind::aot_item,
                                          .root = kind == TableKind::root,
                                          .position = pos});
    if (t.header_keys.empty()) {
      s.path = path;
    }
  }
  for (const Entry& e : t.entries) {
    if (const Table* sub = as_table(e)) {
      path.push_back(&e.key);
      collect(*sub, path, TableKind::table, last, out);
      path.pop_back();
    } else if (const ArrayOfTables* arr = as_aot(e)) {
      path.push_back(&e.key);
      for (const Table& item : arr->tables) {
        collect(item, path, TableKind::aot_item, last, out);
      }
      path.pop_back();
    }
  }
}

struct BodyLine {
  const Line* line = nullptr;
  const Key* key = nullptr;
  std::vector<const Key*> prefix{};  // dotted tables above it; only kept for new lines
};

void collect_lines(const Table& t, std::vector<const Key*>& prefix, std::vector<BodyLine>& out) {
  for (const Entry& e : t.entries) {
    if (const Line* line = as_line(e)) {
      BodyLine b{.line = line, .key = &e.key};
      if (line->keys.empty()) {
        b.prefix = prefix;
      }
      out.push_back(std::move(b));
    } else if (const Table* sub = as_table(e); sub != nullptr && sub->dotted) {
      prefix.push_back(&e.key);
      collect_lines(*sub, prefix, out);
      prefix.pop_back();
    }
  }
}

class Printer {
 public:
  std::string run(const Document& doc) {
    write(doc.leading);
    if (!doc.leading.empty() && doc.leading.back() != '\n') {
      need_newline_ = true;
    }
    std::vector<Section> sections;
    std::vector<const Key*> path{};
    long last = 0;
    collect(doc.root, path, TableKind::root, last, sections);
    std::stable_sort(sections.begin(), sections.end(), [](const Section& a, const Section& b) {
      if (a.root != b.root) {
        return a.root;
      }
      return a.position < b.position;
    });
    std::vector<BodyLine> lines;
    for (const Section& s : sections) {
      lines.clear();
      std::vector<const Key*> prefix;
      collect_lines(*s.table, prefix, lines);
      const auto by_order = [](const BodyLine& a, const BodyLine& b) {
        if (!a.line->order || !b.line->order) {
          return a.line->order.has_value() && !b.line->order.has_value();
        }
        return *a.line->order < *b.line->order;
      };
      if (!std::is_sorted(lines.begin(), lines.end(), by_order)) {
        std::stable_sort(lines.begin(), lines.end(), by_order);
      }
      if (!s.root && !(s.table->implicit && lines.empty())) {
        header(s);
      }
      for (const BodyLine& b : lines) {
        body_line(b);
      }
    }
    write(doc.trailing);
    return std::move(out_);
  }

 private:
  // A line end of "" (end of a file without one) turns into "\n" once more text follows.
  void write(std::string_view text) {
    if (text.empty()) {
      return;
    }
    flush_newline();
    out_ += text;
  }

  void flush_newline() {
    if (need_newline_) {
      out_.push_back('\n');
      need_newline_ = false;
    }
  }

  void write_eol(std::string_view eol) {
    if (eol.empty()) {
      need_newline_ = true;
    } else {
      write(eol);
    }
  }

  void header(const Section& s) {
    const Table& t = *s.table;
    if (t.decor.prefix) {
      write(*t.decor.prefix);
    } else if (!out_.empty() || need_newline_) {
      write("\n");
    }
    // A header is never empty, so it is built straight into the output.
    flush_newline();
    std::string& text = out_;
    text += s.aot ? "[[" : "[";
    if (!t.header_keys.empty()) {
      append_path(text, t.header_keys);
    } else {
      for (std::size_t i = 0; i < s.path.size(); ++i) {
        if (i > 0) {
          text.push_back('.');
        }
        append_key(text, *s.path[i]);
      }
    }
    text += s.aot ? "]]" : "]";
    if (t.decor.suffix) {
      text += *t.decor.suffix;
    }
    write_eol(t.header_eol);
  }

  void body_line(const BodyLine& b) {
    const Line& line = *b.line;
    write(line.lead);
    // A key line is never empty, so it is built straight into the output.
    flush_newline();
    std::string& text = out_;
    if (!line.keys.empty()) {
      append_path(text, line.keys);
    } else {
      for (const Key* k : b.prefix) {
        append_key(text, *k);
        text.push_back('.');
      }
      append_key(text, *b.key);
      text.push_back(' ');
    }
    text.push_back('=');
    append_value(text, line.value, " ", "");
    write_eol(line.eol);
  }

  std::string out_;
  bool need_newline_ = false;
};

}  // namespace

std::string datetime_text(const Datetime& dt) {
  char buf[64];
  std::string out;
  if (dt.has_date) {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", dt.year, dt.month, dt.day);
    out += buf;
  }
  if (dt.has_date && dt.has_time) {
    out.push_back('T');
  }
  if (dt.has_time) {
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", dt.hour, dt.minute, dt.second);
    out += buf;
    if (dt.nanos) {
      std::snprintf(buf, sizeof buf, "%09u", static_cast<unsigned>(*dt.nanos));
      std::string frac = buf;
      while (frac.size() > 1 && frac.back() == '0') {
        frac.pop_back();
      }
      out += '.';
      out += frac;
    }
  }
  if (dt.has_offset) {
    if (dt.z) {
      out.push_back('Z');
    } else {
      const int m = dt.offset_minutes < 0 ? -dt.offset_minutes : dt.offset_minutes;
      std::snprintf(buf, sizeof buf, "%c%02d:%02d", dt.offset_minutes < 0 ? '-' : '+', m / 60,
                    m % 60);
      out += buf;
    }
  }
  return out;
}

std::string print(const Document& doc) {
  return Printer().run(doc);
}

std::string with_crlf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
      out.push_back('\r');
    }
    out.push_back(text[i]);
  }
  return out;
}

std::string with_lf(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      continue;
    }
    out.push_back(text[i]);
  }
  return out;
}

}  // namespace kelvaro::toml
