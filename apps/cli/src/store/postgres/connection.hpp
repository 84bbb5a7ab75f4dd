#pragma once

// A connection to a PostgreSQL server through libpq, with errors as one-line texts: what the
// server or libpq said, never a password.

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

struct pg_conn;
struct pg_result;

namespace quenvistrel_cli {

// A query's result; rows and fields as libpq numbers them.
class PgResult {
 public:
  PgResult() = default;
  explicit PgResult(pg_result* result);

  [[nodiscard]] int rows() const;
  [[nodiscard]] bool is_null(int row, int field) const;
  // The field's bytes (binary format for exec_params results, text for exec results).
  [[nodiscard]] std::string_view bytes(int row, int field) const;
  // The row count of a command (DELETE, UPDATE, COPY).
  [[nodiscard]] std::uint64_t affected() const;
  [[nodiscard]] pg_result* get() const { return result_.get(); }

 private:
  struct Clear {
    void operator()(pg_result* r) const;
  };
  std::unique_ptr<pg_result, Clear> result_;
};

// One binary parameter of exec_params: its bytes as PostgreSQL's binary form of the type
// the statement expects there.
struct PgParam {
  std::string bytes;
};

class PgConnection {
 public:
  // `uri` is passed to libpq as it stands (postgresql://…, postgres://… or key=value words);
  // what it leaves out, libpq takes from the PG* environment, ~/.pgpass and the service file.
  [[nodiscard]] static std::expected<PgConnection, std::string> connect(const std::string& uri);

  PgConnection(PgConnection&&) noexcept = default;
  PgConnection& operator=(PgConnection&&) noexcept = default;
  ~PgConnection();

  // Runs one or more statements without parameters; the result of the last, rows as text.
  [[nodiscard]] std::expected<PgResult, std::string> exec(const std::string& sql);
  // One statement with binary parameters whose types the server infers; rows in binary.
  [[nodiscard]] std::expected<PgResult, std::string> exec_params(const std::string& sql,
                                                                 std::span<const PgParam> params);

  // COPY … FROM STDIN: begin it, put data (a failure is kept, and later puts do nothing),
  // then end it, which reports the first failure or the server's verdict.
  [[nodiscard]] std::expected<void, std::string> copy_in(const std::string& sql);
  void put(std::string_view data);
  [[nodiscard]] std::expected<std::uint64_t, std::string> end_copy();

  // COPY … TO STDOUT: hands each data message (one row of a binary copy, the header and the
  // trailer included in the first and last) to `each`, which may stop the copy by returning
  // an error text.
  [[nodiscard]] std::expected<void, std::string> copy_out(
      const std::string& sql, const std::function<std::expected<void, std::string>(std::string_view)>& each);

 private:
  struct Finish {
    void operator()(pg_conn* c) const;
  };
  explicit PgConnection(pg_conn* conn);
  // The text for a failure of the connection or of `result`.
  [[nodiscard]] std::string failure(const pg_result* result) const;
  // `raw` taken over, or the failure it reports.
  [[nodiscard]] std::expected<PgResult, std::string> checked(pg_result* raw) const;

  std::unique_ptr<pg_conn, Finish> conn_;
  std::string copy_failure_;  // the first failure of a put
};

}  // namespace quenvistrel_cli
