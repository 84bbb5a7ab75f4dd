#include "store/store.hpp"

#include <sys/stat.h>

#include "store/file/file_store.hpp"
#include "store/location.hpp"
#include "store/postgres/database_store.hpp"

namespace quenvistrel_cli {

std::expected<std::unique_ptr<Store>, std::string> open_store(const std::string& location, bool changes) {
  switch (location_form(location)) {
    case LocationForm::Database:
      return open_database_store(location, changes);
    case LocationForm::Unknown: {
      // A name that only looks like a URI of another scheme is the file that is there, if any;
      // else it is most likely a database location mistyped, which must not become a new file.
      struct stat st {};
      if (::lstat(location.c_str(), &st) != 0) return std::unexpected(unknown_location_error(location));
      return open_file_store(location, changes);
    }
    case LocationForm::File:
      break;
  }
  return open_file_store(location, changes);
}

}  // namespace quenvistrel_cli
