// Typed state load and save against Boost.JSON's DOM parse and serialise of the same bytes.
// QUEN_BENCH_EVENTS sets the number of events (default one million).
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <benchmark/benchmark.h>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "state_gen.hpp"

namespace {

struct Corpus {
  quenvistrel_cli::CliState state;
  std::string text;
  boost::json::value dom;
};

const Corpus& corpus() {
  static const Corpus c = [] {
    const char* env = std::getenv("QUEN_BENCH_EVENTS");
    const std::uint64_t events = env != nullptr ? std::strtoull(env, nullptr, 10) : 1000000;
    Corpus out;
    out.state = quenvistrel_bench::make_state(events, 1);
    out.text = quenvistrel_cli::render_state(out.state);
    out.dom = boost::json::parse(out.text);
    return out;
  }();
  return c;
}

void typed_load(benchmark::State& s) {
  const auto& c = corpus();
  for (auto _ : s) {
    auto state = quenvistrel_cli::parse_state(c.text);
    if (!state) s.SkipWithError(state.error().c_str());
    benchmark::DoNotOptimize(state);
  }
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * c.text.size()));
}

// The text of the state file QUEN_BENCH_STATE names (one the tool wrote), or the generated one.
const std::string& state_text() {
  static const std::string text = [] {
    const char* path = std::getenv("QUEN_BENCH_STATE");
    if (path == nullptr) return corpus().text;
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  return text;
}

// The own-layout recogniser alone, on one thread (argument 0) or split in two halves (1).
void recognize(benchmark::State& s) {
  const std::string& text = state_text();
  const std::size_t split_from = s.range(0) != 0 ? quenvistrel_cli::STATE_SPLIT_FROM : text.size() + 1;
  for (auto _ : s) {
    auto state = quenvistrel_cli::recognize_state(text, split_from);
    if (!state) s.SkipWithError("not recognised");
    benchmark::DoNotOptimize(state);
  }
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * text.size()));
}

void dom_parse(benchmark::State& s) {
  const auto& c = corpus();
  for (auto _ : s) {
    auto dom = boost::json::parse(c.text);
    benchmark::DoNotOptimize(dom);
  }
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * c.text.size()));
}

void typed_save(benchmark::State& s) {
  const auto& c = corpus();
  std::size_t size = 0;
  for (auto _ : s) {
    auto text = quenvistrel_cli::render_state(c.state);
    size = text.size();
    benchmark::DoNotOptimize(text);
  }
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * size));
}

void dom_serialize(benchmark::State& s) {
  const auto& c = corpus();
  std::size_t size = 0;
  for (auto _ : s) {
    auto text = boost::json::serialize(c.dom);
    size = text.size();
    benchmark::DoNotOptimize(text);
  }
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * size));
}

// The whole save: render, temporary file, write, fsync, rename, folder fsync.
void save_state_file(benchmark::State& s) {
  const auto& c = corpus();
  const char* dir = std::getenv("QUEN_BENCH_DIR");
  const std::string path = std::string(dir != nullptr ? dir : "/tmp") + "/quen_bench_state.json";
  for (auto _ : s) {
    if (auto saved = quenvistrel_cli::save_state(path, c.state); !saved) s.SkipWithError(saved.error().c_str());
  }
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * c.text.size()));
  std::remove(path.c_str());
}

// The whole load: stat, read, parse.
void load_state_file(benchmark::State& s) {
  const auto& c = corpus();
  const char* dir = std::getenv("QUEN_BENCH_DIR");
  const std::string path = std::string(dir != nullptr ? dir : "/tmp") + "/quen_bench_load.json";
  if (auto saved = quenvistrel_cli::save_state(path, c.state); !saved) s.SkipWithError(saved.error().c_str());
  for (auto _ : s) {
    auto state = quenvistrel_cli::load_state(path);
    if (!state) s.SkipWithError(state.error().c_str());
    benchmark::DoNotOptimize(state);
  }
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * c.text.size()));
  std::remove(path.c_str());
}

}  // namespace

BENCHMARK(typed_load)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(recognize)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(dom_parse)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(typed_save)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(dom_serialize)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(load_state_file)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(save_state_file)->Unit(benchmark::kMillisecond)->MinTime(3);

BENCHMARK_MAIN();
