// The schema fixture reader over arbitrary bytes. Properties:
//  - a failure is one error text, "{path}: {message} at line {line} column {column}", in
//    valid UTF-8; malformed JSON is always refused;
//  - what it accepts is one well-formed JSON object denoting exactly the SourceSchema
//    returned (compared with an independent reading of the document): a valid slug, the
//    four maps with last-given values, absent optional maps empty;
//  - every name the gate will look up is valid UTF-8;
//  - a well-typed schema document without duplicate keys is accepted.

#include <cstdint>
#include <string_view>

#include "fixture_support.hpp"
#include "quenvistrel_classify/raw_records.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const quen_fuzz::MemFile file("schema.json");
  const std::string_view input = quen_fuzz::as_text(data, size);
  file.set(input);

  const auto schema = quenvistrel_classify::read_source_schema(file.path());
  if (!schema) {
    quen_fuzz::print("error", schema.error());
    quen_fuzz::check_fixture_error(schema.error(), file.path());
    // Refused although the document is a well-typed schema: over-strict reading.
    if (const auto dom = quen_fuzz::parse_dom(input); dom && !quen_fuzz::has_duplicate_keys(input)) {
      QUEN_FUZZ_CHECK(!quen_fuzz::oracle_schema(*dom).has_value(), schema.error());
    }
    return 0;
  }

  const auto dom = quen_fuzz::parse_dom(input);
  QUEN_FUZZ_CHECK(dom.has_value(), input);
  const auto expected = quen_fuzz::oracle_schema(*dom);
  QUEN_FUZZ_CHECK(expected.has_value(), input);
  QUEN_FUZZ_CHECK(*expected == *schema, input);
  QUEN_FUZZ_CHECK(quencore_contracts::Slug::validate(schema->product_id.str()).has_value(), input);
  QUEN_FUZZ_CHECK(quen_fuzz::is_valid_utf8(schema->source_name), schema->source_name);
  for (const auto* map : {&schema->fields, &schema->event_types, &schema->statuses, &schema->subject_kinds}) {
    for (const auto& [name, cls] : *map) QUEN_FUZZ_CHECK(quen_fuzz::is_valid_utf8(name), name);
  }
  return 0;
}
