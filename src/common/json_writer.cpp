#include "common/json_writer.hpp"

#include <array>
#include <charconv>
#include <cmath>

#include "common/utf8.hpp"

namespace velno {

namespace {

// 0: copied as is; 1: escaped; 2: starts a multi-byte UTF-8 sequence (or is ill-formed).
constexpr std::array<uint8_t, 256> make_classes() {
  std::array<uint8_t, 256> t{};
  for (int i = 0; i < 0x20; ++i) t[i] = 1;
  t['"'] = 1;
  t['\\'] = 1;
  for (int i = 0x80; i < 0x100; ++i) t[i] = 2;
  return t;
}
constexpr std::array<uint8_t, 256> kClass = make_classes();

void append_escape(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  switch (c) {
    case '"': out.append("\\\""); return;
    case '\\': out.append("\\\\"); return;
    case 0x08: out.append("\\b"); return;
    case 0x09: out.append("\\t"); return;
    case 0x0A: out.append("\\n"); return;
    case 0x0C: out.append("\\f"); return;
    case 0x0D: out.append("\\r"); return;
    default: break;
  }
  const char u[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0x0F]};
  out.append(u, sizeof u);
}

void write_tree(JsonWriter& w, const nlohmann::json& v) {
  using T = nlohmann::json::value_t;
  switch (v.type()) {
    case T::null:
    case T::discarded:
      w.null();
      return;
    case T::boolean:
      w.boolean(v.get<bool>());
      return;
    case T::number_integer:
      w.integer(v.get<int64_t>());
      return;
    case T::number_unsigned:
      w.unsigned_integer(v.get<uint64_t>());
      return;
    case T::number_float:
      w.floating(v.get<double>());
      return;
    case T::string:
      w.string(v.get_ref<const std::string&>());
      return;
    case T::array: {
      w.raw('[');
      bool first = true;
      for (const auto& e : v) {
        if (!first) w.raw(',');
        first = false;
        write_tree(w, e);
      }
      w.raw(']');
      return;
    }
    case T::object: {
      // The object type is an ordered map: items() come in ascending key order.
      w.raw('{');
      bool first = true;
      for (const auto& [k, e] : v.items()) {
        if (!first) w.raw(',');
        first = false;
        w.key(k);
        write_tree(w, e);
      }
      w.raw('}');
      return;
    }
    case T::binary: {
      // Never part of a payload; written as the JSON library writes it.
      const auto& bin = v.get_binary();
      w.raw("{\"bytes\":[");
      for (std::size_t i = 0; i < bin.size(); ++i) {
        if (i) w.raw(',');
        w.unsigned_integer(bin[i]);
      }
      w.raw("],\"subtype\":");
      if (bin.has_subtype()) w.unsigned_integer(bin.subtype());
      else w.null();
      w.raw('}');
      return;
    }
  }
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t start = 0;  // first byte not yet copied
  std::size_t i = 0;
  while (i < n) {
    const uint8_t cls = kClass[p[i]];
    if (cls == 0) {
      ++i;
      continue;
    }
    if (cls == 2) {
      const Utf8Step st = utf8_step(text, i);
      if (st.status == Utf8Step::Valid) {
        i += st.len;
        continue;
      }
      out.append(text.data() + start, i - start);
      out.append(kUtf8Replacement);
      i += st.len;
      start = i;
      continue;
    }
    out.append(text.data() + start, i - start);
    append_escape(out, p[i]);
    start = ++i;
  }
  out.append(text.data() + start, n - start);
  out.push_back('"');
}

std::size_t json_string_size(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t size = 2;
  for (std::size_t i = 0; i < text.size();) {
    const uint8_t cls = kClass[p[i]];
    if (cls == 2) {
      const Utf8Step st = utf8_step(text, i);
      size += st.status == Utf8Step::Valid ? st.len : kUtf8Replacement.size();
      i += st.len;
      continue;
    }
    const unsigned char c = p[i++];
    if (cls == 0)
      size += 1;
    else
      size += (c == '"' || c == '\\' || c == 0x08 || c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D) ? 2 : 6;
  }
  return size;
}

void JsonWriter::string(std::string_view text) { append_json_string(buf(), text); }

void JsonWriter::integer(int64_t v) {
  char tmp[24];
  auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
  buf().append(tmp, r.ptr);
}

void JsonWriter::unsigned_integer(uint64_t v) {
  char tmp[24];
  auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
  buf().append(tmp, r.ptr);
}

void JsonWriter::floating(double v) {
  // JSON has no NaN or infinity.
  if (!std::isfinite(v)) {
    null();
    return;
  }
  char tmp[32];
  auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
  std::string_view s(tmp, static_cast<std::size_t>(r.ptr - tmp));
  buf().append(s);
  // Keep it a floating-point number when read back ("1.0", not "1").
  if (s.find_first_of(".e") == std::string_view::npos) buf().append(".0");
}

void JsonWriter::value(const nlohmann::json& v) { write_tree(*this, v); }

}  // namespace velno
