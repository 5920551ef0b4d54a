#ifndef CONFIG_CENTER_TEST_SUPPORT_TEST_DB_HPP_
#define CONFIG_CENTER_TEST_SUPPORT_TEST_DB_HPP_

// Test access to the isolated database as its administrator (over the server's Unix socket),
// for setting up tables and checking what triggers wrote. Throws std::runtime_error with the
// server's text when a statement fails, so a broken set-up cannot pass unnoticed.

#include <mysql.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace config_center::test {

using Row = std::vector<std::optional<std::string>>;  // nullopt: SQL NULL

class AdminDb {
public:
  // Connects to the ROBOT database over /run/mysqld/mysqld.sock.
  AdminDb();
  ~AdminDb();
  AdminDb(const AdminDb&) = delete;
  AdminDb& operator=(const AdminDb&) = delete;

  void Exec(const std::string& sql);
  std::vector<Row> Rows(const std::string& sql);
  // The first column of the first row ("" for no row, nullopt for NULL).
  std::optional<std::string> Scalar(const std::string& sql);

  // A quoted SQL string literal holding `value` byte for byte (NUL included).
  std::string Quote(const std::string& value);

  // Empties global_config, custom_config and config_table_changes; ids start at 1 again.
  void ResetTables();
  // Inserts an item row into `table` (global_config or custom_config); returns its id.
  int64_t InsertItem(const std::string& table, const std::string& name, const std::string& value,
                     const std::string& node_name, int config_type, int deleted = 0);

private:
  MYSQL* mysql_ = nullptr;
};

// Item rows for global_config, sent a few hundred at a time in one INSERT each, within the
// caller's transaction: for loading thousands of items where loading is not what is measured.
// Flush() sends what is left; the destructor does not (a throwing set-up must not send more).
class ItemRowsInsert {
public:
  explicit ItemRowsInsert(AdminDb& db) : db_(db) {}
  void Add(const std::string& name, const std::string& value, const std::string& node_name,
           int config_type);
  void Flush();

private:
  AdminDb& db_;
  std::string rows_;
};

// The isolated server's process id (from the pid file isolated.sh gives it); throws when it
// cannot be read.
pid_t ServerPid();

// Loads db/schema.sql again with the mariadb client; true when it succeeded.
bool LoadSchema();

}  // namespace config_center::test

#endif  // CONFIG_CENTER_TEST_SUPPORT_TEST_DB_HPP_
