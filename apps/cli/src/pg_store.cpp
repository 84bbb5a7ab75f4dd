#include "pg_store.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include <fmt/format.h>

#include "pg_connection.hpp"
#include "pg_rows.hpp"

namespace quenvistrel_cli {

namespace {

using quenvistrel_contracts::AlertEvent;
using quenvistrel_contracts::AlertRule;
using quenvistrel_contracts::RiskIndicator;
using quenvistrel_contracts::VistrelEvent;
using quenvistrel_contracts::VistrelRollup;

// The version of the tables this tool writes; a later release that changes them migrates a
// store of an older version and refuses to touch one of a newer.
constexpr std::int32_t kSchemaVersion = 1;

// The advisory lock every changing run takes: "quenvist" in ASCII.
constexpr std::string_view kLock = "SELECT pg_advisory_xact_lock(8247621249648718708)";

// COPY data is handed to libpq in pieces of about this size.
constexpr std::size_t kCopyChunk = std::size_t{1} << 18;

std::string create_table(const pg::Table& table) {
  std::string sql = fmt::format("CREATE TABLE {} (", table.qualified());
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (i > 0) sql += ", ";
    sql += fmt::format("{} {}", table.columns[i].name, table.columns[i].type);
  }
  return sql + ");\n";
}

// The whole schema of version 1, created in the changing run's transaction.
std::string schema_sql() {
  std::string sql =
      "CREATE SCHEMA quenvistrel;\n"
      "CREATE TYPE quenvistrel.severity AS ENUM ('info', 'low', 'medium', 'high', 'critical');\n"
      "CREATE TYPE quenvistrel.time_bucket AS ENUM ('hour', 'day');\n"
      "CREATE TABLE quenvistrel.store (only_row boolean PRIMARY KEY DEFAULT true CHECK (only_row), "
      "schema_version integer NOT NULL, events bigint NOT NULL, rollups bigint NOT NULL, "
      "indicators bigint NOT NULL, rules bigint NOT NULL, alerts bigint NOT NULL, "
      "next_event_seq bigint NOT NULL);\n";
  sql += fmt::format("INSERT INTO quenvistrel.store VALUES (true, {}, 0, 0, 0, 0, 0, 0);\n", kSchemaVersion);
  for (const pg::Table* table : {&pg::kEvents, &pg::kRollups, &pg::kIndicators, &pg::kRules, &pg::kAlerts}) {
    sql += create_table(*table);
  }
  sql +=
      "CREATE INDEX events_occurred_at ON quenvistrel.events (occurred_at);\n"
      "CREATE INDEX rollups_tenant ON quenvistrel.rollups (tenant_id, seq);\n"
      "CREATE INDEX rollups_rule_key ON quenvistrel.rollups (tenant_id, event_type, bucket);\n"
      "CREATE INDEX rollups_high ON quenvistrel.rollups (count) WHERE severity >= 'high';\n"
      "CREATE INDEX alerts_rule ON quenvistrel.alerts (rule_id, bucket_start);\n";
  return sql;
}

// The fields of one result row; NULL as a view without data.
std::vector<std::string_view> row_fields(const PgResult& result, int row, std::size_t columns) {
  std::vector<std::string_view> fields;
  fields.reserve(columns);
  for (int f = 0; f < static_cast<int>(columns); ++f) {
    fields.push_back(result.is_null(row, f) ? std::string_view{} : result.bytes(row, f));
  }
  return fields;
}

// An ingest's events, written as binary COPY rows while the fixture is read.
class CopySink final : public quenvistrel_aggregate::EventSink {
 public:
  CopySink(PgConnection& conn, std::int64_t first_seq) : conn_(conn), next_seq_(first_seq) {
    buffer_.reserve(kCopyChunk + 4096);
    pg::copy_header(buffer_);
  }

  void add(const VistrelEvent& event) override {
    pg::RowWriter(buffer_).event(next_seq_++, event);
    ++added_;
    if (buffer_.size() >= kCopyChunk) flush();
  }

  std::expected<std::uint64_t, std::string> finish() {
    pg::copy_trailer(buffer_);
    flush();
    auto ended = conn_.end_copy();
    if (!ended) return ended;
    return added_;
  }

 private:
  void flush() {
    conn_.put(buffer_);
    buffer_.clear();
  }

  PgConnection& conn_;
  std::int64_t next_seq_;
  std::uint64_t added_ = 0;
  std::string buffer_;
};

class DatabaseStore final : public Store {
 public:
  DatabaseStore(PgConnection conn, bool changes) : conn_(std::move(conn)), changes_(changes) {}

