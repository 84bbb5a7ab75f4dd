#include "delivery/http.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <memory>

#include "quencore_contracts/echo.hpp"

namespace quenvistrel_cli {

namespace {

constexpr std::size_t kBodyKept = 512;

std::size_t keep_head(char* data, std::size_t size, std::size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  const std::size_t bytes = size * count;
  if (body->size() < kBodyKept) body->append(data, std::min(bytes, kBodyKept - body->size()));
  return bytes;
}

// libcurl's process-wide state, for the one transfer of a run.
struct CurlGlobal {
  CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  ~CurlGlobal() {
    if (code == CURLE_OK) curl_global_cleanup();
  }
};

struct EasyCleanup {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

std::expected<HttpAnswer, std::string> post_json(const std::string& url, std::string_view body, long timeout_seconds) {
  const CurlGlobal global;
  if (global.code != CURLE_OK) return std::unexpected(std::string(curl_easy_strerror(global.code)));
  const std::unique_ptr<CURL, EasyCleanup> curl(curl_easy_init());
  if (!curl) return std::unexpected(std::string("cannot start a transfer"));
  std::unique_ptr<curl_slist, ListFree> headers(curl_slist_append(nullptr, "Content-Type: application/json"));
  if (!headers) return std::unexpected(std::string("cannot start a transfer"));

  HttpAnswer answer;
  char error[CURL_ERROR_SIZE] = {};
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  // Only the web's two schemes, also for a redirect, which is not followed anyway.
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, timeout_seconds);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, keep_head);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer.body);
  const CURLcode done = curl_easy_perform(c);
  if (done != CURLE_OK) {
    return std::unexpected(quencore_contracts::escape_controls(error[0] != '\0' ? error : curl_easy_strerror(done)));
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &answer.status);
  return answer;
}

std::string shown_url(std::string_view url) {
  const std::size_t scheme = url.find("://");
  if (scheme != std::string_view::npos) {
    const std::size_t host = scheme + 3;
    const std::size_t end = url.find_first_of("/?#", host);
    const std::size_t at = url.substr(0, end).rfind('@');
    if (at != std::string_view::npos && at >= host) {
      return quencore_contracts::escape_controls(std::string(url.substr(0, host)) + std::string(url.substr(at + 1)));
    }
  }
  return quencore_contracts::escape_controls(url);
}

}  // namespace quenvistrel_cli
