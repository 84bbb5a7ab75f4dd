#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quencore_contracts/ids.hpp"
#include "quencore_contracts/time.hpp"
#include "quenvistrel_contracts/ordered_map.hpp"
#include "quenvistrel_contracts/record_ids.hpp"
#include "quenvistrel_contracts/severity.hpp"
#include "quenvistrel_contracts/time_bucket.hpp"

namespace quenvistrel_contracts {

using quencore_contracts::Slug;
using quencore_contracts::TenantId;
using quencore_contracts::Timestamp;
using quencore_contracts::WorkspaceId;

inline constexpr std::uint16_t CONTRACT_VERSION = 1;

// One accepted, classified event.
struct VistrelEvent {
  std::uint16_t contract_version = CONTRACT_VERSION;
  EventId event_id;
  TenantId tenant_id;
  WorkspaceId workspace_id;
  Slug product_id;
  std::string event_type;
  Severity severity = Severity::Info;
  std::string status;
  std::string subject_kind;
  std::string subject_id;
  Timestamp occurred_at;
  Timestamp received_at;
  StringMap safe_metadata;

  friend bool operator==(const VistrelEvent&, const VistrelEvent&) = default;
};

// The number of events of one tenant, workspace, product, event type and severity in one
// time bucket.
struct VistrelRollup {
  RollupId rollup_id;
  TenantId tenant_id;
  WorkspaceId workspace_id;
  Slug product_id;
  std::string event_type;
  Severity severity = Severity::Info;
  TimeBucket bucket = TimeBucket::Hour;
  std::int64_t bucket_start = 0;
  std::uint64_t count = 0;

  friend bool operator==(const VistrelRollup&, const VistrelRollup&) = default;
};

// A risk finding derived from rollups.
struct RiskIndicator {
  IndicatorId indicator_id;
  TenantId tenant_id;
  WorkspaceId workspace_id;
  std::string indicator_type;
  Severity severity = Severity::Info;
  std::uint8_t score = 0;
  std::vector<std::string> reason_codes;
  Timestamp first_seen_at;
  Timestamp last_seen_at;
  bool acknowledged = false;

  friend bool operator==(const RiskIndicator&, const RiskIndicator&) = default;
};

// A user-defined alert over one tenant's rollups of one event type.
struct AlertRule {
  AlertRuleId rule_id;
  TenantId tenant_id;
  std::string name;
  bool enabled = true;
  std::string event_type;
  std::uint64_t threshold = 0;
  TimeBucket bucket = TimeBucket::Hour;
  Severity severity = Severity::High;
  std::uint32_t cooldown_buckets = 0;

  friend bool operator==(const AlertRule&, const AlertRule&) = default;
};

// One firing of a rule.
struct AlertEvent {
  AlertEventId alert_id;
  AlertRuleId rule_id;
  TenantId tenant_id;
  std::int64_t bucket_start = 0;
  std::uint64_t observed_count = 0;
  Severity severity = Severity::Info;
  Timestamp fired_at;
  bool acknowledged = false;

  friend bool operator==(const AlertEvent&, const AlertEvent&) = default;
};

}  // namespace quenvistrel_contracts
