#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json/array.hpp>

namespace quenvistrel_cli {

// One metric family of the exposition text format that monitoring systems scrape: its name,
// "gauge" or "counter", its help line and its samples, each a set of labels and a value.
struct MetricSample {
  std::vector<std::pair<std::string_view, std::string>> labels;  // names, values as they are
  std::uint64_t value = 0;
};
struct MetricFamily {
  std::string_view name;
  std::string_view type;
  std::string_view help;
  std::vector<MetricSample> samples;
};

// "# HELP", "# TYPE" and the sample lines of each family, every line ending in "\n"; label
// values escaped as the format wants (backslash, quotation mark, line feed), any other control
// character replaced by U+FFFD.
[[nodiscard]] std::string exposition_text(std::span<const MetricFamily> families);
// [{"help","name","samples":[{"labels":{…},"value":n}],"type"},…]
[[nodiscard]] boost::json::array metrics_json(std::span<const MetricFamily> families);

}  // namespace quenvistrel_cli
