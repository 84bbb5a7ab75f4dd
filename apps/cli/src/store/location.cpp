#include "store/location.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include <fmt/format.h>

#include "quencore_contracts/echo.hpp"

namespace quenvistrel_cli {

namespace {

constexpr std::string_view kMask = "\u2026";

// libpq's connection keywords (those of libpq 15, and the few later ones, so that a newer
// library's words are not taken for a file name).
constexpr std::array<std::string_view, 43> kKeywords{
    "service", "user", "password", "passfile", "channel_binding", "connect_timeout", "dbname", "host", "hostaddr",
    "port", "client_encoding", "options", "application_name", "fallback_application_name", "keepalives",
    "keepalives_idle", "keepalives_interval", "keepalives_count", "tcp_user_timeout", "sslmode", "sslcompression",
    "sslcert", "sslkey", "sslpassword", "sslrootcert", "sslcrl", "sslcrldir", "sslsni", "requirepeer",
    "ssl_min_protocol_version", "ssl_max_protocol_version", "gssencmode", "krbsrvname", "gsslib", "replication",
    "target_session_attrs", "requiressl", "require_auth", "sslcertmode", "load_balance_hosts", "gssdelegation",
    "sslnegotiation", "sslkeylogfile"};

// Blanks as libpq's key=value reader skips them.
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The length of a URI scheme (RFC 3986: a letter, then letters, digits, "+", "-", ".") that
// `text` starts with and that a ":" follows; 0 when there is none.
std::size_t scheme_length(std::string_view text) {
  if (text.empty() || !is_alpha(text.front())) return 0;
  std::size_t n = 1;
  while (n < text.size() &&
         (is_alpha(text[n]) || (text[n] >= '0' && text[n] <= '9') || text[n] == '+' || text[n] == '-' || text[n] == '.')) {
    ++n;
  }
  return n < text.size() && text[n] == ':' ? n : 0;
}

bool is_database_uri(std::string_view text) {
  return text.starts_with("postgresql://") || text.starts_with("postgres://");
}

// Whether `text` opens with a libpq keyword followed, after any blanks, by "=".
bool is_keyword_words(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  const std::size_t start = i;
  while (i < text.size() && text[i] != '=' && !is_blank(text[i])) ++i;
  const std::string_view word = text.substr(start, i - start);
  while (i < text.size() && is_blank(text[i])) ++i;
  return i < text.size() && text[i] == '=' && std::ranges::find(kKeywords, word) != kKeywords.end();
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// A password in a location: where it is written (a span of the location) and its value once
// libpq has decoded it.
struct Secret {
  std::size_t at = 0;
  std::size_t size = 0;
  std::string decoded;
};

// The passwords of a URI at `base` in its location, read as libpq reads them: the user
// information is what lies before the first "@" that comes before any "/", its password what
// follows its first ":"; a query parameter "password" holds one too.
void uri_secrets(std::string_view uri, std::size_t base, std::vector<Secret>& out) {
  const std::size_t authority = uri.find("://") + 3;
  const std::size_t end = uri.find_first_of("@/", authority);
  if (end != std::string_view::npos && uri[end] == '@') {
    const std::size_t colon = uri.find(':', authority);
    if (colon < end) out.push_back({base + colon + 1, end - colon - 1, percent_decoded(uri.substr(colon + 1, end - colon - 1))});
  }
  const std::size_t query = uri.find('?', authority);
  if (query == std::string_view::npos) return;
  for (std::size_t at = query + 1; at <= uri.size();) {
    std::size_t stop = uri.find('&', at);
    if (stop == std::string_view::npos) stop = uri.size();
    const std::string_view parameter = uri.substr(at, stop - at);
    if (const std::size_t eq = parameter.find('='); eq != std::string_view::npos &&
                                                  percent_decoded(parameter.substr(0, eq)) == "password") {
      out.push_back({base + at + eq + 1, parameter.size() - eq - 1, percent_decoded(parameter.substr(eq + 1))});
    }
    at = stop + 1;
  }
}

// The passwords of key=value words, read as libpq reads them: blanks around "=", a value
// in single quotes or up to the next blank, a backslash taking the next character as it is.
// A value that is a URI (a dbname) may hold passwords of its own.
void keyword_secrets(std::string_view words, std::vector<Secret>& out) {
  std::size_t i = 0;
  while (i < words.size()) {
    while (i < words.size() && is_blank(words[i])) ++i;
    const std::size_t key_at = i;
    while (i < words.size() && words[i] != '=' && !is_blank(words[i])) ++i;
    const std::string_view key = words.substr(key_at, i - key_at);
    while (i < words.size() && is_blank(words[i])) ++i;
    if (i == words.size() || words[i] != '=') continue;  // a malformed word; libpq refuses it
    ++i;
    while (i < words.size() && is_blank(words[i])) ++i;
    const std::size_t value_at = i;
    const bool quoted = i < words.size() && words[i] == '\'';
    if (quoted) ++i;
    std::string decoded;
    while (i < words.size()) {
      const char c = words[i];
      if (quoted ? c == '\'' : is_blank(c)) break;
      if (c == '\\' && i + 1 < words.size()) {
        decoded += words[i + 1];
        i += 2;
      } else {
        decoded += c;
        ++i;
      }
    }
    if (quoted && i < words.size()) ++i;
    const std::string_view written = words.substr(value_at, i - value_at);
    if (key == "password") out.push_back({value_at, written.size(), decoded});
    if (const std::size_t scheme = scheme_length(decoded); scheme > 0 && decoded.substr(scheme).starts_with("://")) {
      // Written as it reads, the URI's passwords have places of their own; otherwise the whole
      // value is masked.
      const std::size_t first = out.size();
      uri_secrets(decoded, value_at, out);
      if (written != decoded && out.size() > first) {
        out.resize(first);
        out.push_back({value_at, written.size(), decoded});
      }
    }
  }
}

std::vector<Secret> secrets(std::string_view location) {
  std::vector<Secret> out;
  if (const std::size_t scheme = scheme_length(location); scheme > 0 && location.substr(scheme).starts_with("://")) {
    uri_secrets(location, 0, out);
  } else if (is_keyword_words(location)) {
    keyword_secrets(location, out);
  }
  return out;
}

}  // namespace

LocationForm location_form(std::string_view location) {
  if (is_database_uri(location) || is_keyword_words(location)) return LocationForm::Database;
  if (scheme_length(location) > 0) return LocationForm::Unknown;
  return LocationForm::File;
}

std::string unknown_location_error(std::string_view location) {
  const std::string shown = shown_location(location);
  return fmt::format(
      "{}: no such file, and not a database location: a database is written postgresql://…, postgres://… or as "
      "libpq's key=value words (\"host=db1 dbname=quen\"); a file of this name is reached as ./{}",
      shown, shown);
}

std::string without_passwords(std::string_view text, std::string_view location) {
  std::vector<std::string> hidden;
  for (const Secret& s : secrets(location)) {
    hidden.emplace_back(location.substr(s.at, s.size));
    hidden.push_back(s.decoded);
  }
  // The longest first, so that a password holding another is masked whole.
  std::ranges::sort(hidden, [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  std::string out(text);
  for (const std::string& h : hidden) {
    if (h.empty()) continue;
    for (std::size_t at = 0; (at = out.find(h, at)) != std::string::npos; at += kMask.size()) {
      out.replace(at, h.size(), kMask);
    }
  }
  return out;
}

std::string shown_location(std::string_view location) {
  std::vector<Secret> found = secrets(location);
  std::ranges::sort(found, [](const Secret& a, const Secret& b) { return a.at < b.at; });
  std::string out;
  std::size_t from = 0;
  for (const Secret& s : found) {
    if (s.at < from) continue;
    out.append(location.substr(from, s.at - from));
    // An empty password is shown as it is: there is nothing to hide.
    if (s.size > 0) out.append(kMask);
    from = s.at + s.size;
  }
  out.append(location.substr(from));
  return quencore_contracts::escape_controls(out);
}

}  // namespace quenvistrel_cli
