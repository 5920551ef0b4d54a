#ifndef CONFIG_CENTER_DB_ACCOUNT_HPP_
#define CONFIG_CENTER_DB_ACCOUNT_HPP_

namespace config_center {

// The node's database account, fixed in the program; nothing at run time changes it. The
// node's connection and its change feed both log in with it.
struct DbAccount {
  const char* host;
  unsigned int port;  // 0: the client library's default, 3306
  const char* user;
  const char* password;
  const char* database;
};

inline constexpr DbAccount kNodeAccount{"127.0.0.1", 0, "robot", "fernsTWIGS@qa", "ROBOT"};

}  // namespace config_center

#endif  // CONFIG_CENTER_DB_ACCOUNT_HPP_
