#include "store/db_credentials.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace config_center {

namespace {

// An option file of a few lines; anything near this size is not one.
constexpr std::streamoff kMostBytes = std::streamoff{64} * 1024;

std::string_view Trim(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string_view::npos) return {};
  const size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

// The line without its comment: '#' outside quotes ends it, as in the MariaDB client.
std::string_view WithoutComment(std::string_view line) {
  char quote = 0;
  bool escaped = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if ((c == '\'' || c == '"') && !escaped) {
      if (quote == 0) {
        quote = c;
      } else if (quote == c) {
        quote = 0;
      }
    }
    if (quote == 0 && c == '#') return line.substr(0, i);
    escaped = quote != 0 && c == '\\' && !escaped;
  }
  return line;
}

// A value as the client reads it: one pair of enclosing quotes dropped, then the escapes
// \b \t \n \r \s (a space) \\ \' \" turned into their characters; any other backslash stays.
std::string Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    const char next = value[++i];
    switch (next) {
      case 'b':
        out += '\b';
        break;
      case 't':
        out += '\t';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 's':
        out += ' ';
        break;
      case '\\':
      case '\'':
      case '"':
        out += next;
        break;
      default:
        out += '\\';
        out += next;
    }
  }
  return out;
}

// The option's name as the client compares it: '_' and '-' alike, "loose-" dropped.
std::string OptionName(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c == '_') c = '-';
  }
  if (out.rfind("loose-", 0) == 0) out.erase(0, 6);
  return out;
}

bool ParsePort(const std::string& text, unsigned int* port) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  if (value > 65535) return false;
  *port = static_cast<unsigned int>(value);
  return true;
}

}  // namespace

bool ParseAccountOptions(std::string_view text, DbAccount* account, std::string* error) {
  DbAccount read = kNodeAccount;
  read.user.clear();
  read.password.clear();
  bool has_password = false;
  bool in_group = false;  // in [client] or [config_center]
  size_t line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const size_t end = text.find('\n');
    const std::string_view raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::string_view line = Trim(WithoutComment(raw));
    const auto fail = [&](const std::string& what) {
      *error = "line " + std::to_string(line_number) + ": " + what;
      return false;
    };
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '!')
      return fail("includes are not read here; put the options in this file");
    if (line.front() == '[') {
      if (line.back() != ']') return fail("a group name without its closing ']'");
      const std::string_view group = Trim(line.substr(1, line.size() - 2));
      in_group = group == "client" || group == "config_center";
      continue;
    }
    const std::string_view option = line;
    if (!in_group) continue;
    const size_t equals = option.find('=');
    const std::string name = OptionName(Trim(option.substr(0, equals)));
    const bool has_value = equals != std::string_view::npos;
    const std::string value = has_value ? Unquote(Trim(option.substr(equals + 1))) : "";
    if (name == "user" || name == "password" || name == "host" || name == "port") {
      if (!has_value) {
        std::string what = name;
        what += " needs a value (";
        what += name;
        what += "=...)";
        return fail(what);
      }
    }
    if (name == "user") {
      read.user = value;
    } else if (name == "password") {
      read.password = value;
      has_password = true;
    } else if (name == "host") {
      read.host = value;
    } else if (name == "port") {
      if (!ParsePort(value, &read.port)) return fail("port is not a port number");
    }
  }
  if (read.user.empty()) {
    *error = "no user in [client] or [config_center]";
    return false;
  }
  if (!has_password) {
    *error = "no password in [client] or [config_center]";
    return false;
  }
  if (read.host.empty()) read.host = kNodeAccount.host;
  read.source.clear();
  *account = std::move(read);
  return true;
}

bool ReadAccountFile(const std::string& path, DbAccount* account, std::string* error) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    *error = path + ": not a file";
    return false;
  }
  // A password every user can read is no better than the one in the program.
  if ((status.st_mode & S_IROTH) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned int>(status.st_mode & 07777));
    *error = path + " is readable by every user (mode " + mode +
             "): keep it to its owner (chmod 0600), and give the account a new password "
             "(deploy/setup_robot.sh)";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad() || text.tellp() > kMostBytes) {
    *error = path + ": not an option file of the node's account (unreadable, or over 64 KiB)";
    return false;
  }
  if (!ParseAccountOptions(text.str(), account, error)) {
    *error = path + ", " + *error;
    return false;
  }
  account->source = path;
  return true;
}

bool FindNodeAccount(DbAccount* account, std::string* error) {
  const char* directory = std::getenv(kCredentialsDirectoryVariable);
  if (directory == nullptr || *directory == '\0') {
    *account = kNodeAccount;
    return true;
  }
  const std::string path = std::string(directory) + "/" + kCredentialName;
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 && errno == ENOENT) {
    // Credentials for something else, none for the database.
    *account = kNodeAccount;
    return true;
  }
  return ReadAccountFile(path, account, error);
}

}  // namespace config_center
