#include "quenvistrel_classify/gate.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace {

using namespace quenvistrel_classify;
using quencore_contracts::Slug;
using quencore_contracts::TenantId;
using quencore_contracts::Timestamp;
using quencore_contracts::WorkspaceId;
using quenvistrel_contracts::VistrelEvent;
using K = RejectReason::Kind;
using V = ValueViolation::Kind;

// The login schema: one name of each kind plus one field per class.
SourceSchema login_schema(bool approved = false) {
  SourceSchema s;
  s.source_name = "idp";
  s.product_id = *Slug::try_from("idp");
  s.sensitive_approved = approved;
  s.event_types = {{"login", FieldClass::SecurityMetadata}};
  s.statuses = {{"success", FieldClass::OperationalMetadata}};
  s.subject_kinds = {{"user", FieldClass::PseudonymousIdentifier}};
  s.fields = {{"country", FieldClass::OperationalMetadata}, {"location", FieldClass::SensitiveMetadata}};
  return s;
}

RawEvent login_event() {
  RawEvent e;
  e.event_type = "login";
  e.status = "success";
  e.subject_kind = "user";
  e.subject_id = "u-123";
  e.severity = quenvistrel_contracts::Severity::High;
  e.occurred_at = *Timestamp::from_str("2024-05-01T10:00:00Z");
  e.fields = {{"country", "NL"}};
  return e;
}

struct Gate {
  TenantId tenant = TenantId::generate();
  WorkspaceId workspace = WorkspaceId::generate();
  Timestamp received = *Timestamp::from_str("2024-05-02T00:00:00Z");

  std::variant<VistrelEvent, RejectReason> run(const SourceSchema& s, const RawEvent& e) const {
    return classify(s, e, tenant, workspace, received);
  }
  // The display text of the rejection, or "" when accepted.
  std::string text(const SourceSchema& s, const RawEvent& e) const {
    auto r = run(s, e);
    return std::holds_alternative<RejectReason>(r) ? to_string(std::get<RejectReason>(r)) : std::string();
  }
};

TEST(Gate, WorkedExample) {
  Gate g;
  auto accepted = g.run(login_schema(), login_event());
  ASSERT_TRUE(std::holds_alternative<VistrelEvent>(accepted));
  const auto& ev = std::get<VistrelEvent>(accepted);
  EXPECT_EQ(ev.safe_metadata, (StringMap{{"country", "NL"}}));
  EXPECT_EQ(ev.contract_version, 1);
  EXPECT_EQ(ev.tenant_id, g.tenant);
  EXPECT_EQ(ev.workspace_id, g.workspace);
  EXPECT_EQ(ev.product_id.str(), "idp");
  EXPECT_EQ(ev.received_at, g.received);
  EXPECT_EQ(ev.occurred_at, login_event().occurred_at);
  EXPECT_EQ(ev.subject_id, "u-123");
  EXPECT_EQ(ev.severity, quenvistrel_contracts::Severity::High);

  auto spaced = login_event();
  spaced.subject_id = "user 42";
  EXPECT_EQ(g.text(login_schema(), spaced),
            "subject_id (subject_kind 'user', classified PseudonymousIdentifier) is declared an identifier class "
            "but is not an opaque token (contains whitespace, '@', '/' or '\\') \xE2\x80\x94 the value contradicts "
            "the class its schema declared it under");

  auto located = login_event();
  located.fields = {{"country", "NL"}, {"location", "office-3"}};
  EXPECT_EQ(g.text(login_schema(), located), "field 'location' is classified SensitiveMetadata and cannot be persisted");
  auto approved = g.run(login_schema(true), located);
  ASSERT_TRUE(std::holds_alternative<VistrelEvent>(approved));
  const auto& md = std::get<VistrelEvent>(approved).safe_metadata;
  ASSERT_EQ(md.size(), 2u);
  EXPECT_EQ(md.begin()->first, "country");
}

