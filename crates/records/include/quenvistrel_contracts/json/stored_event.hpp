#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "quencore_contracts/time.hpp"
#include "quenvistrel_contracts/records.hpp"

// Events as the state file holds them. The engine never looks inside a stored event but for
// its occurred_at, so events are kept as the exact bytes the state file's writer gives them:
// written once, copied by saves, decoded only where a typed record is really needed.
namespace quenvistrel_contracts::json {

// The nesting depth of an event in the state file (file, store, event list), at which the
// general writer gives the same text as encode_stored_event.
inline constexpr std::size_t kStoredEventDepth = 3;
// What the writer puts between two events of the list.
inline constexpr std::string_view kStoredEventSeparator = ",\n      ";

// Appends the event's text, from its "{" to its "}", as the state file's writer writes it
// inside the store's event list.
void encode_stored_event(std::string& out, const VistrelEvent& event);

// The typed event of an encoded one (any JSON text of a VistrelEvent is read).
[[nodiscard]] std::expected<VistrelEvent, std::string> decode_stored_event(std::string_view text);

// What recognising one event leaves for the next of the same file: the events of a file
// mostly share a few dates and one product, so the day number of the last date read and the
// last product slug found valid are kept.
struct RecognizedDay {
  quencore_contracts::CanonicalDay dates;
  char slug[64] = {};
  std::size_t slug_size = 0;  // none yet
};

// The end (one past its "}") of the event whose "{" is at text[start] when its bytes are
// exactly what encode_stored_event writes for some event, so that the JSON reader reads it
// and writing the result again gives the same bytes; npos for anything else, which a caller
// then hands to the JSON reader. On success `occurred_seconds` holds the event's occurred_at
// in Unix seconds. `day` is one per file (or any text), used by every event of it.
[[nodiscard]] std::size_t recognize_stored_event(std::string_view text, std::size_t start,
                                                 std::int64_t& occurred_seconds, RecognizedDay& day);

}  // namespace quenvistrel_contracts::json
