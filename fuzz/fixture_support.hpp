#pragma once

// Shared by the fixture targets: an in-memory file that the path-taking readers can open,
// and an independent reading of the fixture records from a Boost.JSON document, used as an
// oracle for what the typed reader returns.

#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <set>
#include <vector>

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include "fuzz_support.hpp"
#include "quencore_contracts/ids.hpp"
#include "quencore_contracts/time.hpp"
#include "quenvistrel_classify/raw_records.hpp"
#include "quenvistrel_contracts/field_class.hpp"
#include "quenvistrel_contracts/severity.hpp"

namespace quen_fuzz {

// A memory-backed file reachable through /proc/self/fd, rewritten for every input.
class MemFile {
 public:
  explicit MemFile(const char* name) {
    fd_ = ::memfd_create(name, MFD_CLOEXEC);
    if (fd_ < 0) {
      std::perror("memfd_create");
      std::abort();
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;

  const std::string& path() const { return path_; }

  void set(std::string_view bytes) const {
    if (::ftruncate(fd_, 0) != 0) std::abort();
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_ = -1;
  std::string path_;
};

// The document as the readers' grammar sees it: strict JSON, UTF-8, depth at most 128.
inline std::optional<boost::json::value> parse_dom(std::string_view text) {
  boost::json::parse_options options;
  options.max_depth = 128;
  boost::json::error_code ec;
  boost::json::value v = boost::json::parse(boost::json::string_view(text.data(), text.size()), ec, {}, options);
  if (ec) return std::nullopt;
  return v;
}

// Whether any object of a well-formed document names a key twice. The document form keeps
// only the last of them, so the oracle below cannot see such a key.
class DuplicateKeyFinder {
 public:
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
  using ec_t = boost::json::error_code;
  using sv_t = boost::json::string_view;

  bool found = false;

  bool on_document_begin(ec_t&) { return true; }
  bool on_document_end(ec_t&) { return true; }
  bool on_object_begin(ec_t&) { return keys_.emplace_back(), true; }
  bool on_object_end(std::size_t, ec_t&) { return keys_.pop_back(), true; }
  bool on_array_begin(ec_t&) { return true; }
  bool on_array_end(std::size_t, ec_t&) { return true; }
  bool on_key_part(sv_t s, std::size_t, ec_t&) { return part_.append(s.data(), s.size()), true; }
  bool on_key(sv_t s, std::size_t, ec_t&) {
    part_.append(s.data(), s.size());
    if (!keys_.back().insert(part_).second) found = true;
    part_.clear();
    return true;
  }
  bool on_string_part(sv_t, std::size_t, ec_t&) { return true; }
  bool on_string(sv_t, std::size_t, ec_t&) { return true; }
  bool on_number_part(sv_t, ec_t&) { return true; }
  bool on_int64(std::int64_t, sv_t, ec_t&) { return true; }
  bool on_uint64(std::uint64_t, sv_t, ec_t&) { return true; }
  bool on_double(double, sv_t, ec_t&) { return true; }
  bool on_bool(bool, ec_t&) { return true; }
  bool on_null(ec_t&) { return true; }
  bool on_comment_part(sv_t, ec_t&) { return true; }
  bool on_comment(sv_t, ec_t&) { return true; }

 private:
  std::vector<std::set<std::string>> keys_;
  std::string part_;
};

inline bool has_duplicate_keys(std::string_view text) {
  boost::json::parse_options options;
  options.max_depth = 128;
  boost::json::basic_parser<DuplicateKeyFinder> parser(options);
  boost::json::error_code ec;
  parser.write_some(false, text.data(), text.size(), ec);
  return parser.handler().found;
}

inline std::string_view sv(const boost::json::string& s) { return {s.data(), s.size()}; }

// An enumeration value: its wire name, or an object with that name as its one key and null
// as the member value.
inline std::optional<std::string_view> enum_text(const boost::json::value& v) {
  if (v.is_string()) return sv(v.get_string());
  if (v.is_object() && v.get_object().size() == 1 && v.get_object().begin()->value().is_null()) {
    const auto key = v.get_object().begin()->key();
    return std::string_view(key.data(), key.size());
  }
  return std::nullopt;
}

inline std::optional<quenvistrel_contracts::OrderedMap<std::string>> string_map(const boost::json::value* v) {
  if (v == nullptr || !v->is_object()) return std::nullopt;
  quenvistrel_contracts::OrderedMap<std::string> m;
  for (const auto& kv : v->get_object()) {
    if (!kv.value().is_string()) return std::nullopt;
    m.insert_or_assign(std::string(kv.key().data(), kv.key().size()), std::string(sv(kv.value().get_string())));
  }
  return m;
}

inline std::optional<quenvistrel_contracts::OrderedMap<quenvistrel_contracts::FieldClass>> class_map(
    const boost::json::value* v) {
  if (v == nullptr || !v->is_object()) return std::nullopt;
  quenvistrel_contracts::OrderedMap<quenvistrel_contracts::FieldClass> m;
  for (const auto& kv : v->get_object()) {
    const auto text = enum_text(kv.value());
    if (!text) return std::nullopt;
    const auto c = quenvistrel_contracts::field_class_from_wire(*text);
    if (!c) return std::nullopt;
    m.insert_or_assign(std::string(kv.key().data(), kv.key().size()), *c);
  }
  return m;
}

inline std::optional<std::string> string_field(const boost::json::object& o, std::string_view name) {
  const auto* v = o.if_contains(boost::json::string_view(name.data(), name.size()));
  if (v == nullptr || !v->is_string()) return std::nullopt;
  return std::string(sv(v->get_string()));
}

// The RawEvent a well-typed object denotes; empty when a field is missing or mistyped.
// (Duplicate field names are invisible in the document, which keeps the last.)
inline std::optional<quenvistrel_classify::RawEvent> oracle_raw_event(const boost::json::value& v) {
  if (!v.is_object()) return std::nullopt;
  const auto& o = v.get_object();
  quenvistrel_classify::RawEvent r;
  auto event_type = string_field(o, "event_type");
  auto status = string_field(o, "status");
  auto subject_kind = string_field(o, "subject_kind");
  auto subject_id = string_field(o, "subject_id");
  auto occurred_at = string_field(o, "occurred_at");
  const auto* severity = o.if_contains("severity");
  auto fields = string_map(o.if_contains("fields"));
  if (!event_type || !status || !subject_kind || !subject_id || !occurred_at || severity == nullptr || !fields) {
    return std::nullopt;
  }
  const auto severity_text = enum_text(*severity);
  if (!severity_text) return std::nullopt;
  const auto s = quenvistrel_contracts::severity_from_wire(*severity_text);
  const auto t = quencore_contracts::Timestamp::from_str(*occurred_at);
  if (!s || !t) return std::nullopt;
  r.event_type = std::move(*event_type);
  r.severity = *s;
  r.status = std::move(*status);
  r.subject_kind = std::move(*subject_kind);
  r.subject_id = std::move(*subject_id);
  r.occurred_at = *t;
  r.fields = std::move(*fields);
  return r;
}

inline std::optional<quenvistrel_classify::SourceSchema> oracle_schema(const boost::json::value& v) {
  if (!v.is_object()) return std::nullopt;
  const auto& o = v.get_object();
  quenvistrel_classify::SourceSchema s;
  auto source_name = string_field(o, "source_name");
  auto product_id = string_field(o, "product_id");
  auto fields = class_map(o.if_contains("fields"));
  const auto* approved = o.if_contains("sensitive_approved");
  if (!source_name || !product_id || !fields || approved == nullptr || !approved->is_bool()) return std::nullopt;
  auto slug = quencore_contracts::Slug::try_from(*product_id);
  if (!slug) return std::nullopt;
  s.source_name = std::move(*source_name);
  s.product_id = std::move(*slug);
  s.fields = std::move(*fields);
  s.sensitive_approved = approved->get_bool();
  const std::pair<const char*, quenvistrel_contracts::OrderedMap<quenvistrel_contracts::FieldClass>*> optional_maps[] = {
      {"event_types", &s.event_types}, {"statuses", &s.statuses}, {"subject_kinds", &s.subject_kinds}};
  for (const auto& [name, target] : optional_maps) {
    const auto* m = o.if_contains(name);
    if (m == nullptr) continue;
    auto read = class_map(m);
    if (!read) return std::nullopt;
    *target = std::move(*read);
  }
  return s;
}

inline void check_utf8_event(const quenvistrel_classify::RawEvent& e) {
  QUEN_FUZZ_CHECK(is_valid_utf8(e.event_type), e.event_type);
  QUEN_FUZZ_CHECK(is_valid_utf8(e.status), e.status);
  QUEN_FUZZ_CHECK(is_valid_utf8(e.subject_kind), e.subject_kind);
  QUEN_FUZZ_CHECK(is_valid_utf8(e.subject_id), e.subject_id);
  for (const auto& [k, v] : e.fields) {
    QUEN_FUZZ_CHECK(is_valid_utf8(k), k);
    QUEN_FUZZ_CHECK(is_valid_utf8(v), v);
  }
}

// A fixture error: "{path}: {message} at line {line} column {column}", valid UTF-8.
// A name ending as `name` for the memory file, as a symbolic link in a folder of this run
// (removed at exit): the readers choose the layout by the name.
inline std::string named_link(const MemFile& file, const std::string& name) {
  static char folder[] = "/tmp/quen-fuzz-XXXXXX";
  static const bool made = [] {
    if (::mkdtemp(folder) == nullptr) std::abort();
    std::atexit([] { std::filesystem::remove_all(folder); });
    return true;
  }();
  (void)made;
  const std::string link = std::string(folder) + "/" + name;
  if (::symlink(file.path().c_str(), link.c_str()) != 0) std::abort();
  return link;
}

// The text compressed as gzip or zstd would write it.
// (Each keeps one compressor for the whole run: making one costs more than most inputs.)
inline std::string gzip(std::string_view text) {
  static z_stream z = [] {
    z_stream s{};
    if (deflateInit2(&s, 1, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
    return s;
  }();
  if (deflateReset(&z) != Z_OK) std::abort();
  std::string out(deflateBound(&z, text.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(z.total_out);
  return out;
}
inline std::string zstd(std::string_view text) {
  static ZSTD_CCtx* const context = ZSTD_createCCtx();
  std::string out(ZSTD_compressBound(text.size()), '\0');
  const std::size_t n = ZSTD_compressCCtx(context, out.data(), out.size(), text.data(), text.size(), 1);
  if (ZSTD_isError(n) != 0) std::abort();
  out.resize(n);
  return out;
}

// An error text without the "{path}: " it starts with.
inline std::string_view after_path(const std::string& error, const std::string& path) {
  std::string_view rest = error;
  if (rest.starts_with(path + ": ")) rest.remove_prefix(path.size() + 2);
  return rest;
}

// Whether the bytes start as gzip or zstd data, which the readers decompress.
inline bool looks_compressed(std::string_view bytes) {
  return bytes.starts_with("\x1f\x8b") || bytes.starts_with(std::string_view("\x28\xb5\x2f\xfd", 4));
}

inline void check_fixture_error(const std::string& error, const std::string& path) {
  QUEN_FUZZ_CHECK(error.starts_with(path + ": "), error);
  // A stream that cannot be decompressed has no text to point into.
  const std::string_view rest = after_path(error, path);
  const bool undecodable = rest.starts_with("corrupt gzip data (") || rest.starts_with("corrupt zstd data (") ||
                           rest == "truncated gzip data" || rest == "truncated zstd data";
  QUEN_FUZZ_CHECK(has_position(error) || undecodable, error);
  QUEN_FUZZ_CHECK(is_valid_utf8(error), error);
}

}  // namespace quen_fuzz
