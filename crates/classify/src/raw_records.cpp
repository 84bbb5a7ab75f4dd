#include "quenvistrel_classify/raw_records.hpp"

#include <tuple>

#include "quenvistrel_contracts/json/codec.hpp"
#include "quenvistrel_contracts/json/file.hpp"

namespace quenvistrel_contracts::json {

template <>
struct RecordDecl<quenvistrel_classify::RawEvent> {
  using R = quenvistrel_classify::RawEvent;
  static constexpr std::string_view name = "RawEvent";
  static constexpr auto fields = std::tuple{
      field<&R::event_type>("event_type"),
      field<&R::severity>("severity"),
      field<&R::status>("status"),
      field<&R::subject_kind>("subject_kind"),
      field<&R::subject_id>("subject_id"),
      field<&R::occurred_at>("occurred_at"),
      field<&R::fields>("fields"),
  };
};

template <>
struct RecordDecl<quenvistrel_classify::SourceSchema> {
  using S = quenvistrel_classify::SourceSchema;
  static constexpr std::string_view name = "SourceSchema";
  static constexpr auto fields = std::tuple{
      field<&S::source_name>("source_name"),
      field<&S::product_id>("product_id"),
      field<&S::fields>("fields"),
      field<&S::sensitive_approved>("sensitive_approved"),
      optional_field<&S::event_types>("event_types"),
      optional_field<&S::statuses>("statuses"),
      optional_field<&S::subject_kinds>("subject_kinds"),
  };
};

}  // namespace quenvistrel_contracts::json

namespace quenvistrel_classify {

namespace {

template <class T>
std::expected<T, std::string> read_fixture(const std::string& path) {
  auto value = quenvistrel_contracts::json::read_json_file<T>(path);
  if (!value) return std::unexpected(path + ": " + value.error());
  return value;
}

}  // namespace

std::expected<SourceSchema, std::string> read_source_schema(const std::string& path) {
  return read_fixture<SourceSchema>(path);
}

std::expected<std::vector<RawEvent>, std::string> read_raw_events(const std::string& path) {
  return read_fixture<std::vector<RawEvent>>(path);
}

}  // namespace quenvistrel_classify
