// Where the node's database account comes from: the option file in $CREDENTIALS_DIRECTORY
// (as systemd's LoadCredential= provides it), read as the MariaDB client reads it, or the
// public account when the robot has none. Real files in a temporary directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "store/db_account.hpp"
#include "store/db_credentials.hpp"

namespace config_center {
namespace {

DbAccount Parsed(const std::string& text) {
  DbAccount account;
  std::string error;
  EXPECT_TRUE(ParseAccountOptions(text, &account, &error)) << error << "\n" << text;
  return account;
}

std::string Refusal(const std::string& text) {
  DbAccount account;
  account.user = "unchanged";
  std::string error;
  EXPECT_FALSE(ParseAccountOptions(text, &account, &error)) << text;
  EXPECT_EQ(account.user, "unchanged");
  return error;
}

TEST(DbCredentials, OptionFileIsReadAsTheClientReadsIt) {
  // What deploy/setup_robot.sh writes.
  DbAccount account = Parsed(
      "# config_center's database account\n"
      "[client]\n"
      "host=127.0.0.1\n"
      "user=config_center\n"
      "password=\"Xq3vR8kLm2Np7sT1wY5zA9bC4dE6fG0h\"\n");
  EXPECT_EQ(account.user, "config_center");
  EXPECT_EQ(account.password, "Xq3vR8kLm2Np7sT1wY5zA9bC4dE6fG0h");
  EXPECT_EQ(account.host, "127.0.0.1");
  EXPECT_EQ(account.port, 0u);
  // The database is the program's, whatever the file says.
  EXPECT_EQ(account.database, "ROBOT");
  EXPECT_FALSE(HasPublicPassword(account));

  // Spaces, comments, quotes and escapes as an administrator may write them; [config_center]
  // over [client] when it comes later; other programs' groups are not read ([mysqld]'s user
  // is the server's system user).
  account = Parsed(
      "[mysqld]\n"
      "user = mysql\n"
      "  [ client ]  \n"
      "; a comment\n"
      "user = someone_else   # trailing comment\n"
      "password = 'p#ss w\\\"rd'\n"
      "loose_port = 3307\n"
      "ssl-ca = /etc/ca.pem\n"
      "[config_center]\n"
      "user\t=\tconfig_center\r\n"
      "host = localhost\n");
  EXPECT_EQ(account.user, "config_center");
  EXPECT_EQ(account.password, "p#ss w\"rd");
  EXPECT_EQ(account.port, 3307u);
  EXPECT_EQ(account.host, "localhost");
  // Escapes outside quotes too; an empty password is a password (an account may have none).
  EXPECT_EQ(Parsed("[client]\nuser=a\npassword=tab\\there\\s\\\\x\n").password, "tab\there \\x");
  EXPECT_EQ(Parsed("[client]\nuser=a\npassword=\n").password, "");
  // The public password in a file is still the public password.
  EXPECT_TRUE(HasPublicPassword(Parsed("[client]\nuser=robot\npassword=fernsTWIGS@qa\n")));
}

TEST(DbCredentials, FileThatCannotBeUsedIsRefusedWithWhy) {
  EXPECT_EQ(Refusal("[client]\npassword=x\n"), "no user in [client] or [config_center]");
  EXPECT_EQ(Refusal("[client]\nuser=a\n"), "no password in [client] or [config_center]");
  // Options outside the two groups count for nothing.
  EXPECT_EQ(Refusal("user=a\npassword=b\n[mysqld]\nuser=c\npassword=d\n"),
            "no user in [client] or [config_center]");
  EXPECT_EQ(Refusal("[client]\nuser=a\npassword=b\nport=70000\n"),
            "line 4: port is not a port number");
  EXPECT_EQ(Refusal("[client]\nuser=a\npassword=b\nport=33o6\n"),
            "line 4: port is not a port number");
  EXPECT_EQ(Refusal("[client]\nuser\npassword=b\n"), "line 2: user needs a value (user=...)");
  EXPECT_EQ(Refusal("[client\nuser=a\npassword=b\n"),
            "line 1: a group name without its closing ']'");
  EXPECT_EQ(Refusal("!include /etc/mysql/other.cnf\n[client]\nuser=a\npassword=b\n"),
            "line 1: includes are not read here; put the options in this file");
  EXPECT_EQ(Refusal(""), "no user in [client] or [config_center]");
}

class DbCredentialsFiles : public ::testing::Test {
protected:
  void SetUp() override {
    char dir_template[] = "/tmp/config_center_credentials.XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    dir_ = dir_template;
    const char* before = std::getenv(kCredentialsDirectoryVariable);
    if (before != nullptr) saved_ = before;
  }
  void TearDown() override {
    if (saved_) {
      setenv(kCredentialsDirectoryVariable, saved_->c_str(), 1);
    } else {
      unsetenv(kCredentialsDirectoryVariable);
    }
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string Write(const std::string& text, mode_t mode) {
    std::string path = dir_ + "/" + kCredentialName;
    std::ofstream(path) << text;
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }
  std::string dir_;
  std::optional<std::string> saved_;
};

TEST_F(DbCredentialsFiles, TheNodeTakesItsOwnAccountWhenTheRobotHasOne) {
  DbAccount account;
  std::string error;
  // No credentials directory (the robot was not set up): the public account.
  unsetenv(kCredentialsDirectoryVariable);
  ASSERT_TRUE(FindNodeAccount(&account, &error)) << error;
  EXPECT_EQ(account.user, "robot");
  EXPECT_EQ(account.source, kFixedInProgram);
  EXPECT_TRUE(HasPublicPassword(account));
  // Credentials of the service, but none for the database: the same.
  setenv(kCredentialsDirectoryVariable, dir_.c_str(), 1);
  account = DbAccount{};
  ASSERT_TRUE(FindNodeAccount(&account, &error)) << error;
  EXPECT_TRUE(HasPublicPassword(account));

  // The file, as systemd hands it over (read-only to its owner).
  const std::string path = Write("[client]\nuser=config_center\npassword=s3cret\n", 0400);
  ASSERT_TRUE(FindNodeAccount(&account, &error)) << error;
  EXPECT_EQ(account.user, "config_center");
  EXPECT_EQ(account.password, "s3cret");
  EXPECT_EQ(account.host, "127.0.0.1");
  EXPECT_EQ(account.source, path);
  EXPECT_FALSE(HasPublicPassword(account));
}

TEST_F(DbCredentialsFiles, AFileThatIsThereButUnusableEndsTheSearch) {
  setenv(kCredentialsDirectoryVariable, dir_.c_str(), 1);
  DbAccount account;
  std::string error;
  // Not a fall-back to the public account: the set-up broke, and the node must say so.
  const std::string path = Write("[client]\npassword=s3cret\n", 0600);
  EXPECT_FALSE(FindNodeAccount(&account, &error));
  EXPECT_EQ(error, path + ", no user in [client] or [config_center]");
  EXPECT_EQ(account.user, "");

  // Readable by every user: a secret no longer.
  Write("[client]\nuser=config_center\npassword=s3cret\n", 0644);
  EXPECT_FALSE(FindNodeAccount(&account, &error));
  EXPECT_NE(error.find(path + " is readable by every user (mode 0644)"), std::string::npos)
      << error;
  // Readable by its group (the service's own, as LoadCredential= may give it): accepted.
  Write("[client]\nuser=config_center\npassword=s3cret\n", 0640);
  EXPECT_TRUE(FindNodeAccount(&account, &error)) << error;

  // A file that cannot be opened (a directory in its place).
  ASSERT_EQ(std::remove(path.c_str()), 0);
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  EXPECT_FALSE(ReadAccountFile(path, &account, &error));
  EXPECT_EQ(error, path + ": not a file");
  EXPECT_FALSE(ReadAccountFile(dir_ + "/missing.cnf", &account, &error));
  EXPECT_EQ(error, dir_ + "/missing.cnf: No such file or directory");
}

}  // namespace
}  // namespace config_center
