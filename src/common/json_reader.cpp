#include "common/json_reader.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include <sodium.h>

#include "common/json_writer.hpp"

#if !defined(__cpp_lib_to_chars)
#include <cerrno>
#include <clocale>
#include <cstdlib>
#endif

namespace velno {
namespace {

enum ByteClass : uint8_t { kPlain, kQuote, kBackslash, kControl, kHigh };

constexpr auto kStringClass = [] {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = kControl;
  for (int c = 0x80; c < 0x100; ++c) t[c] = kHigh;
  t['"'] = kQuote;
  t['\\'] = kBackslash;
  return t;
}();

// Whether any of eight bytes ends the fast scan of a string: '"', '\\', a control
// byte or a byte from 0x80 up.
inline bool has_special(uint64_t w) {
  constexpr uint64_t ones = 0x0101010101010101ull;
  constexpr uint64_t highs = 0x8080808080808080ull;
  const uint64_t q = w ^ (ones * '"');
  const uint64_t b = w ^ (ones * '\\');
  const uint64_t found = ((q - ones) & ~q) | ((b - ones) & ~b) | ((w - ones * 0x20) & ~w) | w;
  return (found & highs) != 0;
}

constexpr const char* kControlInString = "control character (\\u0000-\\u001F) found while parsing a string";

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Length of the well-formed UTF-8 sequence at p (lead byte >= 0x80), or 0.
std::size_t utf8_sequence(const unsigned char* p, const unsigned char* end) {
  const unsigned c = p[0];
  std::size_t n;
  unsigned lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(end - p) < n) return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (std::size_t i = 2; i < n; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  return n;
}

template <class String>
void append_utf8(String& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Four hexadecimal digits, or -1.
int32_t hex4(const char* p) {
  int32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = p[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return -1;
    v = v * 16 + d;
  }
  return v;
}

// For a number text that does not fit a double: whether it is too large (rather
// than too small, which reads as zero). Its value is about 0.d * 10^(digits + exp).
bool too_large(const char* s, const char* e) {
  if (*s == '-') ++s;
  while (s != e && *s == '0') ++s;
  const char* q = s;
  while (q != e && is_digit(*q)) ++q;
  long long scale = q - s;
  if (scale == 0 && q != e && *q == '.') {
    ++q;
    while (q != e && *q == '0') ++q, --scale;
  }
  while (q != e && (is_digit(*q) || *q == '.')) ++q;
  long long exp = 0;
  bool negative = false;
  if (q != e) {  // an exponent
    ++q;
    if (*q == '+' || *q == '-') negative = *q++ == '-';
    for (; q != e; ++q)
      if (exp < 1'000'000'000) exp = exp * 10 + (*q - '0');
  }
  return scale + (negative ? -exp : exp) > 0;
}

std::string number_found(const JsonNumber& n) {
  if (n.kind == JsonNumber::Kind::Int) return "integer `" + std::to_string(n.i) + "`";
  if (n.kind == JsonNumber::Kind::UInt) return "integer `" + std::to_string(n.u) + "`";
  return "floating point `" + found_float_text(n.d) + "`";
}

std::string string_found(std::string_view s) {
  std::string out = "string \"";
  for (char c : s) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace

JsonReader::~JsonReader() {
  // The allocator zeroes the heap buffer; a short string lives inside the object.
  scratch_.resize(scratch_.capacity());
  sodium_memzero(scratch_.data(), scratch_.size());
}

bool JsonReader::fail_at(const char* at, std::string message) {
  std::size_t line = 1;
  const char* line_start = begin_;
  for (const char* q = begin_; q < at;) {
    const void* nl = std::memchr(q, '\n', static_cast<std::size_t>(at - q));
    if (nl == nullptr) break;
    ++line;
    q = static_cast<const char*>(nl) + 1;
    line_start = q;
  }
  error_ = JsonError::at(std::move(message), line, static_cast<std::size_t>(at - line_start) + 1);
  return false;
}

bool JsonReader::fail_eof(const char* what) { return fail_at(end_, what); }

bool JsonReader::fail(std::string message) { return fail_at(tok_, std::move(message)); }

bool JsonReader::fail_expected_value() {
  peek();
  if (p_ == end_) return fail_eof("EOF while parsing a value");
  return fail_at(p_, "expected value");
}

bool JsonReader::fail_invalid_type(std::string_view expected) {
  const char c = peek();
  const char* at = tok_;
  if (p_ == end_) return fail_eof("EOF while parsing a value");
  std::string found;
  switch (c) {
    case 'n':
      if (!read_null()) return false;
      found = "null";
      break;
    case 't':
    case 'f': {
      bool b;
      if (!read_bool(b)) return false;
      found = b ? "boolean `true`" : "boolean `false`";
      break;
    }
    case '"': {
      std::string_view s;
      if (!read_string(s)) return false;
      found = string_found(s);
      break;
    }
    case '[':
      found = "sequence";
      break;
    case '{':
      found = "map";
      break;
    default: {
      if (c != '-' && !is_digit(c)) return fail_at(p_, "expected value");
      JsonNumber n;
      if (!read_number(n)) return false;
      found = number_found(n);
    }
  }
  return fail_at(at, invalid_type_message(found, expected));
}

char JsonReader::peek() {
  skip_ws();
  tok_ = p_;
  return p_ == end_ ? '\0' : *p_;
}

bool JsonReader::enter(const char* at) {
  if (++depth_ >= kDepthLimit) return fail_at(at, "recursion limit exceeded");
  first_ = true;
  return true;
}

bool JsonReader::begin_object() {
  if (peek() != '{') return fail_invalid_type("a map");
  if (!enter(p_)) return false;
  ++p_;
  return true;
}

bool JsonReader::begin_array() {
  if (peek() != '[') return fail_invalid_type("a sequence");
  if (!enter(p_)) return false;
  ++p_;
  return true;
}

JsonReader::Step JsonReader::next_member(std::string_view& name) {
  skip_ws();
  if (p_ == end_) return fail_eof("EOF while parsing an object"), Step::Error;
  if (*p_ == '}') {
    tok_ = p_++;
    --depth_;
    first_ = false;
    return Step::End;
  }
  if (first_) {
    first_ = false;
  } else {
    if (*p_ != ',') return fail_at(p_, "expected `,` or `}`"), Step::Error;
    ++p_;
    skip_ws();
    if (p_ == end_) return fail_eof("EOF while parsing an object"), Step::Error;
    if (*p_ == '}') return fail_at(p_, "trailing comma"), Step::Error;
  }
  if (*p_ != '"') return fail_at(p_, "key must be a string"), Step::Error;
  const char* at = p_;
  if (!read_string(name)) return Step::Error;
  skip_ws();
  if (p_ == end_) return fail_eof("EOF while parsing an object"), Step::Error;
  if (*p_ != ':') return fail_at(p_, "expected `:`"), Step::Error;
  ++p_;
  tok_ = at;  // a duplicate or unknown member is reported at its name
  return Step::Item;
}

JsonReader::Step JsonReader::next_element() {
  skip_ws();
  if (p_ == end_) return fail_eof("EOF while parsing a list"), Step::Error;
  if (*p_ == ']') {
    tok_ = p_++;
    --depth_;
    first_ = false;
    return Step::End;
  }
  if (first_) {
    first_ = false;
  } else {
    if (*p_ != ',') return fail_at(p_, "expected `,` or `]`"), Step::Error;
    ++p_;
    skip_ws();
    if (p_ != end_ && *p_ == ']') return fail_at(p_, "trailing comma"), Step::Error;
  }
  tok_ = p_;
  return Step::Item;
}

bool JsonReader::end_fixed_array() {
  skip_ws();
  if (p_ == end_) return fail_eof("EOF while parsing a list");
  if (*p_ == ']') {
    tok_ = p_++;
    --depth_;
    first_ = false;
    return true;
  }
  if (*p_ == ',') {
    ++p_;
    skip_ws();
    if (p_ != end_ && *p_ == ']') return fail_at(p_, "trailing comma");
  }
  return fail_at(p_, "trailing characters");
}

bool JsonReader::read_string(std::string_view& out) {
  if (peek() != '"') return fail_invalid_type("a string");
  const char* start = ++p_;
  for (;;) {
    while (end_ - p_ >= 8) {
      uint64_t w;
      std::memcpy(&w, p_, 8);
      if (has_special(w)) break;
      p_ += 8;
    }
    if (p_ == end_) return fail_eof("EOF while parsing a string");
    switch (kStringClass[static_cast<unsigned char>(*p_)]) {
      case kPlain:
        ++p_;
        break;
      case kQuote:
        out = std::string_view(start, static_cast<std::size_t>(p_ - start));
        ++p_;
        return true;
      case kBackslash:
        return read_string_slow(start, out);
      case kControl:
        return fail_at(p_, kControlInString);
      default:
        if (!skip_utf8()) return false;
    }
  }
}

bool JsonReader::skip_utf8() {
  const auto* u = reinterpret_cast<const unsigned char*>(p_);
  const std::size_t n = utf8_sequence(u, reinterpret_cast<const unsigned char*>(end_));
  if (n == 0) return fail_at(p_, "invalid UTF-8 in string");
  p_ += n;
  return true;
}

bool JsonReader::read_string(std::string& out) {
  std::string_view v;
  if (!read_string(v)) return false;
  out.assign(v);
  return true;
}

// The string from its first escape on, decoded into the scratch buffer.
bool JsonReader::read_string_slow(const char* start, std::string_view& out) {
  scratch_.assign(start, p_);
  for (;;) {
    const char* run = p_;
    while (p_ != end_ && kStringClass[static_cast<unsigned char>(*p_)] == kPlain) ++p_;
    scratch_.append(run, p_);
    if (p_ == end_) return fail_eof("EOF while parsing a string");
    switch (kStringClass[static_cast<unsigned char>(*p_)]) {
      case kQuote:
        out = scratch_;
        ++p_;
        return true;
      case kBackslash:
        if (!read_escape(scratch_)) return false;
        break;
      case kControl:
        return fail_at(p_, kControlInString);
      default: {
        const char* at = p_;
        if (!skip_utf8()) return false;
        scratch_.append(at, p_);
      }
    }
  }
}

bool JsonReader::read_escape(Scratch& out) {
  const char* at = p_++;
  if (p_ == end_) return fail_eof("EOF while parsing a string");
  char c = *p_++;
  switch (c) {
    case '"': case '\\': case '/': out.push_back(c); return true;
    case 'b': out.push_back('\b'); return true;
    case 'f': out.push_back('\f'); return true;
    case 'n': out.push_back('\n'); return true;
    case 'r': out.push_back('\r'); return true;
    case 't': out.push_back('\t'); return true;
    case 'u': break;
    default: return fail_at(at, "invalid escape");
  }
  if (end_ - p_ < 4) return fail_eof("EOF while parsing a string");
  int32_t cp = hex4(p_);
  if (cp < 0) return fail_at(at, "invalid escape");
  p_ += 4;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_at(at, "lone trailing surrogate in hex escape");
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    if (end_ - p_ < 6 || p_[0] != '\\' || p_[1] != 'u') return fail_at(at, "lone leading surrogate in hex escape");
    const int32_t low = hex4(p_ + 2);
    if (low < 0) return fail_at(p_, "invalid escape");
    if (low < 0xDC00 || low > 0xDFFF) return fail_at(at, "lone leading surrogate in hex escape");
    p_ += 6;
    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  }
  append_utf8(out, static_cast<uint32_t>(cp));
  return true;
}

bool JsonReader::read_number(JsonNumber& out) {
  peek();
  const char* start = p_;
  const bool negative = p_ != end_ && *p_ == '-';
  if (negative) ++p_;
  if (p_ == end_) return fail_eof("EOF while parsing a value");
  uint64_t mag = 0;
  bool big = false;  // beyond 64 bits
  if (*p_ == '0') {
    ++p_;
    if (p_ != end_ && is_digit(*p_)) return fail_at(p_, "invalid number");
  } else if (is_digit(*p_)) {
    do {
      const auto d = static_cast<uint64_t>(*p_ - '0');
      if (!big) {
        if (mag > (std::numeric_limits<uint64_t>::max() - d) / 10) big = true;
        else mag = mag * 10 + d;
      }
      ++p_;
    } while (p_ != end_ && is_digit(*p_));
  } else {
    return fail_at(p_, "invalid number");
  }
  bool real = false;
  if (p_ != end_ && *p_ == '.') {
    real = true;
    ++p_;
    if (p_ == end_) return fail_eof("EOF while parsing a value");
    if (!is_digit(*p_)) return fail_at(p_, "invalid number");
    while (p_ != end_ && is_digit(*p_)) ++p_;
  }
  if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
    real = true;
    ++p_;
    if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    if (p_ == end_) return fail_eof("EOF while parsing a value");
    if (!is_digit(*p_)) return fail_at(p_, "invalid number");
    while (p_ != end_ && is_digit(*p_)) ++p_;
  }
  if (!real && !big) {
    constexpr uint64_t kInt64Max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (!negative) {
      if (mag <= kInt64Max) {
        out.kind = JsonNumber::Kind::Int;
        out.i = static_cast<int64_t>(mag);
      } else {
        out.kind = JsonNumber::Kind::UInt;
        out.u = mag;
      }
      return true;
    }
    if (mag <= kInt64Max + 1) {
      out.kind = JsonNumber::Kind::Int;
      out.i = mag == kInt64Max + 1 ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(mag);
      return true;
    }
  }
  return number_to_double(start, out);
}

bool JsonReader::number_to_double(const char* start, JsonNumber& out) {
  double d = 0;
  bool out_of_range = false;
#if defined(__cpp_lib_to_chars)
  const auto r = std::from_chars(start, p_, d);
  out_of_range = r.ec == std::errc::result_out_of_range;
  if (!out_of_range && (r.ec != std::errc() || r.ptr != p_)) return fail_at(start, "invalid number");
#else
  // strtod follows the locale's decimal point.
  std::string text(start, p_);
  const char point = *std::localeconv()->decimal_point;
  for (char& c : text)
    if (c == '.') c = point;
  errno = 0;
  d = std::strtod(text.c_str(), nullptr);
  out_of_range = errno == ERANGE && (std::isinf(d) || d == 0);
#endif
  if (out_of_range) {
    if (too_large(start, p_)) return fail_at(start, "number out of range");
    d = *start == '-' ? -0.0 : 0.0;
  }
  out.kind = JsonNumber::Kind::Double;
  out.d = d;
  return true;
}

bool JsonReader::read_literal(std::string_view word) {
  for (char c : word) {
    if (p_ == end_) return fail_eof("EOF while parsing a value");
    if (*p_ != c) return fail_at(p_, "invalid literal");
    ++p_;
  }
  return true;
}

bool JsonReader::read_bool(bool& out) {
  const char c = peek();
  if (c == 't') {
    out = true;
    return read_literal("true");
  }
  if (c == 'f') {
    out = false;
    return read_literal("false");
  }
  return fail_invalid_type("a boolean");
}

bool JsonReader::read_null() {
  if (peek() != 'n') return fail_invalid_type("null");
  return read_literal("null");
}

bool JsonReader::skip_value() {
  std::string_view name;
  switch (peek()) {
    case '{': {
      if (!begin_object()) return false;
      for (;;) {
        const Step s = next_member(name);
        if (s == Step::End) return true;
        if (s == Step::Error || !skip_value()) return false;
      }
    }
    case '[': {
      if (!begin_array()) return false;
      for (;;) {
        const Step s = next_element();
        if (s == Step::End) return true;
        if (s == Step::Error || !skip_value()) return false;
      }
    }
    case '"':
      return read_string(name);
    case 't':
      return read_literal("true");
    case 'f':
      return read_literal("false");
    case 'n':
      return read_literal("null");
    default: {
      if (p_ == end_ || (*p_ != '-' && !is_digit(*p_))) return fail_expected_value();
      JsonNumber n;
      return read_number(n);
    }
  }
}

bool JsonReader::read_value(nlohmann::json& out) {
  // A repeated member reads into the earlier member's value: its tree goes first.
  release_tree(out);
  std::string_view s;
  switch (peek()) {
    case '{': {
      if (!begin_object()) return false;
      out = nlohmann::json::object();
      auto& obj = *out.get_ptr<nlohmann::json::object_t*>();
      for (;;) {
        const Step step = next_member(s);
        if (step == Step::End) return true;
        if (step == Step::Error) return false;
        // Members mostly come in ascending order; an existing key is overwritten.
        auto it = obj.try_emplace(obj.end(), std::string(s));
        if (!read_value(it->second)) return false;
      }
    }
    case '[': {
      if (!begin_array()) return false;
      out = nlohmann::json::array();
      auto& arr = *out.get_ptr<nlohmann::json::array_t*>();
      for (;;) {
        const Step step = next_element();
        if (step == Step::End) return true;
        if (step == Step::Error) return false;
        if (!read_value(arr.emplace_back())) return false;
      }
    }
    case '"':
      if (!read_string(s)) return false;
      // Made in place in the tree, which its owner wipes: a temporary copy would be
      // freed unwiped if there were no memory for the tree's string.
      out = nlohmann::json(nlohmann::json::value_t::string);
      out.get_ref<nlohmann::json::string_t&>().assign(s);
      return true;
    case 't':
      out = true;
      return read_literal("true");
    case 'f':
      out = false;
      return read_literal("false");
    case 'n':
      out = nullptr;
      return read_literal("null");
    default: {
      if (p_ == end_ || (*p_ != '-' && !is_digit(*p_))) return fail_expected_value();
      JsonNumber n;
      if (!read_number(n)) return false;
      switch (n.kind) {
        case JsonNumber::Kind::Int: out = n.i; break;
        case JsonNumber::Kind::UInt: out = n.u; break;
        case JsonNumber::Kind::Double: out = n.d; break;
      }
      return true;
    }
  }
}

bool JsonReader::finish() {
  skip_ws();
  if (p_ != end_) return fail_at(p_, "trailing characters");
  return true;
}

std::string found_float_text(double v) {
  JsonWriter w;
  w.floating(v);
  return w.take();
}

std::string invalid_type_message(std::string_view found, std::string_view expected) {
  std::string m = "invalid type: ";
  m.append(found).append(", expected ").append(expected);
  return m;
}

std::string found_text(const nlohmann::json& value) {
  using T = nlohmann::json::value_t;
  switch (value.type()) {
    case T::boolean:
      return value.get<bool>() ? "boolean `true`" : "boolean `false`";
    case T::number_integer:
      return "integer `" + std::to_string(value.get<int64_t>()) + "`";
    case T::number_unsigned:
      return "integer `" + std::to_string(value.get<uint64_t>()) + "`";
    case T::number_float:
      return "floating point `" + found_float_text(value.get<double>()) + "`";
    case T::string:
      return string_found(value.get_ref<const std::string&>());
    case T::array:
      return "sequence";
    case T::object:
      return "map";
    case T::binary:
      return "bytes";
    default:
      return "null";
  }
}

JsonResult<JsonTree> parse_json_text(std::string_view text) {
  JsonReader r(text);
  // Read into its owner, so that a partial tree is wiped on every way out.
  JsonTree tree;
  if (!r.read_value(tree.get()) || !r.finish()) return r.take_error();
  return tree;
}

}  // namespace velno