  std::expected<void, std::string> load() override {
    auto exists = conn_.exec("SELECT to_regclass('quenvistrel.store') IS NOT NULL");
    if (!exists) return std::unexpected(std::move(exists.error()));
    found_ = exists->bytes(0, 0) == "t";
    if (!found_) {
      // An empty database is the empty state; the first changing run makes the tables.
      if (!changes_) return {};
      if (auto created = conn_.exec(schema_sql()); !created) return std::unexpected(std::move(created.error()));
    }
    auto row = conn_.exec_params(
        "SELECT schema_version, events, rollups, indicators, rules, alerts, next_event_seq FROM quenvistrel.store",
        {});
    if (!row) return std::unexpected(std::move(row.error()));
    if (row->rows() != 1) {
      return std::unexpected(std::string("the database's quenvistrel.store does not hold exactly one row"));
    }
    const auto fields = row_fields(*row, 0, 7);
    pg::RowReader read(fields);
    const std::int32_t version = read.int4();
    const auto count = [&read] { return static_cast<std::uint64_t>(std::max<std::int64_t>(0, read.int8())); };
    counts_.events = count();
    counts_.rollups = count();
    counts_.indicators = count();
    counts_.rules = count();
    counts_.alerts = count();
    next_event_seq_ = read.int8();
    if (version > kSchemaVersion) {
      return std::unexpected(fmt::format(
          "the database holds a store of a newer version of this tool (schema version {}; this one knows {})",
          version, kSchemaVersion));
    }
    if (version < kSchemaVersion) {
      return std::unexpected(fmt::format("the database holds a store of an unknown schema version {}", version));
    }
    return {};
  }

  bool found() const override { return found_; }

  std::expected<StoreCounts, std::string> counts() override { return counts_; }

  std::expected<std::vector<VistrelRollup>, std::string> tenant_rollups(
      const quenvistrel_contracts::TenantId& tenant) override {
    std::vector<VistrelRollup> out;
    if (counts_.rollups == 0) return out;
    // A uuid's canonical text is safe as a literal: COPY takes no parameters.
    auto selected = select(pg::kRollups, fmt::format("WHERE tenant_id = '{}' ORDER BY seq", tenant.uuid().to_string()),
                           out, [](pg::RowReader& r, VistrelRollup& v) { return r.rollup(v); });
    if (!selected) return std::unexpected(std::move(selected.error()));
    return out;
  }

  std::expected<Work, std::string> begin(WorkingSet set, std::uint64_t threshold) override {
    auto& store = state_.store;
    switch (set) {
      case WorkingSet::Nothing:
        break;
      case WorkingSet::IngestInto: {
        // Every rollup of an ingest has the run's own new workspace, so none stored can match:
        // the run counts into an empty list and every rollup it makes is new.
        auto started = conn_.copy_in(fmt::format("COPY {} ({}) FROM STDIN (FORMAT binary)", pg::kEvents.qualified(),
                                                 pg::kEvents.column_list()));
        if (!started) return std::unexpected(std::move(started.error()));
        sink_.emplace(conn_, next_event_seq_);
        break;
      }
      case WorkingSet::RiskInputs: {
        // Derivation looks only at High and Critical rollups that reach the threshold.
        if (auto s = select(pg::kRollups, fmt::format("WHERE severity >= 'high' AND count >= {} ORDER BY seq", threshold),
                            store.rollups, [](pg::RowReader& r, VistrelRollup& v) { return r.rollup(v); });
            !s) {
          return std::unexpected(std::move(s.error()));
        }
        auto seqs = select(pg::kIndicators, "ORDER BY seq", store.indicators,
                           [](pg::RowReader& r, RiskIndicator& v) { return r.indicator(v); });
        if (!seqs) return std::unexpected(std::move(seqs.error()));
        indicator_seqs_ = std::move(*seqs);
        loaded_indicators_ = store.indicators;
        break;
      }
      case WorkingSet::AlertInputs:
        if (auto loaded = load_alert_inputs(); !loaded) return std::unexpected(std::move(loaded.error()));
        break;
    }
    loaded_rollups_ = store.rollups.size();
    loaded_rules_ = state_.rules.size();
    loaded_alerts_ = state_.alerts.size();
    return Work{state_, counts_};
  }

  quenvistrel_aggregate::EventSink& event_sink() override { return *sink_; }

  std::expected<std::uint64_t, std::string> delete_events_before(std::int64_t cutoff) override {
    const PgParam params[] = {{pg::param_seconds(cutoff)}};
    auto deleted = conn_.exec_params("DELETE FROM quenvistrel.events WHERE occurred_at < $1", params);
    if (!deleted) return std::unexpected(std::move(deleted.error()));
    deleted_events_ += deleted->affected();
    return deleted->affected();
  }

