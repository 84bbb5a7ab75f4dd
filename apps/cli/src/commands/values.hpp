#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "quencore_contracts/ids.hpp"
#include "quencore_contracts/time.hpp"
#include "quenvistrel_contracts/record_ids.hpp"

namespace quenvistrel_cli {

// Strict readers for option values. CLI11's own integer conversion is not used: it reads
// "0x10" as 16, "010" as 8, tolerates surrounding spaces and wraps "-1" to the u64 maximum.
// Each error is the reason only; the grammar adds the option and the value.

// Decimal digits, optionally preceded by "+".
[[nodiscard]] std::expected<std::uint64_t, std::string> parse_u64(std::string_view text);
// Decimal digits, optionally preceded by "+" or "-".
[[nodiscard]] std::expected<std::int64_t, std::string> parse_i64(std::string_view text);
// Read as a signed 64-bit decimal first, so "-1" is a range error rather than a syntax error.
[[nodiscard]] std::expected<std::uint32_t, std::string> parse_cooldown(std::string_view text);
// Decimal digits as parse_u64 reads them, at least 1.
[[nodiscard]] std::expected<std::uint64_t, std::string> parse_positive(std::string_view text);
// Any accepted UUID form; the reason is the identifier error's display text.
[[nodiscard]] std::expected<quencore_contracts::TenantId, std::string> parse_tenant(std::string_view text);
[[nodiscard]] std::expected<quencore_contracts::WorkspaceId, std::string> parse_workspace(std::string_view text);
[[nodiscard]] std::expected<quenvistrel_contracts::AlertRuleId, std::string> parse_rule_id(std::string_view text);
[[nodiscard]] std::expected<quenvistrel_contracts::IndicatorId, std::string> parse_indicator_id(std::string_view text);
// RFC 3339 text, with any offset; the reason is the timestamp error's display text.
[[nodiscard]] std::expected<quencore_contracts::Timestamp, std::string> parse_time(std::string_view text);
// An http:// or https:// URL with a host, taken as it stands.
[[nodiscard]] std::expected<std::string, std::string> parse_http_url(std::string_view text);
// A file path: any text but the empty one.
[[nodiscard]] std::expected<std::string, std::string> parse_path(std::string_view text);

}  // namespace quenvistrel_cli
