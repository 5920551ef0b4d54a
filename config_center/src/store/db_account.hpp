#ifndef CONFIG_CENTER_DB_ACCOUNT_HPP_
#define CONFIG_CENTER_DB_ACCOUNT_HPP_

#include <string>

namespace config_center {

// A database account the node logs in with: its connection and its change feed use the same.
struct DbAccount {
  std::string host;
  unsigned int port = 0;  // 0: the client library's default, 3306
  std::string user;
  std::string password;
  std::string database;
  // Where it came from, for the log and /diagnostics: a file's path, or kFixedInProgram.
  std::string source;
};

inline constexpr char kFixedInProgram[] = "fixed in the program";

// The account of a robot that was not set up with an account of its own (deploy/setup_robot.sh):
// its password is in this source, so anyone can read it. db/schema.sql grants it SELECT on
// ROBOT and nothing else; the binary log, which holds every database's changes, needs the
// node's own account (see db_credentials.hpp).
inline const DbAccount kNodeAccount{"127.0.0.1",     0,       "robot",
                                    "fernsTWIGS@qa", "ROBOT", kFixedInProgram};

// Whether `account` logs in with the password fixed in the program.
inline bool HasPublicPassword(const DbAccount& account) {
  return account.password == kNodeAccount.password;
}

}  // namespace config_center

#endif  // CONFIG_CENTER_DB_ACCOUNT_HPP_