  std::expected<void, std::string> commit() override {
    StoreCounts after = counts_;
    std::int64_t next_event_seq = next_event_seq_;
    if (sink_) {
      auto added = sink_->finish();
      sink_.reset();
      if (!added) return std::unexpected(std::move(added.error()));
      after.events += *added;
      next_event_seq += static_cast<std::int64_t>(*added);
    }
    after.events -= std::min(after.events, deleted_events_);

    const auto& store = state_.store;
    if (auto r = append(pg::kRollups, store.rollups, loaded_rollups_, counts_.rollups, &pg::RowWriter::rollup); !r) {
      return r;
    }
    after.rollups += store.rollups.size() - loaded_rollups_;
    if (auto r = replace_changed_indicators(); !r) return r;
    if (auto r = append(pg::kIndicators, store.indicators, loaded_indicators_.size(), counts_.indicators,
                        &pg::RowWriter::indicator);
        !r) {
      return r;
    }
    after.indicators += store.indicators.size() - loaded_indicators_.size();
    if (auto r = append(pg::kRules, state_.rules, loaded_rules_, counts_.rules, &pg::RowWriter::rule); !r) return r;
    after.rules += state_.rules.size() - loaded_rules_;
    if (auto r = append(pg::kAlerts, state_.alerts, loaded_alerts_, counts_.alerts, &pg::RowWriter::alert); !r) {
      return r;
    }
    after.alerts += state_.alerts.size() - loaded_alerts_;

    const PgParam params[] = {
        {pg::param_int8(static_cast<std::int64_t>(after.events))},
        {pg::param_int8(static_cast<std::int64_t>(after.rollups))},
        {pg::param_int8(static_cast<std::int64_t>(after.indicators))},
        {pg::param_int8(static_cast<std::int64_t>(after.rules))},
        {pg::param_int8(static_cast<std::int64_t>(after.alerts))},
        {pg::param_int8(next_event_seq)},
    };
    if (auto updated = conn_.exec_params(
            "UPDATE quenvistrel.store SET events = $1, rollups = $2, indicators = $3, rules = $4, alerts = $5, "
            "next_event_seq = $6",
            params);
        !updated) {
      return std::unexpected(std::move(updated.error()));
    }
    if (auto committed = conn_.exec("COMMIT"); !committed) return std::unexpected(std::move(committed.error()));
    return {};
  }

  std::expected<CliState, std::string> read_lists() override {
    CliState lists;
    if (!found_) return lists;
    if (auto s = select(pg::kRollups, "ORDER BY seq", lists.store.rollups,
                        [](pg::RowReader& r, VistrelRollup& v) { return r.rollup(v); });
        !s) {
      return std::unexpected(std::move(s.error()));
    }
    if (auto s = select(pg::kIndicators, "ORDER BY seq", lists.store.indicators,
                        [](pg::RowReader& r, RiskIndicator& v) { return r.indicator(v); });
        !s) {
      return std::unexpected(std::move(s.error()));
    }
    if (auto s = select(pg::kRules, "ORDER BY seq", lists.rules,
                        [](pg::RowReader& r, AlertRule& v) { return r.rule(v); });
        !s) {
      return std::unexpected(std::move(s.error()));
    }
    if (auto s = select(pg::kAlerts, "ORDER BY seq", lists.alerts,
                        [](pg::RowReader& r, AlertEvent& v) { return r.alert(v); });
        !s) {
      return std::unexpected(std::move(s.error()));
    }
    return lists;
  }

  std::expected<void, std::string> read_events(quenvistrel_aggregate::EventSink& sink) override {
    if (!found_) return {};
    VistrelEvent event;
    return stream(pg::kEvents, "ORDER BY seq", [&](pg::RowReader& reader) -> std::expected<void, std::string> {
      reader.event(event);
      if (auto done = reader.done(pg::kEvents); !done) return done;
      sink.add(event);
      return {};
    });
  }

  [[nodiscard]] std::expected<void, std::string> start() {
    // A changing run sees every commit made before it got the lock (read committed); a reading
    // run sees one snapshot throughout and takes no lock.
    const std::string sql = changes_ ? fmt::format("BEGIN; {}", kLock)
                                     : std::string("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY");
    auto begun = conn_.exec(sql);
    if (!begun) return std::unexpected(std::move(begun.error()));
    return {};
  }

