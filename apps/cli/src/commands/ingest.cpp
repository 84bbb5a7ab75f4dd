// The ingest command: events from the fixture through the gate, counted into rollups and
// stored, in one commit at the end or, for a pipeline that keeps its input open, in batches.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <limits>
#include <optional>
#include <variant>
#include <vector>

#include <boost/json/object.hpp>
#include <fmt/format.h>

#include "commands/handlers.hpp"
#include "output/progress.hpp"
#include "quenvistrel_classify/gate.hpp"
#include "quenvistrel_contracts/time_bucket.hpp"
#include "store/store.hpp"

namespace quenvistrel_cli {

namespace {

using quencore_contracts::WorkspaceId;
using quenvistrel_classify::RawEvent;
using quenvistrel_classify::RejectReason;
using quenvistrel_contracts::TimeBucket;
using quenvistrel_contracts::VistrelEvent;
using quenvistrel_contracts::json::detail::LineFault;

// What an ingest run has judged, and its report.
struct Tally {
  std::uint64_t accepted = 0;
  std::uint64_t rejected = 0;
  std::uint64_t skipped = 0;
  bool skipping = false;  // --skip-malformed: the report counts the skipped lines

  [[nodiscard]] Report report(int status = 0) const {
    boost::json::object json{{"accepted", accepted}, {"rejected", rejected}};
    std::string text = fmt::format("ingested {}, rejected {}", accepted, rejected);
    if (skipping) {
      json["skipped"] = skipped;
      text += fmt::format(", skipped {}", skipped);
    }
    return Report{std::move(json), std::move(text), status};
  }
};

void append_rejection(std::string& out, RejectReason reason) {
  out += "rejected: ";
  out += quenvistrel_classify::to_string(reason);
  out += '\n';
}

// The line never says what the skipped line held: it may be exactly what the gate keeps out.
void append_skipped(std::string& out, std::size_t line, const LineFault& fault) {
  fmt::format_to(std::back_inserter(out), "skipped: line {}: {}", line, fault.json ? "not an event" : "not valid JSON");
  if (fault.column > 0) fmt::format_to(std::back_inserter(out), " at column {}", fault.column);
  out += '\n';
}

}  // namespace

HandlerResult ingest_handler(RunContext& ctx, const IngestCommand& cmd) {
  auto schema = run_schema(cmd.schema, cmd.events);
  if (!schema) return std::unexpected(std::move(schema.error()));

  // One workspace per run, so two runs over the same events never share rollups, unless the
  // run names the workspace its source counts into.
  const auto workspace = cmd.workspace.value_or(WorkspaceId::generate());
  IngestScope scope;
  if (cmd.workspace) scope.workspace = workspace;
  auto work = ctx.store.begin(WorkingSet::IngestInto, 0, scope);
  if (!work) return std::unexpected(std::move(work.error()));
  // Accepted events flow from the gate through the rollup counting into the store, which
  // keeps them as they come: neither the fixture nor the new events are held whole. A fixture
  // that turns out broken is reported before anything is committed.
  quenvistrel_aggregate::IngestRun run(work->state.store.rollups, ctx.store.event_sink());

  Tally tally{.skipping = cmd.skip_malformed};
  std::string lines;  // printed once the whole fixture is known to be good
  const quenvistrel_classify::Gate gate(*schema);
  Progress progress;
  const quenvistrel_contracts::json::detail::SkipLine skip = [&](std::size_t line, const LineFault& fault) {
    append_skipped(lines, line, fault);
    ++tally.skipped;
  };
  auto read = quenvistrel_classify::read_raw_events(
      cmd.events,
      [&](const RawEvent& raw) {
        auto result = gate.classify(raw, cmd.tenant, workspace, ctx.now);
        if (const auto* reason = std::get_if<RejectReason>(&result)) {
          append_rejection(lines, *reason);
          ++tally.rejected;
        } else {
          run.ingest(std::move(std::get<VistrelEvent>(result)), TimeBucket::Hour);
          ++tally.accepted;
        }
        progress.event(tally.accepted + tally.rejected, tally.accepted);
      },
      quenvistrel_classify::StreamReading{.progress = progress.input(), .skip = cmd.skip_malformed ? &skip : nullptr});
  // Gone before the rejection lines and the report.
  progress.clear();
  if (!read) return std::unexpected(std::move(read.error()));
  std::fwrite(lines.data(), 1, lines.size(), stderr);
  return tally.report();
}

namespace {

// SIGTERM and SIGINT while a batched run lives: the first asks the run to stop reading and
// commit what it read; a second ends the process at once, as the signal would have without
// this, so the batch being committed is not.
class StopSignals {
 public:
  StopSignals() {
    struct sigaction action {};
    action.sa_handler = &StopSignals::caught;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a wait for input ends at once and sees the stop
    ::sigaction(SIGTERM, &action, &old_term_);
    ::sigaction(SIGINT, &action, &old_int_);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  ~StopSignals() {
    ::sigaction(SIGTERM, &old_term_, nullptr);
    ::sigaction(SIGINT, &old_int_, nullptr);
  }

  // The first signal caught, or 0.
  [[nodiscard]] static int caught() { return first_.load(); }

 private:
  static void caught(int signal) {
    int none = 0;
    if (first_.compare_exchange_strong(none, signal)) return;
    ::signal(signal, SIG_DFL);
    ::raise(signal);
  }

  static inline std::atomic<int> first_{0};
  struct sigaction old_term_ {};
  struct sigaction old_int_ {};
};

// A batched run: accepted events are held until their batch is due (by count, by time or at
// the end of the input), and each batch is one commit of its own, with the store opened, and
// its lock taken, for that commit only.
class Batches final : public quenvistrel_contracts::json::ReadPacer {
 public:
  Batches(StepContext& ctx, const IngestCommand& cmd)
      : ctx_(ctx),
        cmd_(cmd),
        workspace_(cmd.workspace.value_or(WorkspaceId::generate())),
        stored_workspace_(cmd.workspace.has_value()),
        due_(Clock::now() + period()) {}

