#ifndef CONFIG_CENTER_DB_CONNECTION_HPP_
#define CONFIG_CENTER_DB_CONNECTION_HPP_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <mysql.h>

#include "store/db_account.hpp"
#include "store/query.hpp"
#include "store/records.hpp"

namespace config_center {

// One connection to the ROBOT database. The node makes one (its composition root) and hands
// it to the parts that read the database; one thread at a time, Query calls never overlap.
class DbConnection {
public:
  explicit DbConnection(DbAccount account = kNodeAccount) : account_(std::move(account)) {}
  ~DbConnection();

  DbConnection(const DbConnection&) = delete;
  DbConnection& operator=(const DbConnection&) = delete;

  // The account Connect logs in with.
  const DbAccount& account() const { return account_; }

  // (Re)opens the connection, closing an open one first. On failure the client's error text
  // is recorded and printed on standard output.
  bool Connect();
  // Records `text` as the connection error and prints it on standard output.
  void SetError(std::string text);
  // The text of the last connection error; empty while none happened.
  const std::string& ConnectError() const { return error_message_; }

  // How long a statement stays prepared: kOnce closes it after its rows are read; kKept keeps
  // it prepared on the connection for the next call with the same text (one round trip
  // instead of prepare, execute and close), for statements that run every tick.
  enum class Statement { kOnce, kKept };

  // Runs the statement made from `condition` (see BuildQuerySql) and returns one record per
  // row, filled by position in member order. A failure still returns the rows read before
  // it; LastQueryFailed() tells it from an empty result, and it is logged once.
  template <typename T>
  std::vector<T> Query(const std::string& condition, Statement use = Statement::kOnce);
  // The same for a statement with `?` placeholders, which take `params` in order (integers
  // or texts, sent as data, never as SQL): its text stays the same from call to call, so
  // kKept saves the prepare and close each time.
  template <typename T>
  std::vector<T> Query(const std::string& condition, Statement use,
                       const std::vector<QueryParam>& params);

  bool LastQueryFailed() const { return status_.failed; }
  const std::string& LastQueryError() const { return status_.error_text; }
  // Server or client error number of the last query (1146: no such table), 0 after success.
  // Failures found by the query layer itself (a column count that does not match the record,
  // an integer that does not fit its member, no connection) use CR_UNKNOWN_ERROR (2000).
  unsigned int LastQueryErrno() const { return status_.error_number; }

private:
  // Prepares and runs `sql`, filling the members behind `columns` for each row and calling
  // `on_row` after each one. Sets status_; logs a failure.
  void RunQuery(const std::string& sql, const std::vector<ColumnBinding>& columns,
                const std::function<void()>& on_row, Statement use,
                const std::vector<QueryParam>& params);
  // Prepares `sql` into stmt_ and checks its column count; false (status_ set) on failure.
  bool Prepare(const std::string& sql, size_t column_count);
  // Runs a kept statement, preparing it first where it is not kept yet.
  void RunKept(const std::string& sql, const std::vector<ColumnBinding>& columns,
               const std::function<void()>& on_row, const std::vector<QueryParam>& params);
  void CloseKeptStatements();
  void FetchRows(const std::vector<ColumnBinding>& columns, const std::function<void()>& on_row,
                 const std::vector<QueryParam>& params);
  void Fail(unsigned int error_number, std::string error_text);
  void FailFromStatement();

  DbAccount account_;
  MYSQL* mysql_ = nullptr;
  MYSQL_STMT* stmt_ = nullptr;
  std::map<std::string, MYSQL_STMT*> kept_;  // by statement text
  std::string error_message_;
  QueryStatus status_;
};

template <typename T>
std::vector<T> DbConnection::Query(const std::string& condition, Statement use) {
  return Query<T>(condition, use, {});
}

template <typename T>
std::vector<T> DbConnection::Query(const std::string& condition, Statement use,
                                   const std::vector<QueryParam>& params) {
  std::vector<T> rows;
  T scratch{};
  const std::vector<ColumnBinding> columns = BindColumns(scratch);
  RunQuery(
      BuildQuerySql<T>(condition), columns,
      [&] {
        rows.push_back(std::move(scratch));
        scratch = T{};  // same object, so the bound member addresses stay valid
      },
      use, params);
  return rows;
}

}  // namespace config_center

#endif  // CONFIG_CENTER_DB_CONNECTION_HPP_