 private:
  // Reads the rows of `table` that `clause` selects into `out`, in order; gives their seqs.
  template <class Record, class Read>
  std::expected<std::vector<std::int64_t>, std::string> select(const pg::Table& table, std::string_view clause,
                                                               std::vector<Record>& out, Read read) {
    std::vector<std::int64_t> seqs;
    auto streamed = stream(table, clause, [&](pg::RowReader& reader) -> std::expected<void, std::string> {
      Record record;
      seqs.push_back(read(reader, record));
      if (auto done = reader.done(table); !done) return done;
      out.push_back(std::move(record));
      return {};
    });
    if (!streamed) return std::unexpected(std::move(streamed.error()));
    return seqs;
  }

  // Streams the rows of `table` that `clause` selects, as binary COPY output: a result of any
  // size passes through a bounded buffer instead of arriving whole.
  template <class Row>
  std::expected<void, std::string> stream(const pg::Table& table, std::string_view clause, Row&& row) {
    pg::CopyRows rows;
    return conn_.copy_out(fmt::format("COPY (SELECT {} FROM {} {}) TO STDOUT (FORMAT binary)", table.column_list(),
                                      table.qualified(), clause),
                          [&](std::string_view chunk) {
                            return rows.feed(chunk, [&](std::span<const std::string_view> fields) {
                              pg::RowReader reader(fields);
                              return row(reader);
                            });
                          });
  }

  // What evaluation looks at: the enabled rules; of the rollups of their tenant, event type and
  // bucket, those some rule could still fire on (at its threshold and not within the cooldown
  // of one of its alerts; a rollup no rule can fire on changes nothing, since only a firing
  // changes what a later rollup sees); and of each rule's alerts, those whose cooldown reaches
  // one of those rollups. A second evaluation over unchanged rollups so reads almost nothing.
  std::expected<void, std::string> load_alert_inputs() {
    auto& rules = state_.rules;
    auto& rollups = state_.store.rollups;
    if (auto s = select(pg::kRules, "WHERE enabled ORDER BY seq", rules,
                        [](pg::RowReader& r, AlertRule& v) { return r.rule(v); });
        !s) {
      return std::unexpected(std::move(s.error()));
    }
    if (rules.empty()) return {};
    // A cooldown in seconds, as evaluation reckons it: buckets times the bucket's width.
    constexpr std::string_view kWindow = "u.cooldown_buckets * CASE u.bucket WHEN 'hour' THEN 3600 ELSE 86400 END";
    if (auto s = select(pg::kRollups,
                        fmt::format("WHERE EXISTS (SELECT FROM quenvistrel.rules u WHERE u.enabled "
                                    "AND u.tenant_id = rollups.tenant_id AND u.event_type = rollups.event_type "
                                    "AND u.bucket = rollups.bucket AND u.threshold <= rollups.count "
                                    "AND NOT EXISTS (SELECT FROM quenvistrel.alerts a WHERE a.rule_id = u.rule_id "
                                    "AND a.bucket_start BETWEEN rollups.bucket_start - {} AND rollups.bucket_start)) "
                                    "ORDER BY seq",
                                    kWindow),
                        rollups, [](pg::RowReader& r, VistrelRollup& v) { return r.rollup(v); });
        !s) {
      return std::unexpected(std::move(s.error()));
    }
    if (rollups.empty()) return {};

    // Each rule's alerts from the cooldown before its first loaded rollup to its last one.
    const auto key = [](const auto& x) {
      return fmt::format("{}{}{}", x.tenant_id.uuid().to_string(), static_cast<int>(x.bucket), x.event_type);
    };
    boost::unordered_flat_map<std::string, std::vector<const VistrelRollup*>> by_key;
    for (const VistrelRollup& r : rollups) by_key[key(r)].push_back(&r);
    std::string ranges;
    for (const AlertRule& rule : rules) {
      std::int64_t first = std::numeric_limits<std::int64_t>::max();
      std::int64_t last = std::numeric_limits<std::int64_t>::min();
      if (auto it = by_key.find(key(rule)); it != by_key.end()) {
        for (const VistrelRollup* r : it->second) {
          if (r->count < rule.threshold) continue;
          first = std::min(first, r->bucket_start);
          last = std::max(last, r->bucket_start);
        }
      }
      if (first > last) continue;
      const auto window = static_cast<std::int64_t>(rule.cooldown_buckets) *
                          quenvistrel_contracts::width_seconds(rule.bucket);
      std::int64_t from = 0;
      if (__builtin_sub_overflow(first, window, &from)) from = std::numeric_limits<std::int64_t>::min();
      fmt::format_to(std::back_inserter(ranges), "{}('{}'::uuid, {}::bigint, {}::bigint)", ranges.empty() ? "" : ", ",
                     rule.rule_id.uuid().to_string(), from, last);
    }
    if (ranges.empty()) return {};
    auto s = select(pg::kAlerts,
                    fmt::format("WHERE EXISTS (SELECT FROM (VALUES {}) AS v(rule_id, first, last) "
                                "WHERE v.rule_id = alerts.rule_id AND alerts.bucket_start BETWEEN v.first AND v.last) "
                                "ORDER BY seq",
                                ranges),
                    state_.alerts, [](pg::RowReader& r, AlertEvent& v) { return r.alert(v); });
    if (!s) return std::unexpected(std::move(s.error()));
    return {};
  }