  void add(VistrelEvent event) {
    batch_.push_back(std::move(event));
    if (cmd_.batch_events > 0 && batch_.size() >= cmd_.batch_events) commit_now();
  }

  // The input's last batch; one commit even for a run that accepted nothing, as a run without
  // batches makes, so that the store exists afterwards.
  std::expected<void, std::string> finish() {
    if (failure_) return std::unexpected(*failure_);
    if (!batch_.empty() || commits_ == 0) commit_now();
    if (failure_) return std::unexpected(*failure_);
    return {};
  }

  [[nodiscard]] const WorkspaceId& workspace() const { return workspace_; }
  [[nodiscard]] std::uint64_t committed() const { return committed_; }
  [[nodiscard]] bool failed() const { return failure_.has_value(); }

  int wait_ms() override {
    if (batch_.empty() || cmd_.batch_seconds == 0) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due_ - Clock::now()).count();
    return static_cast<int>(std::clamp<std::int64_t>(left, 0, std::numeric_limits<int>::max()));
  }

  bool proceed() override {
    if (failure_ || StopSignals::caught() != 0) return false;
    if (cmd_.batch_seconds > 0 && !batch_.empty() && Clock::now() >= due_) commit_now();
    return !failure_;
  }

 private:
  using Clock = std::chrono::steady_clock;

  [[nodiscard]] Clock::duration period() const { return std::chrono::seconds(cmd_.batch_seconds); }

  void commit_now() {
    if (failure_) return;
    if (auto done = commit(); !done) failure_ = std::move(done.error());
    due_ = Clock::now() + period();
    // What the batch's events had to say reaches the terminal or the log with the batch.
    std::fflush(stderr);
  }

