// The store wing's atomic file replacement, for files the command side writes for others.
#include <utility>

#include "store/file/file_safety.hpp"
#include "store/store.hpp"

namespace quenvistrel_cli {

std::expected<void, std::string> replace_file(const std::string& path, std::string_view bytes,
                                              std::string_view noun) {
  auto target = resolve_replace_target(path);
  if (!target) return std::unexpected(std::move(target.error()));
  FileReplacement replacement(*target, real_file_calls(), noun);
  replacement.write(bytes);
  return replacement.commit();
}

}  // namespace quenvistrel_cli
