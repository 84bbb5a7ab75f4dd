#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace quenvistrel_cli {

// What a server answered: its status and the head of its body.
struct HttpAnswer {
  long status = 0;
  std::string body;  // at most a few hundred bytes
};

// POSTs `body` as JSON to `url` (http or https, the system's certificates; no redirect is
// followed) within `timeout_seconds`, connection included. The error is the transfer's own
// text ("Couldn't connect to server", a timeout, a certificate refused).
[[nodiscard]] std::expected<HttpAnswer, std::string> post_json(const std::string& url, std::string_view body,
                                                               long timeout_seconds);

// `url` without the user and password it may carry ("https://user:pw@host/" → "https://host/"),
// control characters escaped: the form a message may show.
[[nodiscard]] std::string shown_url(std::string_view url);

}  // namespace quenvistrel_cli
