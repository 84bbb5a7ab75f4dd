#pragma once

#include "quencore_contracts/ids.hpp"

namespace quenvistrel_contracts {

// Distinct identifier types of the stored records; each wraps one UUID and is never
// interchangeable with another.
struct EventTag {
  static constexpr std::string_view kind = "EventId";
};
struct RollupTag {
  static constexpr std::string_view kind = "RollupId";
};
struct IndicatorTag {
  static constexpr std::string_view kind = "IndicatorId";
};
struct AlertRuleTag {
  static constexpr std::string_view kind = "AlertRuleId";
};
struct AlertEventTag {
  static constexpr std::string_view kind = "AlertEventId";
};

using EventId = quencore_contracts::UuidIdentifier<EventTag>;
using RollupId = quencore_contracts::UuidIdentifier<RollupTag>;
using IndicatorId = quencore_contracts::UuidIdentifier<IndicatorTag>;
using AlertRuleId = quencore_contracts::UuidIdentifier<AlertRuleTag>;
using AlertEventId = quencore_contracts::UuidIdentifier<AlertEventTag>;

}  // namespace quenvistrel_contracts
