// The string scan of the readers: skip_string_text against a character-at-a-time UTF-8 check
// after the plain skip, on string values of a few kinds, each followed by its closing quote.
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>

#include "quencore_contracts/text_kernels.hpp"
#include "quencore_contracts/utf8.hpp"

namespace {

namespace kernel = quencore_contracts::kernel;

const std::vector<std::string>& values(int kind) {
  static const std::vector<std::string> kinds[] = {
      {"eu-west\"", "client-5.2.1\"", "s-139421\""},
      {"K\xc3\xb6ln\"", "S\xc3\xa3o Paulo\"", "Z\xc3\xbcrich\""},
      {"Regi\xc3\xb3n N\xc3\xb3rdica \xe2\x80\x94 S\xc3\xa3o Paulo \xe2\x80\x94 \xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0\"",
       "\xd0\xa1\xd0\xb0\xd0\xbd\xd0\xba\xd1\x82-\xd0\x9f\xd0\xb5\xd1\x82\xd0\xb5\xd1\x80\xd0\xb1\xd1\x83\xd1\x80\xd0\xb3\"",
       "\xe6\x9d\xb1\xe4\xba\xac\xe9\x83\xbd\xe6\xb8\x8b\xe8\xb0\xb7\xe5\x8c\xba\xe7\xa5\x9e\xe5\x8d\x97\xe4\xb8\x80\xe4\xb8\x81\xe7\x9b\xae\"",
       "This is a longer English sentence with one \xc3\xa9 in the middle of it and more text after\""}};
  return kinds[kind];
}

// The scan as it was: the plain skip, then one character at a time.
const char* char_by_char(const char* p, const char* end) {
  while (true) {
    p = kernel::skip_plain(p, end);
    if (p == end || static_cast<unsigned char>(*p) < 0x80) return p;
    const std::size_t len = quencore_contracts::utf8_sequence(std::string_view(p, static_cast<std::size_t>(end - p)), 0);
    if (len == 0 || len == quencore_contracts::UTF8_TRUNCATED) return p;
    p += len;
  }
}

// Each value is followed by more of a document, as in a reader's buffer, so that the scan
// does not meet the end of its text.
template <const char* (*Scan)(const char*, const char*)>
void scan(benchmark::State& s) {
  std::vector<std::string> texts;
  for (const std::string& value : values(static_cast<int>(s.range(0)))) {
    texts.push_back(value + ", \"client_version\": \"5.2.8\", \"session_ref\": \"s-139421\"}},\n  {\"event_type\": ");
  }
  std::size_t bytes = 0;
  for (auto _ : s) {
    for (const std::string& t : texts) {
      const char* stop = Scan(t.data(), t.data() + t.size());
      benchmark::DoNotOptimize(stop);
      bytes += static_cast<std::size_t>(stop - t.data());
    }
  }
  s.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void skip_string_text(benchmark::State& s) { scan<kernel::skip_string_text>(s); }
void character_at_a_time(benchmark::State& s) { scan<char_by_char>(s); }

// 0: ASCII; 1: short values with one accented letter; 2: long multi-byte values.
BENCHMARK(skip_string_text)->DenseRange(0, 2);
BENCHMARK(character_at_a_time)->DenseRange(0, 2);

}  // namespace

BENCHMARK_MAIN();
