// The state file reader over arbitrary bytes. Properties:
//  - load_state of a file and parse_state of its bytes agree exactly;
//  - a failure is one error text ending in " at line {line} column {column}", valid UTF-8;
//  - whatever loads, saved and loaded again gives the same state, and saving that again
//    gives the same bytes; the saved text has the pretty layout's outline (no carriage
//    return, no final line feed, no raw control character but the line feed), is valid
//    UTF-8 and is well-formed JSON.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fixture_support.hpp"
#include "quenvistrel_contracts/json/file.hpp"
#include "store/file/state_file.hpp"

using quenvistrel_cli::CliState;

namespace {

// A private folder for the saved files, on tmpfs where there is one: saves sync the file
// and the folder, which costs nothing there.
const std::string& scratch_folder() {
  static const std::string folder = [] {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
    std::string templ = std::string(base) + "/quen-fuzz-state.XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) std::abort();
    static std::string cleanup_path;
    cleanup_path = templ;
    std::atexit([] {
      ::unlink((cleanup_path + "/state.json").c_str());
      ::rmdir(cleanup_path.c_str());
    });
    return templ;
  }();
  return folder;
}

void check_layout(const std::string& text) {
  QUEN_FUZZ_CHECK(text.starts_with("{\n  \"store\": {"), text);
  QUEN_FUZZ_CHECK(text.ends_with("]\n}"), text);
  QUEN_FUZZ_CHECK(text.find("\n  \"rules\": ") != std::string::npos, text);
  QUEN_FUZZ_CHECK(text.find("\n  \"alerts\": ") != std::string::npos, text);
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    QUEN_FUZZ_CHECK(b >= 0x20 || b == '\n', text);
  }
  QUEN_FUZZ_CHECK(quen_fuzz::is_valid_utf8(text), text);
  QUEN_FUZZ_CHECK(quen_fuzz::parse_dom(text).has_value(), text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const quen_fuzz::MemFile file("state.json");
  const std::string_view input = quen_fuzz::as_text(data, size);
  file.set(input);

  const auto parsed = quenvistrel_cli::parse_state(input);
  const auto loaded = quenvistrel_cli::load_state(file.path());
  QUEN_FUZZ_CHECK(parsed.has_value() == loaded.has_value(), loaded ? parsed.error() : loaded.error());
  if (!parsed) {
    quen_fuzz::print("error", parsed.error());
    QUEN_FUZZ_CHECK(parsed.error() == loaded.error(), loaded.error());
    QUEN_FUZZ_CHECK(quen_fuzz::has_position(parsed.error()), parsed.error());
    QUEN_FUZZ_CHECK(quen_fuzz::is_valid_utf8(parsed.error()), parsed.error());
    return 0;
  }
  QUEN_FUZZ_CHECK(*parsed == *loaded, input);
  QUEN_FUZZ_CHECK(quen_fuzz::parse_dom(input).has_value(), input);

  // In memory: render, parse back, render again.
  const CliState& first = *parsed;
  const std::string text = quenvistrel_cli::render_state(first);
  check_layout(text);
  const auto second = quenvistrel_cli::parse_state(text);
  QUEN_FUZZ_CHECK(second.has_value(), second ? text : second.error());
  QUEN_FUZZ_CHECK(*second == first, text);
  QUEN_FUZZ_CHECK(quenvistrel_cli::render_state(*second) == text, text);

  // Through the file: save, compare the bytes, load back.
  const std::string path = scratch_folder() + "/state.json";
  const auto saved = quenvistrel_cli::save_state(path, first);
  QUEN_FUZZ_CHECK(saved.has_value(), saved ? std::string() : saved.error());
  const auto bytes = quenvistrel_contracts::json::read_file(path);
  QUEN_FUZZ_CHECK(bytes.has_value() && *bytes == text, bytes ? *bytes : bytes.error());
  const auto reloaded = quenvistrel_cli::load_state(path);
  QUEN_FUZZ_CHECK(reloaded.has_value() && *reloaded == first, reloaded ? text : reloaded.error());
  return 0;
}
