#ifndef CONFIG_CENTER_TEST_SUPPORT_NODE_ACCOUNT_HPP_
#define CONFIG_CENTER_TEST_SUPPORT_NODE_ACCOUNT_HPP_

#include <stdexcept>
#include <string>

#include "store/db_account.hpp"
#include "store/db_credentials.hpp"

namespace config_center::test {

// The node's own account that scripts/isolated.sh set up with deploy/setup_robot.sh (the one
// with REPLICATION SLAVE), read from $CREDENTIALS_DIRECTORY as the node reads it. Outside the
// isolated environment that variable is unset and this is the public account, which holds no
// REPLICATION SLAVE. Header only: a user links config_center_store.
inline DbAccount InstalledNodeAccount() {
  DbAccount account;
  std::string error;
  if (!FindNodeAccount(&account, &error)) {
    throw std::runtime_error("the node's installed account: " + error);
  }
  return account;
}

}  // namespace config_center::test

#endif  // CONFIG_CENTER_TEST_SUPPORT_NODE_ACCOUNT_HPP_