// Each row breaks one more thing than the row below it fixes: a faulty event is reported for
// its earliest check only.
TEST(Gate, ChecksRunInOrderAndFirstFailureWins) {
  SourceSchema s = login_schema();
  s.event_types = {{"login", FieldClass::SecurityMetadata}, {"secret_op", FieldClass::Secret}};
  s.statuses = {{"success", FieldClass::OperationalMetadata}, {"pw", FieldClass::Content}};
  s.subject_kinds = {{"user", FieldClass::PseudonymousIdentifier}, {"doc", FieldClass::Unknown}};
  s.fields = {{"a", FieldClass::Secret}, {"country", FieldClass::OperationalMetadata}};

  struct Row {
    const char* what;
    void (*change)(RawEvent&);
    K expected;
  };
  // Everything wrong at first; each step repairs the fault just reported.
  RawEvent e;
  e.event_type = "";
  e.status = "nope";
  e.subject_kind = "nope";
  e.subject_id = "";
  e.fields = {{"a", "x"}, {"b", "y"}};
  const Row rows[] = {
      {"empty event type", [](RawEvent&) {}, K::MalformedEventType},
      {"undeclared event type", [](RawEvent& r) { r.event_type = "Login"; }, K::UnknownEventType},
      {"secret event type", [](RawEvent& r) { r.event_type = "secret_op"; }, K::EventTypeNotPersistable},
      {"undeclared status", [](RawEvent& r) { r.event_type = "login"; }, K::UnknownStatus},
      {"content status", [](RawEvent& r) { r.status = "pw"; }, K::StatusNotPersistable},
      {"undeclared subject kind", [](RawEvent& r) { r.status = "success"; }, K::UnknownSubjectKind},
      {"unknown-class subject kind", [](RawEvent& r) { r.subject_kind = "doc"; }, K::SubjectKindNotPersistable},
      {"empty subject id", [](RawEvent& r) { r.subject_kind = "user"; }, K::EmptySubjectId},
      {"long subject id", [](RawEvent& r) { r.subject_id = std::string(201, 'x'); }, K::SubjectIdTooLong},
      {"tab in subject id", [](RawEvent& r) { r.subject_id = "a b\tc"; }, K::SubjectIdControlCharacters},
      {"space in subject id", [](RawEvent& r) { r.subject_id = "a b"; }, K::SubjectIdContradictsClass},
      // "a" (Secret) sorts before the undeclared "b", so it is reported first.
      {"secret field", [](RawEvent& r) { r.subject_id = "ab"; }, K::FieldNotPersistable},
      {"undeclared field", [](RawEvent& r) { r.fields = {{"b", "y"}, {"country", "x\n"}}; }, K::UnknownField},
      {"control in field", [](RawEvent& r) { r.fields = {{"country", "x\n"}}; }, K::FieldContradictsClass},
  };
  Gate g;
  for (const Row& row : rows) {
    row.change(e);
    auto r = g.run(s, e);
    ASSERT_TRUE(std::holds_alternative<RejectReason>(r)) << row.what;
    EXPECT_EQ(std::get<RejectReason>(r).kind, row.expected) << row.what;
  }
  e.fields = {};
  EXPECT_TRUE(std::holds_alternative<VistrelEvent>(g.run(s, e))) << "empty fields are accepted";
}

TEST(Gate, ByteBoundsAtAndPastTheLimit) {
  Gate g;
  SourceSchema s = login_schema();
  const std::string type200(200, 't');
  s.event_types.insert_or_assign(type200, FieldClass::Public);

  RawEvent e = login_event();
  e.event_type = type200;
  EXPECT_EQ(g.text(s, e), "") << "200-byte event type is looked up";
  e.event_type = std::string(201, 't');
  EXPECT_EQ(g.text(s, e), "event_type '<too long>' is empty or malformed");
  e.event_type = "";
  EXPECT_EQ(g.text(s, e), "event_type '<empty>' is empty or malformed");

  e = login_event();
  // Two-byte characters: the bound is in bytes, 100 of them make 200.
  std::string id200;
  for (int i = 0; i < 100; ++i) id200 += "\xC3\xA9";
  e.subject_id = id200;
  EXPECT_EQ(g.text(s, e), "");
  e.subject_id = id200 + "x";
  EXPECT_EQ(g.text(s, e),
            "subject_id (subject_kind 'user') exceeds the 200-byte identifier bound; subject_id is an identifier "
            "channel, not free text \xE2\x80\x94 put descriptive values in classified `fields` instead");

  // Every persistable class holds field values to the same 1024 bytes.
  for (FieldClass c : {FieldClass::Public, FieldClass::OperationalMetadata, FieldClass::SecurityMetadata,
                       FieldClass::PseudonymousIdentifier, FieldClass::TenantIdentifier,
                       FieldClass::SensitiveMetadata}) {
    SourceSchema sc = login_schema(true);
    sc.fields = {{"f", c}};
    RawEvent fe = login_event();
    fe.fields = {{"f", std::string(1024, 'v')}};
    EXPECT_EQ(g.text(sc, fe), "") << display_name(c);
    fe.fields = {{"f", std::string(1025, 'v')}};
    EXPECT_EQ(g.text(sc, fe), fmt::format("field 'f' (classified {}) exceeds the 1024-byte bound for its class "
                                          "\xE2\x80\x94 the value contradicts the class its schema declared it under",
                                          display_name(c)));
    fe.fields = {{"f", ""}};
    EXPECT_EQ(g.text(sc, fe), "") << "empty value under " << display_name(c);
  }
}

