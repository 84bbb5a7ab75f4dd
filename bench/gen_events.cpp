// Writes a schema fixture and an events fixture of a chosen size for benchmarks:
//   gen_events <schema.json> <events.json> <events> <distinct rollup keys> <reject share 0..1> <seed> [alternate|later]
// With "alternate", every other event occurred ten years later (2034), so that a retention
// with a cutoff between the two removes about every other stored event; with "later", every
// event did, so that a store of several ingests can keep all but the first through a retention.
// Events are spread over `keys` distinct (event type, severity, hour) combinations; a share
// of them is made to fail the gate in one of several ways.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace {

constexpr const char* kSeverities[] = {"info", "low", "medium", "high", "critical"};
constexpr int kEventTypes = 40;

bool write_file(const char* path, const std::string& text) {
  std::FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

std::string schema_text() {
  std::string s = "{\n  \"source_name\": \"Benchmark source\",\n  \"product_id\": \"bench-source\",\n";
  s += "  \"sensitive_approved\": false,\n  \"event_types\": {\n";
  for (int i = 0; i < kEventTypes; ++i) {
    s += fmt::format("    \"event_type_{:02}\": \"security_metadata\"{}\n", i, i + 1 < kEventTypes ? "," : "");
  }
  s += "  },\n  \"statuses\": {\"success\": \"operational_metadata\", \"failure\": \"operational_metadata\"},\n";
  s += "  \"subject_kinds\": {\"user\": \"pseudonymous_identifier\", \"device\": \"operational_metadata\"},\n";
  s += "  \"fields\": {\"region\": \"public\", \"client_version\": \"operational_metadata\", "
       "\"session_ref\": \"pseudonymous_identifier\", \"geo_location\": \"sensitive_metadata\"}\n}\n";
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const bool alternate = argc == 8 && std::string_view(argv[7]) == "alternate";
  const bool later = argc == 8 && std::string_view(argv[7]) == "later";
  if (argc != 7 && !alternate && !later) {
    std::fprintf(stderr,
                 "usage: gen_events <schema.json> <events.json> <events> <keys> <reject-share> <seed> [alternate|later]\n");
    return 2;
  }
  const std::uint64_t count = std::strtoull(argv[3], nullptr, 10);
  const std::uint64_t keys = std::max<std::uint64_t>(1, std::strtoull(argv[4], nullptr, 10));
  const double reject_share = std::strtod(argv[5], nullptr);
  std::mt19937_64 rng(std::strtoull(argv[6], nullptr, 10));
  std::uniform_real_distribution<double> unit(0.0, 1.0);

  std::string out;
  out.reserve(count * 260 + 16);
  out += "[\n";
  const std::int64_t base = 1717200000;  // 2024-06-01T00:00:00Z
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t key = rng() % keys;
    const std::uint64_t type = key % kEventTypes;
    const std::uint64_t severity = (key / kEventTypes) % 5;
    const std::uint64_t hour = key / (kEventTypes * 5);
    const std::int64_t at = base + static_cast<std::int64_t>(hour) * 3600 + static_cast<std::int64_t>(rng() % 3600);
    std::string event_type = fmt::format("event_type_{:02}", type);
    std::string subject = fmt::format("u-{}", rng() % 100000);
    std::string extra;
    if (unit(rng) < reject_share) {
      switch (rng() % 4) {
        case 0: event_type = "undeclared_type"; break;
        case 1: subject = "two words"; break;
        case 2: extra = ", \"geo_location\": \"52.37,4.89\""; break;
        default: extra = ", \"browser\": \"firefox\""; break;
      }
    }
    const std::int64_t days = at / 86400;
    const std::int64_t rem = at % 86400;
    out += fmt::format(
        "  {{\"event_type\": \"{}\", \"severity\": \"{}\", \"status\": \"success\", \"subject_kind\": \"user\", "
        "\"subject_id\": \"{}\", \"occurred_at\": \"{}-06-{:02}T{:02}:{:02}:{:02}Z\", "
        "\"fields\": {{\"region\": \"eu-west\", \"client_version\": \"5.2.{}\", \"session_ref\": \"s-{}\"{}}}}}{}\n",
        event_type, kSeverities[severity], subject, later || (alternate && i % 2 == 1) ? 2034 : 2024, 1 + (days - base / 86400) % 28, rem / 3600, rem % 3600 / 60,
        rem % 60, rng() % 10, rng() % 1000000, extra, i + 1 < count ? "," : "");
  }
  out += "]\n";
  if (!write_file(argv[1], schema_text()) || !write_file(argv[2], out)) {
    std::perror("gen_events");
    return 1;
  }
  return 0;
}
