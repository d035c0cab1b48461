#include <fmt/format.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "documents.hpp"
#include "documents_sax.hpp"
#include "fsutil.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

// Prints a document as `dump_json` prints its parsed value while it is being parsed, with one
// member of the top-level object set to a new value, so that a large file is never built in
// memory. Gives up (returns false) where that could differ from parse, edit and print: a top
// level that is not an object, and an object that repeats a key (the parsed value would keep
// the first place with the later value).
class MemberPrinter : public json_sax::ScalarEvents<MemberPrinter> {
 public:
  MemberPrinter(std::string& out, std::string_view key, const Json& value)
      : out_(out),
        serializer_(nlohmann::detail::output_adapter<char>(out), ' ',
                    Json::error_handler_t::strict),
        key_(key),
        value_(value) {}

  bool binary(binary_t&) { return false; }

  bool start_object(std::size_t) { return open('{', true); }
  bool start_array(std::size_t) {
    if (stack_.empty()) {
      return false;
    }
    return open('[', false);
  }
  bool end_object() { return close('}'); }
  bool end_array() { return close(']'); }

  bool key(string_t& k) {
    if (skip_depth_ != 0) {
      return true;
    }
    Frame& frame = stack_.back();
    if (!frame.remember(k)) {
      return false;
    }
    separate(frame);
    put_key(k);
    if (stack_.size() == 1 && k == key_) {
      put_value(stack_.size());
      replaced_ = true;
      skip_depth_ = stack_.size();
      skipping_value_ = true;
    }
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  bool done = false;

 private:
  struct Frame {
    bool object = false;
    std::size_t count = 0;
    std::vector<std::size_t> hashes{};
    std::unordered_set<std::size_t> index{};

    // False when `key` may repeat an earlier key of this object (equal hashes).
    bool remember(const std::string& key) {
      const std::size_t hash = std::hash<std::string>()(key);
      if (index.empty() && hashes.size() < json_sax::indexed_object_size) {
        if (std::find(hashes.begin(), hashes.end(), hash) != hashes.end()) {
          return false;
        }
        hashes.push_back(hash);
        if (hashes.size() == json_sax::indexed_object_size) {
          for (std::size_t h : hashes) {
            index.insert(h);
          }
        }
        return true;
      }
      return index.insert(hash).second;
    }
  };

  void indent(std::size_t level) { out_.append(level * 2, ' '); }

  // What comes before the next member or element of `frame`.
  void separate(Frame& frame) {
    out_.append(frame.count == 0 ? "\n" : ",\n");
    ++frame.count;
    indent(stack_.size());
  }

  // The only use of the JSON library's own printer, kept for the whole text so that its buffer
  // is reused: `value` on one line, or, when `pretty`, as `dump_json` prints it `level` levels
  // deep.
  void print(const Json& value, bool pretty, std::size_t level) {
    serializer_.dump(value, pretty, false, pretty ? 2 : 0, static_cast<unsigned int>(level * 2));
  }

  void put_key(const std::string& key) {
    print(Json(key), false, 0);
    out_.append(": ");
  }

  void put_value(std::size_t level) { print(value_, true, level); }

  // The start of a value: inside the replaced member nothing is printed; in an array the
  // element's separator.
  bool begin_value() {
    if (skip_depth_ != 0) {
      return false;
    }
    if (!stack_.empty() && !stack_.back().object) {
      separate(stack_.back());
    }
    return true;
  }

  friend class json_sax::ScalarEvents<MemberPrinter>;

  bool scalar(const Json& value) {
    if (stack_.empty()) {
      return false;
    }
    if (begin_value()) {
      print(value, false, 0);
    } else if (skipping_value_ && stack_.size() == skip_depth_) {
      skip_depth_ = 0;
      skipping_value_ = false;
    }
    return true;
  }

  bool open(char bracket, bool object) {
    if (stack_.size() >= json_sax::max_json_depth) {
      return false;
    }
    if (begin_value()) {
      out_.push_back(bracket);
    }
    stack_.push_back(Frame{.object = object});
    return true;
  }

  bool close(char bracket) {
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    if (skip_depth_ != 0) {
      if (stack_.size() == skip_depth_) {
        skip_depth_ = 0;
        skipping_value_ = false;
      }
      return true;
    }
    if (stack_.empty() && !replaced_) {
      // The member was not there: it goes last.
      stack_.push_back(frame);
      separate(stack_.back());
      put_key(std::string(key_));
      put_value(1);
      stack_.pop_back();
      replaced_ = true;
      out_.push_back('\n');
      out_.push_back(bracket);
      done = true;
      return true;
    }
    if (frame.count > 0) {
      out_.push_back('\n');
      indent(stack_.size());
    }
    out_.push_back(bracket);
    done = stack_.empty();
    return true;
  }

  std::string& out_;
  nlohmann::detail::serializer<Json> serializer_;
  std::string_view key_;
  const Json& value_;
  std::vector<Frame> stack_;
  std::size_t skip_depth_ = 0;  // while the replaced member's old value goes by: its level
  bool skipping_value_ = false;
  bool replaced_ = false;
};

}  // namespace

std::optional<std::string> print_json_with_member(std::string_view text, std::string_view key,
                                                  const Json& value) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  MemberPrinter printer(out, key, value);
  if (!json_sax::parse_whole_text(text, printer) || !printer.done) {
    return std::nullopt;
  }
  return out;
}

Result<std::string> dump_json(const Json& value) {
  try {
    return value.dump(2, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::exception& e) {
    return unexpected(std::string(e.what()));
  }
}

Result<WriteOutcome, std::error_code> write_json(const fs::path& path, const Json& value) {
  auto text = dump_json(value);
  if (!text) {
    return unexpected(std::make_error_code(std::errc::illegal_byte_sequence));
  }
  return write_atomic(path, *text);
}

Result<WriteOutcome> write_json_file(const fs::path& path, const Json& value) {
  auto text = dump_json(value);
  if (!text) {
    return unexpected(fmt::format("cannot serialise {}: {}", display(path), text.error()));
  }
  auto written = write_atomic(path, *text);
  if (!written) {
    return unexpected(cannot_write(path, written.error()));
  }
  return std::move(*written);
}

}  // namespace kelvaro