  std::expected<void, std::string> commit() {
    auto store = open_store(ctx_.location, true);
    if (!store) return std::unexpected(std::move(store.error()));
    (*store)->watch_writes(ctx_.save_watcher);
    if (auto loaded = (*store)->load(); !loaded) return loaded;
    // After the first commit the workspace is in the store; only the batch's hours can match.
    IngestScope scope;
    if (stored_workspace_ && !batch_.empty()) {
      scope.workspace = workspace_;
      scope.first_bucket = std::numeric_limits<std::int64_t>::max();
      scope.last_bucket = std::numeric_limits<std::int64_t>::min();
      for (const VistrelEvent& event : batch_) {
        const std::int64_t bucket = quenvistrel_contracts::bucket_start(TimeBucket::Hour, event.occurred_at);
        scope.first_bucket = std::min(scope.first_bucket, bucket);
        scope.last_bucket = std::max(scope.last_bucket, bucket);
      }
    }
    auto work = (*store)->begin(WorkingSet::IngestInto, 0, scope);
    if (!work) return std::unexpected(std::move(work.error()));
    {
      quenvistrel_aggregate::IngestRun run(work->state.store.rollups, (*store)->event_sink());
      for (VistrelEvent& event : batch_) run.ingest(std::move(event), TimeBucket::Hour);
    }
    if (auto committed = commit_changes(**store); !committed) return committed;
    committed_ += batch_.size();
    ++commits_;
    batch_.clear();
    stored_workspace_ = true;
    return {};
  }

  StepContext& ctx_;
  const IngestCommand& cmd_;
  const WorkspaceId workspace_;
  bool stored_workspace_;  // the store may hold rollups of the workspace
  std::vector<VistrelEvent> batch_;
  Clock::time_point due_;
  std::uint64_t committed_ = 0;
  std::uint64_t commits_ = 0;
  std::optional<std::string> failure_;
};

}  // namespace

HandlerResult ingest_in_batches_handler(StepContext& ctx, const IngestCommand& cmd) {
  auto schema = run_schema(cmd.schema, cmd.events);
  if (!schema) return std::unexpected(std::move(schema.error()));
  // A store that cannot be opened or read fails the run now, not at its first batch.
  {
    auto store = open_store(ctx.location, false);
    if (!store) return std::unexpected(std::move(store.error()));
    if (auto loaded = (*store)->load(); !loaded) return std::unexpected(std::move(loaded.error()));
  }

  const StopSignals signals;
  Batches batches(ctx, cmd);
  Tally tally{.skipping = cmd.skip_malformed};
  const quenvistrel_classify::Gate gate(*schema);
  Progress progress;
  // Each line goes out as its event is judged: a stream's end may be far off.
  std::string line;
  const auto print = [&line] {
    std::fwrite(line.data(), 1, line.size(), stderr);
    line.clear();
  };
  const quenvistrel_contracts::json::detail::SkipLine skip = [&](std::size_t number, const LineFault& fault) {
    progress.clear();
    append_skipped(line, number, fault);
    print();
    ++tally.skipped;
  };
  auto read = quenvistrel_classify::read_raw_events(
      cmd.events,
      [&](const RawEvent& raw) {
        auto result = gate.classify(raw, cmd.tenant, batches.workspace(), ctx.now);
        if (const auto* reason = std::get_if<RejectReason>(&result)) {
          progress.clear();
          append_rejection(line, *reason);
          print();
          ++tally.rejected;
        } else {
          ++tally.accepted;
          batches.add(std::move(std::get<VistrelEvent>(result)));
        }
        progress.event(tally.accepted + tally.rejected, tally.accepted);
      },
      quenvistrel_classify::StreamReading{
          .progress = progress.input(), .pacer = &batches, .skip = cmd.skip_malformed ? &skip : nullptr});
  progress.clear();
  // A failed read or commit: what earlier batches committed stays, and the error says how much.
  const auto failed = [&](const std::string& error) {
    return std::unexpected(fmt::format("{} ({} events of earlier batches were committed)", error, batches.committed()));
  };
  if (!read) return failed(read.error());
  if (auto finished = batches.finish(); !finished) return failed(finished.error());
  return tally.report(StopSignals::caught() == SIGINT ? 130 : 0);
}

}  // namespace quenvistrel_cli
