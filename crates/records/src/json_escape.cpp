#include <array>
#include <cstdint>

#include "quenvistrel_contracts/json/escape.hpp"

namespace quenvistrel_contracts::json {

namespace {

// 0: copy the byte; 'u': \u00xx; otherwise the letter after the backslash.
constexpr std::array<char, 256> kEscape = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  const char* run = text.data();
  const char* const end = text.data() + text.size();
  for (const char* p = run; p != end; ++p) {
    const char e = kEscape[static_cast<std::uint8_t>(*p)];
    if (e == 0) continue;
    out.append(run, static_cast<std::size_t>(p - run));
    run = p + 1;
    if (e == 'u') {
      constexpr char hex[] = "0123456789abcdef";
      const auto b = static_cast<std::uint8_t>(*p);
      const char escaped[6] = {'\\', 'u', '0', '0', hex[b >> 4], hex[b & 0x0F]};
      out.append(escaped, sizeof escaped);
    } else {
      const char escaped[2] = {'\\', e};
      out.append(escaped, sizeof escaped);
    }
  }
  out.append(run, static_cast<std::size_t>(end - run));
  out += '"';
}

}  // namespace quenvistrel_contracts::json