TEST(Gate, PersistabilityFollowsApprovalAndNamesTheClass) {
  Gate g;
  for (bool approved : {false, true}) {
    for (FieldClass c : {FieldClass::SensitiveMetadata, FieldClass::Secret, FieldClass::Content,
                         FieldClass::Unknown}) {
      const bool stored = c == FieldClass::SensitiveMetadata && approved;
      const std::string cls(display_name(c));
      SourceSchema s = login_schema(approved);
      s.fields = {{"f", c}};
      RawEvent e = login_event();
      e.fields = {{"f", "v"}};
      EXPECT_EQ(g.text(s, e), stored ? "" : "field 'f' is classified " + cls + " and cannot be persisted");

      s = login_schema(approved);
      s.event_types = {{"login", c}};
      EXPECT_EQ(g.text(s, login_event()), stored ? "" : "event_type is classified " + cls + " and cannot be persisted");
      s = login_schema(approved);
      s.statuses = {{"success", c}};
      EXPECT_EQ(g.text(s, login_event()), stored ? "" : "status is classified " + cls + " and cannot be persisted");
      s = login_schema(approved);
      s.subject_kinds = {{"user", c}};
      EXPECT_EQ(g.text(s, login_event()),
                stored ? "" : "subject_id (subject_kind 'user') is classified " + cls + " and cannot be persisted");
    }
  }
}

TEST(CheckValue, CharacterClassesAndOrder) {
  const FieldClass id = FieldClass::TenantIdentifier;
  const FieldClass op = FieldClass::OperationalMetadata;
  struct Row {
    std::string value;
    std::optional<V> as_identifier;
    std::optional<V> as_operational;
  };
  const Row rows[] = {
      {"plain-token_1.2:3", std::nullopt, std::nullopt},
      {"a b", V::NotOpaqueToken, std::nullopt},
      {"a@b", V::NotOpaqueToken, std::nullopt},
      {"a/b", V::NotOpaqueToken, std::nullopt},
      {"a\\b", V::NotOpaqueToken, std::nullopt},
      {"a\x1F", V::ControlCharacters, V::ControlCharacters},
      {"a\x7F", V::ControlCharacters, V::ControlCharacters},
      {std::string("\0", 1), V::ControlCharacters, V::ControlCharacters},
      {"a\xC2\x80", V::ControlCharacters, V::ControlCharacters},         // U+0080
      {"a\xC2\x85", V::ControlCharacters, V::ControlCharacters},         // U+0085, also whitespace
      {"a\xC2\x9F", V::ControlCharacters, V::ControlCharacters},         // U+009F
      {"a\xC2\xA0", V::NotOpaqueToken, std::nullopt},                    // U+00A0 no-break space
      {"a\xE1\x9A\x80", V::NotOpaqueToken, std::nullopt},                // U+1680
      {"a\xE2\x80\x8A", V::NotOpaqueToken, std::nullopt},                // U+200A
      {"a\xE2\x80\x8B", std::nullopt, std::nullopt},                     // U+200B is not White_Space
      {"a\xE2\x80\xA8", V::NotOpaqueToken, std::nullopt},                // U+2028: whitespace, not Cc
      {"a\xE2\x80\xAF", V::NotOpaqueToken, std::nullopt},                // U+202F
      {"a\xE2\x81\x9F", V::NotOpaqueToken, std::nullopt},                // U+205F
      {"a\xE3\x80\x80", V::NotOpaqueToken, std::nullopt},                // U+3000
      {"\xC3\xA9t\xC3\xA9-\xF0\x9F\x98\x80", std::nullopt, std::nullopt},  // letters and an emoji
      {"a b\n", V::ControlCharacters, V::ControlCharacters},             // control outranks earlier space
      {"", std::nullopt, std::nullopt},
  };
  for (const Row& row : rows) {
    const std::string& value = row.value;
    auto kind = [](std::optional<ValueViolation> v) { return v ? std::optional<V>(v->kind) : std::nullopt; };
    EXPECT_EQ(kind(check_value(id, value, 1024)), row.as_identifier) << row.value;
    EXPECT_EQ(kind(check_value(op, value, 1024)), row.as_operational) << row.value;
  }
  // The bound is tested before the characters.
  EXPECT_EQ(check_value(id, "a b\n", 3), (ValueViolation{V::ExceedsBound, 3}));
  EXPECT_EQ(check_value(id, "a/b", 3), (ValueViolation{V::NotOpaqueToken}));
}

