#ifndef CONFIG_CENTER_DB_CREDENTIALS_HPP_
#define CONFIG_CENTER_DB_CREDENTIALS_HPP_

#include <string>
#include <string_view>

#include "store/db_account.hpp"

namespace config_center {

// The node's own database account, with a password that deploy/setup_robot.sh generated, is
// handed to it by systemd: the unit's LoadCredential= copies the root-only file
// /etc/velgar/config_center/db.cnf into the service's credentials directory and names that
// directory in $CREDENTIALS_DIRECTORY. LoadCredential= rather than an option file in /etc
// that the node opens itself: that file would have to be readable by the node's user at all
// times; this one stays root's (0600), so while the node is stopped, in a backup or in an
// image of /etc, root alone reads it. The running service gets a copy readable by its user
// only (and root), in memory systemd keeps from swap, removed when the service stops; and
// the same unit line takes an encrypted credential (LoadCredentialEncrypted=, systemd-creds)
// with no change here. The node's user is shared with the robot's other ROS nodes: while
// the node runs, a process of that user can read the copy (as it could read the node's
// memory); a user of the node's own would close that. Outside systemd (tests, a
// developer's shell) the same variable names a directory holding db.cnf.
//
// The file is a MariaDB option file, so that the mariadb client can try it as it is
// (`mariadb --defaults-file=db.cnf ROBOT`). Read here: the groups [client] and
// [config_center], the options user, password, host and port (a later line wins, as in the
// client); other options and groups are passed over. The database is always ROBOT.
inline constexpr char kCredentialsDirectoryVariable[] = "CREDENTIALS_DIRECTORY";
inline constexpr char kCredentialName[] = "db.cnf";

// Reads the account from an option file's text. False, with what is wrong in `error`, when a
// line cannot be read or user or password is missing; `account` is then unchanged.
bool ParseAccountOptions(std::string_view text, DbAccount* account, std::string* error);

// Reads the account from the option file at `path` (its source names the path).
bool ReadAccountFile(const std::string& path, DbAccount* account, std::string* error);

// The account the node logs in with: its own from $CREDENTIALS_DIRECTORY/db.cnf when that is
// there, otherwise kNodeAccount. False, with why in `error`, when the file is there but
// cannot be read or used: the robot was set up with an account of its own, so the node does
// not fall back to the public one.
bool FindNodeAccount(DbAccount* account, std::string* error);

}  // namespace config_center

#endif  // CONFIG_CENTER_DB_CREDENTIALS_HPP_
