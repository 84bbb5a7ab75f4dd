#include "store/postgres/tables.hpp"

namespace quenvistrel_cli::pg {

namespace {

using quenvistrel_contracts::AlertEvent;
using quenvistrel_contracts::AlertRule;
using quenvistrel_contracts::RiskIndicator;
using quenvistrel_contracts::VistrelEvent;
using quenvistrel_contracts::VistrelRollup;

// Each list in the order of the table's columns after `seq`; rows are written and read in it.
constexpr Field<VistrelEvent> kEventFields[] = {
    field<&VistrelEvent::contract_version>("contract_version", "a contract version"),
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

constexpr Field<VistrelRollup> kRollupFields[] = {
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

constexpr Field<RiskIndicator> kIndicatorFields[] = {
    field<&RiskIndicator::indicator_id>("indicator_id"),
    field<&RiskIndicator::tenant_id>("tenant_id"),
    field<&RiskIndicator::workspace_id>("workspace_id"),
    field<&RiskIndicator::indicator_type>("indicator_type"),
    field<&RiskIndicator::severity>("severity"),
    field<&RiskIndicator::score>("score", "a score"),
    field<&RiskIndicator::reason_codes>("reason_codes"),
    field<&RiskIndicator::first_seen_at>("first_seen_at"),
    field<&RiskIndicator::last_seen_at>("last_seen_at"),
    field<&RiskIndicator::acknowledged>("acknowledged"),
};

constexpr Field<AlertRule> kRuleFields[] = {
    field<&AlertRule::rule_id>("rule_id"),
    field<&AlertRule::tenant_id>("tenant_id"),
    field<&AlertRule::name>("name"),
    field<&AlertRule::enabled>("enabled"),
    field<&AlertRule::event_type>("event_type"),
    field<&AlertRule::threshold>("threshold"),
    field<&AlertRule::bucket>("bucket"),
    field<&AlertRule::severity>("severity"),
    field<&AlertRule::cooldown_buckets>("cooldown_buckets", "a cooldown"),
};

constexpr Field<AlertEvent> kAlertFields[] = {
    field<&AlertEvent::alert_id>("alert_id"),
    field<&AlertEvent::rule_id>("rule_id"),
    field<&AlertEvent::tenant_id>("tenant_id"),
    field<&AlertEvent::bucket_start>("bucket_start"),
    field<&AlertEvent::observed_count>("observed_count"),
    field<&AlertEvent::severity>("severity"),
    field<&AlertEvent::fired_at>("fired_at"),
    field<&AlertEvent::acknowledged>("acknowledged"),
};

}  // namespace

const RecordTable<VistrelEvent> kEvents{"events", kEventFields};
const RecordTable<VistrelRollup> kRollups{"rollups", kRollupFields};
const RecordTable<RiskIndicator> kIndicators{"indicators", kIndicatorFields};
const RecordTable<AlertRule> kRules{"rules", kRuleFields};
const RecordTable<AlertEvent> kAlerts{"alerts", kAlertFields};

}  // namespace quenvistrel_cli::pg
