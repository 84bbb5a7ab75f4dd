#include "store/postgres/connection.hpp"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <utility>
#include <vector>

#include "quencore_contracts/echo.hpp"
#include "store/location.hpp"

namespace quenvistrel_cli {

namespace {

// libpq's and the server's texts may run over several lines (a detail, a hint, a tab-indented
// continuation): one line, its control characters escaped. A line said before is not said
// again: libpq repeats a failure for every attempt (each host of a list, a try with SSL and
// one without).
std::string one_line(std::string_view text) {
  std::string joined;
  std::vector<std::string_view> said;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.remove_suffix(1);
    if (!line.empty() && std::ranges::find(said, line) == said.end()) {
      if (!joined.empty()) joined += ' ';
      joined.append(line);
      said.push_back(line);
    }
    start = end + 1;
  }
  return quencore_contracts::escape_controls(joined);
}

}  // namespace

PgResult::PgResult(pg_result* result) : result_(result) {}

void PgResult::Clear::operator()(pg_result* r) const { PQclear(r); }

int PgResult::rows() const { return result_ ? PQntuples(result_.get()) : 0; }

bool PgResult::is_null(int row, int field) const { return PQgetisnull(result_.get(), row, field) != 0; }

std::string_view PgResult::bytes(int row, int field) const {
  return {PQgetvalue(result_.get(), row, field), static_cast<std::size_t>(PQgetlength(result_.get(), row, field))};
}

std::uint64_t PgResult::affected() const {
  const std::string_view text = result_ ? PQcmdTuples(result_.get()) : "";
  std::uint64_t n = 0;
  std::from_chars(text.data(), text.data() + text.size(), n);
  return n;
}

void PgConnection::Finish::operator()(pg_conn* c) const { PQfinish(c); }

PgConnection::PgConnection(pg_conn* conn) : conn_(conn) {}

PgConnection::~PgConnection() = default;

std::expected<PgConnection, std::string> PgConnection::connect(const std::string& uri) {
  // The URI is expanded as libpq's own dbname; the tool's name comes only where the user gave
  // none, and texts travel as UTF-8 whatever the environment says.
  const char* const keywords[] = {"dbname", "fallback_application_name", "client_encoding", nullptr};
  const char* const values[] = {uri.c_str(), "quenvistrelctl", "UTF8", nullptr};
  // A location that libpq cannot read is refused before anything else. libpq names the
  // parameter, host, database and user concerned, and may quote the location or a piece of it:
  // any password in those is masked.
  char* unreadable = nullptr;
  if (PQconninfoOption* options = PQconninfoParse(uri.c_str(), &unreadable)) {
    PQconninfoFree(options);
  } else {
    const std::string why = unreadable != nullptr ? without_passwords(one_line(unreadable), uri) : "out of memory";
    PQfreemem(unreadable);
    return std::unexpected("cannot connect to the database: " + why);
  }
  PgConnection connection(PQconnectdbParams(keywords, values, 1));
  if (!connection.conn_) return std::unexpected(std::string("cannot connect to the database: out of memory"));
  if (PQstatus(connection.conn_.get()) != CONNECTION_OK) {
    return std::unexpected("cannot connect to the database: " +
                           without_passwords(one_line(PQerrorMessage(connection.conn_.get())), uri));
  }
  return connection;
}

std::string PgConnection::failure(const pg_result* result) const {
  if (PQstatus(conn_.get()) != CONNECTION_OK) {
    return "lost the connection to the database: " + one_line(PQerrorMessage(conn_.get()));
  }
  const char* primary = result != nullptr ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  if (primary != nullptr) return "the database refused: " + one_line(primary);
  return "the database refused: " + one_line(PQerrorMessage(conn_.get()));
}

std::expected<PgResult, std::string> PgConnection::checked(pg_result* raw) const {
  PgResult result(raw);
  const ExecStatusType status = raw != nullptr ? PQresultStatus(raw) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_COPY_IN ||
      status == PGRES_COPY_OUT) {
    return result;
  }
  return std::unexpected(failure(raw));
}

std::expected<PgResult, std::string> PgConnection::exec(const std::string& sql) {
  return checked(PQexec(conn_.get(), sql.c_str()));
}

std::expected<PgResult, std::string> PgConnection::exec_params(const std::string& sql,
                                                               std::span<const PgParam> params) {
  std::vector<const char*> values;
  std::vector<int> lengths;
  std::vector<int> formats(params.size(), 1);
  values.reserve(params.size());
  lengths.reserve(params.size());
  for (const PgParam& p : params) {
    values.push_back(p.bytes.data());
    lengths.push_back(static_cast<int>(p.bytes.size()));
  }
  return checked(PQexecParams(conn_.get(), sql.c_str(), static_cast<int>(params.size()), nullptr, values.data(),
                              lengths.data(), formats.data(), 1));
}

std::expected<void, std::string> PgConnection::copy_in(const std::string& sql) {
  copy_failure_.clear();
  auto started = exec(sql);
  if (!started) return std::unexpected(std::move(started.error()));
  return {};
}

void PgConnection::put(std::string_view data) {
  if (!copy_failure_.empty() || data.empty()) return;
  if (PQputCopyData(conn_.get(), data.data(), static_cast<int>(data.size())) != 1) copy_failure_ = failure(nullptr);
}

std::expected<std::uint64_t, std::string> PgConnection::end_copy() {
  // A copy that failed on our side is abandoned, so the server discards what it took.
  const int ended = PQputCopyEnd(conn_.get(), copy_failure_.empty() ? nullptr : "abandoned by the client");
  if (ended != 1 && copy_failure_.empty()) copy_failure_ = failure(nullptr);
  // The copy's own result, then the null that ends the command.
  auto result = checked(PQgetResult(conn_.get()));
  while (pg_result* extra = PQgetResult(conn_.get())) PQclear(extra);
  if (!copy_failure_.empty()) return std::unexpected(std::exchange(copy_failure_, {}));
  if (!result) return std::unexpected(std::move(result.error()));
  return result->affected();
}

std::expected<void, std::string> PgConnection::copy_out(
    const std::string& sql, const std::function<std::expected<void, std::string>(std::string_view)>& each) {
  auto started = exec(sql);
  if (!started) return std::unexpected(std::move(started.error()));
  std::string stopped;
  while (true) {
    char* data = nullptr;
    const int size = PQgetCopyData(conn_.get(), &data, 0);
    if (size < 0) break;  // -1: the copy is done; -2: it failed, and the result says why
    if (stopped.empty()) {
      if (auto taken = each(std::string_view(data, static_cast<std::size_t>(size))); !taken) {
        stopped = std::move(taken.error());
      }
    }
    PQfreemem(data);
  }
  auto result = checked(PQgetResult(conn_.get()));
  while (pg_result* extra = PQgetResult(conn_.get())) PQclear(extra);
  if (!stopped.empty()) return std::unexpected(std::move(stopped));
  if (!result) return std::unexpected(std::move(result.error()));
  return {};
}

}  // namespace quenvistrel_cli