  // COPYs records[from..] into `table`, numbered on from `first_seq`.
  template <class Record>
  std::expected<void, std::string> append(const pg::Table& table, const std::vector<Record>& records,
                                          std::size_t from, std::uint64_t first_seq,
                                          void (pg::RowWriter::*write)(std::int64_t, const Record&)) {
    if (records.size() <= from) return {};
    std::vector<std::pair<std::int64_t, const Record*>> rows;
    rows.reserve(records.size() - from);
    for (std::size_t i = from; i < records.size(); ++i) {
      rows.emplace_back(static_cast<std::int64_t>(first_seq + (i - from)), &records[i]);
    }
    return copy_rows(table, rows, write);
  }

  template <class Record>
  std::expected<void, std::string> copy_rows(const pg::Table& table,
                                             const std::vector<std::pair<std::int64_t, const Record*>>& rows,
                                             void (pg::RowWriter::*write)(std::int64_t, const Record&)) {
    auto started = conn_.copy_in(
        fmt::format("COPY {} ({}) FROM STDIN (FORMAT binary)", table.qualified(), table.column_list()));
    if (!started) return started;
    std::string buffer;
    pg::copy_header(buffer);
    pg::RowWriter writer(buffer);
    for (const auto& [seq, record] : rows) {
      (writer.*write)(seq, *record);
      if (buffer.size() >= kCopyChunk) {
        conn_.put(buffer);
        buffer.clear();
      }
    }
    pg::copy_trailer(buffer);
    conn_.put(buffer);
    auto ended = conn_.end_copy();
    if (!ended) return std::unexpected(std::move(ended.error()));
    return {};
  }

  // Risk refreshes indicators in place: each changed one is written again under its seq.
  std::expected<void, std::string> replace_changed_indicators() {
    std::vector<std::pair<std::int64_t, const RiskIndicator*>> changed;
    const auto& now = state_.store.indicators;
    for (std::size_t i = 0; i < loaded_indicators_.size(); ++i) {
      if (now[i] != loaded_indicators_[i]) changed.emplace_back(indicator_seqs_[i], &now[i]);
    }
    if (changed.empty()) return {};
    std::string seqs = "{";
    for (const auto& [seq, indicator] : changed) {
      if (seqs.size() > 1) seqs += ',';
      seqs += std::to_string(seq);
    }
    seqs += '}';
    if (auto deleted = conn_.exec(fmt::format("DELETE FROM quenvistrel.indicators WHERE seq = ANY('{}'::bigint[])", seqs));
        !deleted) {
      return std::unexpected(std::move(deleted.error()));
    }
    return copy_rows(pg::kIndicators, changed, &pg::RowWriter::indicator);
  }

  PgConnection conn_;
  bool changes_;
  bool found_ = false;
  StoreCounts counts_;
  std::int64_t next_event_seq_ = 0;
  CliState state_;  // the working set
  std::optional<CopySink> sink_;
  std::size_t loaded_rollups_ = 0;
  std::size_t loaded_rules_ = 0;
  std::size_t loaded_alerts_ = 0;
  std::vector<RiskIndicator> loaded_indicators_;  // as risk loaded them, to find what changed
  std::vector<std::int64_t> indicator_seqs_;
  std::uint64_t deleted_events_ = 0;
};

}  // namespace

bool is_database_uri(std::string_view location) {
  return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

std::expected<std::unique_ptr<Store>, std::string> open_database_store(const std::string& uri, bool changes) {
  auto conn = PgConnection::connect(uri);
  if (!conn) return std::unexpected(std::move(conn.error()));
  auto store = std::make_unique<DatabaseStore>(std::move(*conn), changes);
  if (auto started = store->start(); !started) return std::unexpected(std::move(started.error()));
  return store;
}

}  // namespace quenvistrel_cli
