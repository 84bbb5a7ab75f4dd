#include "output/metrics.hpp"

#include <boost/json/object.hpp>
#include <fmt/format.h>

namespace quenvistrel_cli {

namespace {

// The format knows three escapes only (backslash, quotation mark, line feed), so any other
// control character of a stored name becomes U+FFFD: none reaches a terminal or a parser raw.
void append_label_value(std::string& out, std::string_view value) {
  for (const char c : value) {
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == '\x7f') {
      out += "\uFFFD";
      continue;
    }
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
    }
  }
}

}  // namespace

std::string exposition_text(std::span<const MetricFamily> families) {
  std::string out;
  for (const MetricFamily& family : families) {
    fmt::format_to(std::back_inserter(out), "# HELP {} {}\n# TYPE {} {}\n", family.name, family.help, family.name,
                   family.type);
    for (const MetricSample& sample : family.samples) {
      out += family.name;
      for (std::size_t i = 0; i < sample.labels.size(); ++i) {
        out += i == 0 ? '{' : ',';
        out += sample.labels[i].first;
        out += "=\"";
        append_label_value(out, sample.labels[i].second);
        out += '"';
      }
      if (!sample.labels.empty()) out += '}';
      fmt::format_to(std::back_inserter(out), " {}\n", sample.value);
    }
  }
  return out;
}

boost::json::array metrics_json(std::span<const MetricFamily> families) {
  boost::json::array out;
  for (const MetricFamily& family : families) {
    boost::json::array samples;
    for (const MetricSample& sample : family.samples) {
      boost::json::object labels;
      for (const auto& [name, value] : sample.labels) labels[name] = value;
      samples.emplace_back(boost::json::object{{"labels", std::move(labels)}, {"value", sample.value}});
    }
    out.emplace_back(boost::json::object{{"help", family.help},
                                         {"name", family.name},
                                         {"samples", std::move(samples)},
                                         {"type", family.type}});
  }
  return out;
}

}  // namespace quenvistrel_cli
