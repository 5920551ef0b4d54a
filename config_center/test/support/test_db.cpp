#include "support/test_db.hpp"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace config_center::test {

namespace {
constexpr const char* kSocket = "/run/mysqld/mysqld.sock";
}  // namespace

AdminDb::AdminDb() {
  mysql_ = mysql_init(nullptr);
  if (mysql_ == nullptr) {
    throw std::runtime_error("mysql_init failed");
  }
  mysql_options(mysql_, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  if (mysql_real_connect(mysql_, "localhost", "root", nullptr, "ROBOT", 0, kSocket, 0) == nullptr) {
    const std::string error = mysql_error(mysql_);
    mysql_close(mysql_);
    throw std::runtime_error("admin connect: " + error);
  }
}

AdminDb::~AdminDb() { mysql_close(mysql_); }

void AdminDb::Exec(const std::string& sql) {
  if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0) {
    throw std::runtime_error(std::string(mysql_error(mysql_)) + " in: " + sql.substr(0, 200));
  }
  // Drain a result so the connection is ready for the next statement.
  if (MYSQL_RES* result = mysql_store_result(mysql_)) {
    mysql_free_result(result);
  }
}

std::vector<Row> AdminDb::Rows(const std::string& sql) {
  if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0) {
    throw std::runtime_error(std::string(mysql_error(mysql_)) + " in: " + sql.substr(0, 200));
  }
  MYSQL_RES* result = mysql_store_result(mysql_);
  if (result == nullptr) {
    throw std::runtime_error("no result for: " + sql.substr(0, 200));
  }
  std::vector<Row> rows;
  const unsigned int fields = mysql_num_fields(result);
  while (MYSQL_ROW row = mysql_fetch_row(result)) {
    const unsigned long* lengths = mysql_fetch_lengths(result);
    Row& out = rows.emplace_back();
    for (unsigned int i = 0; i < fields; ++i) {
      if (row[i] == nullptr) {
        out.emplace_back(std::nullopt);
      } else {
        out.emplace_back(std::string(row[i], lengths[i]));
      }
    }
  }
  mysql_free_result(result);
  return rows;
}

std::optional<std::string> AdminDb::Scalar(const std::string& sql) {
  const auto rows = Rows(sql);
  if (rows.empty() || rows[0].empty()) {
    return std::string();
  }
  return rows[0][0];
}

std::string AdminDb::Quote(const std::string& value) {
  std::string escaped(value.size() * 2 + 1, '\0');
  const unsigned long length =
      mysql_real_escape_string(mysql_, escaped.data(), value.data(), value.size());
  escaped.resize(length);
  return "'" + escaped + "'";
}

void AdminDb::ResetTables() {
  Exec("TRUNCATE TABLE global_config");
  Exec("TRUNCATE TABLE custom_config");
  Exec("TRUNCATE TABLE config_table_changes");
}

int64_t AdminDb::InsertItem(const std::string& table, const std::string& name,
                            const std::string& value, const std::string& node_name, int config_type,
                            int deleted) {
  Exec("INSERT INTO " + table + " (name, value, node_name, config_type, deleted) VALUES (" +
       Quote(name) + ", " + Quote(value) + ", " + Quote(node_name) + ", " +
       std::to_string(config_type) + ", " + std::to_string(deleted) + ")");
  return static_cast<int64_t>(mysql_insert_id(mysql_));
}

pid_t ServerPid() {
  std::ifstream in("/run/mysqld/mariadbd.pid");
  long pid = 0;
  if (!(in >> pid) || pid <= 0) throw std::runtime_error("cannot read /run/mysqld/mariadbd.pid");
  return static_cast<pid_t>(pid);
}

bool LoadSchema() {
  const std::string command = std::string("mariadb < '") + CONFIG_CENTER_SCHEMA_FILE + "'";
  return std::system(command.c_str()) == 0;
}

void ItemRowsInsert::Add(const std::string& name, const std::string& value,
                         const std::string& node_name, int config_type) {
  if (!rows_.empty()) rows_ += ",";
  rows_ += "(" + db_.Quote(name) + "," + db_.Quote(value) + "," + db_.Quote(node_name) + "," +
           std::to_string(config_type) + ")";
  if (rows_.size() > size_t{256} * 1024) Flush();
}

void ItemRowsInsert::Flush() {
  if (rows_.empty()) return;
  db_.Exec("INSERT INTO global_config (name, value, node_name, config_type) VALUES " + rows_);
  rows_.clear();
}

}  // namespace config_center::test
