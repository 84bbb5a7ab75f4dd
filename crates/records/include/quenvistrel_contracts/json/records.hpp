#pragma once

#include <tuple>

#include "quenvistrel_contracts/json/codec.hpp"
#include "quenvistrel_contracts/records.hpp"

// The JSON forms of the stored records: keys are the field names, in declaration order.
namespace quenvistrel_contracts::json {

template <>
struct RecordDecl<VistrelEvent> {
  static constexpr std::string_view name = "VistrelEvent";
  static constexpr auto fields = std::tuple{
      field<&VistrelEvent::contract_version>("contract_version"),
      field<&VistrelEvent::event_id>("event_id"),
      field<&VistrelEvent::tenant_id>("tenant_id"),
      field<&VistrelEvent::workspace_id>("workspace_id"),
      field<&VistrelEvent::product_id>("product_id"),
      field<&VistrelEvent::event_type>("event_type"),
      field<&VistrelEvent::severity>("severity"),
      field<&VistrelEvent::status>("status"),
      field<&VistrelEvent::subject_kind>("subject_kind"),
      field<&VistrelEvent::subject_id>("subject_id"),
      field<&VistrelEvent::occurred_at>("occurred_at"),
      field<&VistrelEvent::received_at>("received_at"),
      field<&VistrelEvent::safe_metadata>("safe_metadata"),
  };
};

template <>
struct RecordDecl<VistrelRollup> {
  static constexpr std::string_view name = "VistrelRollup";
  static constexpr auto fields = std::tuple{
      field<&VistrelRollup::rollup_id>("rollup_id"),
      field<&VistrelRollup::tenant_id>("tenant_id"),
      field<&VistrelRollup::workspace_id>("workspace_id"),
      field<&VistrelRollup::product_id>("product_id"),
      field<&VistrelRollup::event_type>("event_type"),
      field<&VistrelRollup::severity>("severity"),
      field<&VistrelRollup::bucket>("bucket"),
      field<&VistrelRollup::bucket_start>("bucket_start"),
      field<&VistrelRollup::count>("count"),
  };
};

template <>
struct RecordDecl<RiskIndicator> {
  static constexpr std::string_view name = "RiskIndicator";
  static constexpr auto fields = std::tuple{
      field<&RiskIndicator::indicator_id>("indicator_id"),
      field<&RiskIndicator::tenant_id>("tenant_id"),
      field<&RiskIndicator::workspace_id>("workspace_id"),
      field<&RiskIndicator::indicator_type>("indicator_type"),
      field<&RiskIndicator::severity>("severity"),
      field<&RiskIndicator::score>("score"),
      field<&RiskIndicator::reason_codes>("reason_codes"),
      field<&RiskIndicator::first_seen_at>("first_seen_at"),
      field<&RiskIndicator::last_seen_at>("last_seen_at"),
      field<&RiskIndicator::acknowledged>("acknowledged"),
  };
};

template <>
struct RecordDecl<AlertRule> {
  static constexpr std::string_view name = "AlertRule";
  static constexpr auto fields = std::tuple{
      field<&AlertRule::rule_id>("rule_id"),
      field<&AlertRule::tenant_id>("tenant_id"),
      field<&AlertRule::name>("name"),
      field<&AlertRule::enabled>("enabled"),
      field<&AlertRule::event_type>("event_type"),
      field<&AlertRule::threshold>("threshold"),
      field<&AlertRule::bucket>("bucket"),
      field<&AlertRule::severity>("severity"),
      field<&AlertRule::cooldown_buckets>("cooldown_buckets"),
  };
};

template <>
struct RecordDecl<AlertEvent> {
  static constexpr std::string_view name = "AlertEvent";
  static constexpr auto fields = std::tuple{
      field<&AlertEvent::alert_id>("alert_id"),
      field<&AlertEvent::rule_id>("rule_id"),
      field<&AlertEvent::tenant_id>("tenant_id"),
      field<&AlertEvent::bucket_start>("bucket_start"),
      field<&AlertEvent::observed_count>("observed_count"),
      field<&AlertEvent::severity>("severity"),
      field<&AlertEvent::fired_at>("fired_at"),
      field<&AlertEvent::acknowledged>("acknowledged"),
  };
};

}  // namespace quenvistrel_contracts::json