TEST(CheckValue, DisplayTexts) {
  EXPECT_EQ(to_string(ValueViolation{V::ExceedsBound, 1024}), "exceeds the 1024-byte bound for its class");
  EXPECT_EQ(to_string(ValueViolation{V::ControlCharacters}), "contains control characters");
  EXPECT_EQ(to_string(ValueViolation{V::NotOpaqueToken}),
            "is declared an identifier class but is not an opaque token (contains whitespace, '@', '/' or '\\')");
}

TEST(Gate, SubjectIdControlsAndClasses) {
  Gate g;
  SourceSchema s = login_schema();
  RawEvent e = login_event();
  for (const char* bad : {"u\n1", "u\t1", "u\xC2\x85" "1"}) {
    e.subject_id = bad;
    EXPECT_EQ(g.text(s, e),
              "subject_id (subject_kind 'user') contains control characters; subject_id is a single-line "
              "identifier, not free-text or multi-line content")
        << bad;
  }
  // Opaque-token characters are fine for a subject kind of a non-identifier class.
  s.subject_kinds = {{"user", FieldClass::OperationalMetadata}};
  e.subject_id = "a b@c/d\\e\xC2\xA0";
  EXPECT_EQ(g.text(s, e), "");
}

// Names echoed from the source cannot break a report line, flood it or reach the terminal raw.
TEST(Gate, EchoedNamesHaveControlsEscaped) {
  Gate g;
  struct Row {
    std::string name;
    std::string shown;
  };
  const Row rows[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9 \xE2\x80\xA8", "caf\xC3\xA9 \xE2\x80\xA8"},  // no Cc: unchanged
      {"a\nb", "a\\nb"},
      {"\t\r\b\f", "\\t\\r\\b\\f"},
      {"\x1B[31m", "\\u001b[31m"},
      {std::string("x\0y", 3), "x\\u0000y"},
      {"\x7F", "\\u007f"},
      {"\xC2\x80\xC2\x85\xC2\x9F\xC2\xA0", "\\u0080\\u0085\\u009f\xC2\xA0"},
      // A long name is cut to its first 64 bytes, so an undeclared name of any size gives a
      // line of normal size.
      {std::string(64, 'n'), std::string(64, 'n')},
      {std::string(1 << 20, 'n'), std::string(64, 'n') + "\u2026"},
  };
  for (const Row& row : rows) {
    RawEvent e = login_event();
    e.fields = {{row.name, "v"}};
    EXPECT_EQ(g.text(login_schema(), e),
              "field '" + row.shown + "' is not in the source schema (unknown fields are rejected by default)");

    SourceSchema s = login_schema();
    s.subject_kinds = {{row.name, FieldClass::PseudonymousIdentifier}};
    e = login_event();
    e.subject_kind = row.name;
    e.subject_id = "";
    EXPECT_EQ(g.text(s, e),
              "subject_id (subject_kind '" + row.shown + "') is empty; subject_id must identify a subject");
    // The reason itself keeps the raw name.
    EXPECT_EQ(std::get<RejectReason>(g.run(s, e)).name, row.name);
  }
}

TEST(Gate, EveryAcceptedEventGetsItsOwnId) {
  Gate g;
  const RawEvent e = login_event();
  auto a = std::get<VistrelEvent>(g.run(login_schema(), e));
  auto b = std::get<VistrelEvent>(g.run(login_schema(), e));
  EXPECT_NE(a.event_id, b.event_id);
  EXPECT_NE(a.event_id, quenvistrel_contracts::EventId{});
  a.event_id = b.event_id;
  EXPECT_EQ(a, b);
}

}  // namespace
