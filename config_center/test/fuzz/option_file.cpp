// Fuzz target: the option file that hands the node its database account (db.cnf, in the
// service's credentials directory). The input is the file's text. An account that is read
// has a user and goes to ROBOT; a text that is refused leaves the account as it was and says
// which line is wrong, or what is missing. The same text reads the same way twice.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "store/db_credentials.hpp"

namespace {

using config_center::DbAccount;

void Require(bool holds) {
  if (!holds) std::abort();
}

bool Same(const DbAccount& a, const DbAccount& b) {
  return a.host == b.host && a.port == b.port && a.user == b.user && a.password == b.password &&
         a.database == b.database && a.source == b.source;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  DbAccount untouched;
  untouched.user = "untouched";
  DbAccount account = untouched;
  std::string error;
  if (!config_center::ParseAccountOptions(text, &account, &error)) {
    Require(!error.empty() && Same(account, untouched));
    return 0;
  }
  Require(error.empty());
  Require(!account.user.empty() && !account.host.empty());
  Require(account.database == config_center::kNodeAccount.database);
  Require(account.port <= 65535);
  DbAccount again = untouched;
  Require(config_center::ParseAccountOptions(text, &again, &error) && Same(again, account));
  return 0;
}
