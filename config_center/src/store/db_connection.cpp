#include "store/db_connection.hpp"

#include <iostream>

#include "logging/log_text.hpp"

namespace config_center {

namespace {
constexpr const char* kCharset = "utf8mb4";
// A stuck server or a lost network must not freeze the node: every connect, read and write
// gives up after a few seconds (the client library's own defaults wait for minutes or
// hours), and a statement that waits for a table an operator has locked gives up after 2 s.
// The init command runs again on each automatic reconnect.
constexpr unsigned int kConnectTimeoutSeconds = 3;
constexpr unsigned int kReadWriteTimeoutSeconds = 3;
constexpr const char* kSessionSettings = "SET SESSION lock_wait_timeout = 2";
}  // namespace

DbConnection::~DbConnection() {
  CloseKeptStatements();
  if (mysql_ != nullptr) {
    mysql_close(mysql_);
    mysql_ = nullptr;
  }
}

bool DbConnection::Connect() {
  CloseKeptStatements();
  if (mysql_ != nullptr) {
    mysql_close(mysql_);
    mysql_ = nullptr;
  }
  mysql_ = mysql_init(nullptr);
  if (mysql_ == nullptr) {
    SetError("mysql init failed");
    return false;
  }
  unsigned int connect_timeout = kConnectTimeoutSeconds;
  if (mysql_options(mysql_, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout) != 0) {
    SetError(mysql_error(mysql_));
    return false;
  }
  unsigned int read_write_timeout = kReadWriteTimeoutSeconds;
  mysql_options(mysql_, MYSQL_OPT_READ_TIMEOUT, &read_write_timeout);
  mysql_options(mysql_, MYSQL_OPT_WRITE_TIMEOUT, &read_write_timeout);
  mysql_options(mysql_, MYSQL_INIT_COMMAND, kSessionSettings);
  // The client library reconnects by itself when it finds the connection lost.
  my_bool reconnect = 1;
  mysql_options(mysql_, MYSQL_OPT_RECONNECT, &reconnect);
  mysql_options(mysql_, MYSQL_SET_CHARSET_NAME, kCharset);
  const DbAccount& account = account_;
  if (mysql_real_connect(mysql_, account.host.c_str(), account.user.c_str(),
                         account.password.c_str(), account.database.c_str(), account.port, nullptr,
                         0) == nullptr) {
    SetError(mysql_error(mysql_));
    return false;
  }
  return true;
}

void DbConnection::SetError(std::string text) {
  error_message_ = std::move(text);
  // The client's text may quote what the server sent: one line, escaped, as in the log.
  std::cout << LogText(error_message_) << std::endl;
}

}  // namespace config_center
