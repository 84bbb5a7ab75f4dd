#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "quenvistrel_contracts/records.hpp"

// Sample records for the tests of this library and of those above it.
namespace quenvistrel_contracts::samples {

// A failed login of user "u-1" at "edge-gateway". What a test compares (identifiers,
// severity, times) it passes in; metadata it sets itself.
inline VistrelEvent login_failed(EventId event_id, TenantId tenant, WorkspaceId workspace, Severity severity,
                                 Timestamp occurred, Timestamp received) {
  VistrelEvent e;
  e.event_id = std::move(event_id);
  e.tenant_id = std::move(tenant);
  e.workspace_id = std::move(workspace);
  e.product_id = *Slug::try_from("edge-gateway");
  e.event_type = "login_failed";
  e.severity = severity;
  e.status = "failure";
  e.subject_kind = "user";
  e.subject_id = "u-1";
  e.occurred_at = occurred;
  e.received_at = received;
  return e;
}

// A rollup of the given key and count under a fresh identifier.
inline VistrelRollup rollup(TenantId tenant, WorkspaceId workspace, Slug product, std::string event_type,
                            Severity severity, TimeBucket bucket, std::int64_t start, std::uint64_t count) {
  VistrelRollup r;
  r.rollup_id = RollupId::generate();
  r.tenant_id = std::move(tenant);
  r.workspace_id = std::move(workspace);
  r.product_id = std::move(product);
  r.event_type = std::move(event_type);
  r.severity = severity;
  r.bucket = bucket;
  r.bucket_start = start;
  r.count = count;
  return r;
}

}  // namespace quenvistrel_contracts::samples
