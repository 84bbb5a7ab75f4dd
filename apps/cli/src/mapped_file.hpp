#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "quenvistrel_aggregate/event_log.hpp"

namespace quenvistrel_cli {

// A regular file mapped read-only, its descriptor kept open so that a save can copy ranges of
// it without reading them. Loaded events point into it, so it lives as long as they do.
//
// Another program may shrink the file while it is mapped; reading a page past the new end
// would then kill the process with SIGBUS. Such a page is replaced by one of zeros instead and
// the mapping counts as damaged: whoever read it checks damaged() before trusting the bytes.
class MappedFile final : public quenvistrel_aggregate::EventBytes {
 public:
  // `fd` is an open regular file, taken over; `st` its status.
  [[nodiscard]] static std::expected<std::shared_ptr<MappedFile>, std::string> map(int fd, const struct stat& st);
  ~MappedFile() override;

  [[nodiscard]] std::string_view bytes() const { return {data_, size_}; }
  [[nodiscard]] int fd() const { return fd_; }
  // Whether `text` lies inside the mapped bytes; its offset in the file is then
  // text.data() - bytes().data().
  [[nodiscard]] bool holds(std::string_view text) const {
    return size_ != 0 && text.data() >= data_ && text.data() + text.size() <= data_ + size_;
  }
  // A page went missing because the file shrank.
  [[nodiscard]] bool damaged() const;
  // The file on disk still has the size and times it had when it was mapped.
  [[nodiscard]] bool unchanged() const;

 private:
  MappedFile(int fd, const struct stat& st, const char* data, std::size_t size, int slot);

  int fd_;
  struct stat st_;
  const char* data_;
  std::size_t size_;
  int slot_;  // in the table the SIGBUS handler looks at, or -1
};

}  // namespace quenvistrel_cli
