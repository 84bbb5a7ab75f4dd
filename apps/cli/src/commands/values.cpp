// Strict readers for option values, beside the command table that declares them.
#include "commands/values.hpp"

#include <algorithm>
#include <charconv>
#include <limits>

#include <fmt/format.h>

#include "quencore_contracts/echo.hpp"

namespace quenvistrel_cli {

namespace {

using quencore_contracts::echo_input;

// Checks the shape "[sign]digits" before std::from_chars, which on its own would stop at
// the first non-digit and report success for "5x".
std::expected<void, std::string> check_decimal(std::string_view digits) {
  if (digits.empty() || !std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; })) {
    return std::unexpected(std::string("expected decimal digits"));
  }
  return {};
}

}  // namespace

std::expected<std::uint64_t, std::string> parse_u64(std::string_view text) {
  std::string_view digits = text;
  if (digits.starts_with('-')) {
    return std::unexpected(std::string("a negative value is not allowed"));
  }
  if (digits.starts_with('+')) {
    digits.remove_prefix(1);
  }
  if (auto shape = check_decimal(digits); !shape) {
    return std::unexpected(std::move(shape.error()));
  }
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc{}) {
    return std::unexpected(fmt::format("{} is not in 0..={}", echo_input(text), std::numeric_limits<std::uint64_t>::max()));
  }
  return value;
}

std::expected<std::int64_t, std::string> parse_i64(std::string_view text) {
  // from_chars takes "-" but not "+"; only one sign, of either kind, may come first.
  const bool plus = text.starts_with('+');
  const std::string_view number = plus ? text.substr(1) : text;
  const std::string_view digits = !plus && number.starts_with('-') ? number.substr(1) : number;
  if (auto shape = check_decimal(digits); !shape) {
    return std::unexpected(std::move(shape.error()));
  }
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec != std::errc{}) {
    return std::unexpected(fmt::format("{} is not in {}..={}", echo_input(text), std::numeric_limits<std::int64_t>::min(),
                                       std::numeric_limits<std::int64_t>::max()));
  }
  return value;
}

std::expected<std::uint32_t, std::string> parse_cooldown(std::string_view text) {
  auto wide = parse_i64(text);
  if (!wide) {
    return std::unexpected(std::move(wide.error()));
  }
  if (*wide < 0 || *wide > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(fmt::format("{} is not in 0..={}", *wide, std::numeric_limits<std::uint32_t>::max()));
  }
  return static_cast<std::uint32_t>(*wide);
}

namespace {

template <class Id>
std::expected<Id, std::string> parse_id(std::string_view text) {
  auto id = Id::from_str(text);
  if (!id) {
    return std::unexpected(id.error().message());
  }
  return *id;
}

}  // namespace

std::expected<std::uint64_t, std::string> parse_positive(std::string_view text) {
  auto value = parse_u64(text);
  if (value && *value == 0) return std::unexpected(std::string("must be at least 1"));
  return value;
}

std::expected<quencore_contracts::TenantId, std::string> parse_tenant(std::string_view text) {
  return parse_id<quencore_contracts::TenantId>(text);
}

std::expected<quencore_contracts::WorkspaceId, std::string> parse_workspace(std::string_view text) {
  return parse_id<quencore_contracts::WorkspaceId>(text);
}

std::expected<quenvistrel_contracts::AlertRuleId, std::string> parse_rule_id(std::string_view text) {
  return parse_id<quenvistrel_contracts::AlertRuleId>(text);
}

std::expected<quenvistrel_contracts::IndicatorId, std::string> parse_indicator_id(std::string_view text) {
  return parse_id<quenvistrel_contracts::IndicatorId>(text);
}

std::expected<quencore_contracts::Timestamp, std::string> parse_time(std::string_view text) {
  auto time = quencore_contracts::Timestamp::from_str(text);
  if (!time) {
    return std::unexpected(time.error().message());
  }
  return *time;
}

std::expected<std::string, std::string> parse_http_url(std::string_view text) {
  // Only the scheme and a host are checked here; the transfer names any other fault.
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (text.starts_with(scheme) && text.size() > scheme.size() && text[scheme.size()] != '/') return std::string(text);
  }
  return std::unexpected(std::string("expected an http:// or https:// URL with a host"));
}

std::expected<std::string, std::string> parse_path(std::string_view text) {
  if (text.empty()) return std::unexpected(std::string("expected a path"));
  return std::string(text);
}

}  // namespace quenvistrel_cli
