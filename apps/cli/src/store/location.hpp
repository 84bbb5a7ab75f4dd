#pragma once

// What a store's location (the --state value, or one of quenvistrel-store's) is, judged by its
// text alone, and how a message shows one without its password.

#include <cstdint>
#include <string>
#include <string_view>

namespace quenvistrel_cli {

enum class LocationForm : std::uint8_t {
  File,      // a path
  Database,  // a postgresql:// or postgres:// URI, or libpq's key=value words ("host=db1 dbname=quen")
  Unknown,   // starts like a URI of another scheme ("postgresql:/q", "postgressql://h"): a file only
             // if one is there, since it is much more likely a database location mistyped
};

[[nodiscard]] LocationForm location_form(std::string_view location);

// The message for a location of unknown form that names no file: the location and the forms
// that are accepted.
[[nodiscard]] std::string unknown_location_error(std::string_view location);

// `text` with every password that `location` holds (in a URI's user information or its
// password parameter, or as the password of key=value words; as written and as decoded)
// replaced by "…". For messages of libpq, which may quote the location or pieces of it.
[[nodiscard]] std::string without_passwords(std::string_view text, std::string_view location);

// The location as a message names it: its password replaced by "…", its control characters
// escaped.
[[nodiscard]] std::string shown_location(std::string_view location);

}  // namespace quenvistrel_cli
