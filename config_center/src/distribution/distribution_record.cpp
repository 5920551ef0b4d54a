#include "distribution/distribution_record.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "disk/atomic_file.hpp"

namespace config_center {

namespace {

constexpr char kDefaultDirectory[] = "/var/lib/config_center";
constexpr char kHexDigits[] = "0123456789abcdef";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  std::string field;
  while (in >> field) fields.push_back(field);
  return fields;
}

}  // namespace

std::string DistributionRecord::DefaultDirectory() {
  const char* state = std::getenv("STATE_DIRECTORY");
  if (state == nullptr || *state == '\0') return kDefaultDirectory;
  const std::string directories = state;
  return directories.substr(0, directories.find(':'));
}

DistributionRecord::DistributionRecord(std::string directory)
    : directory_(std::move(directory)), path_(directory_ + "/" + kFileName) {}

std::string DistributionRecord::Escape(const std::string& field) {
  std::string out;
  for (const char c : field) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte >= 0x7f || c == '\\') {
      out += "\\x";
      out += kHexDigits[byte >> 4];
      out += kHexDigits[byte & 0xf];
    } else {
      out += c;
    }
  }
  // An empty field would vanish between the blanks.
  return out.empty() ? "\\e" : out;
}

bool DistributionRecord::Unescape(const std::string& field, std::string* out) {
  out->clear();
  if (field == "\\e") return true;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      *out += field[i];
      continue;
    }
    if (i + 3 >= field.size()) return false;
    if (field[i + 1] != 'x') return false;
    const int high = HexValue(field[i + 2]);
    const int low = HexValue(field[i + 3]);
    if (high < 0 || low < 0) return false;
    *out += static_cast<char>(high * 16 + low);
    i += 3;
  }
  return true;
}

bool DistributionRecord::Load(std::string* why) {
  files_.clear();
  params_.clear();
  changed_ = false;
  std::ifstream in(path_, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return true;
    *why = ErrnoText(("reading " + path_).c_str());
    return false;
  }
  std::string line;
  size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::vector<std::string> fields = Fields(line);
    std::string node;
    std::string name;
    bool parsed = false;
    if (fields.size() == 2 && fields[0] == "file") {
      parsed = Unescape(fields[1], &name);
      if (parsed) files_.insert(name);
    } else if (fields.size() == 3 && fields[0] == "param") {
      parsed = Unescape(fields[1], &node) && Unescape(fields[2], &name);
      if (parsed) params_.emplace(node, name);
    }
    if (!parsed) {
      *why = path_ + " line " + std::to_string(number) + " does not parse";
      files_.clear();
      params_.clear();
      return false;
    }
  }
  return true;
}

bool DistributionRecord::Save(std::string* why) {
  if (!changed_) return true;
  if (::mkdir(directory_.c_str(), 0700) != 0 && errno != EEXIST) {
    *why = ErrnoText(("mkdir " + directory_).c_str());
    return false;
  }
  std::string contents;
  for (const std::string& name : files_) contents += "file " + Escape(name) + "\n";
  for (const auto& [node, name] : params_) {
    contents += "param " + Escape(node) + " " + Escape(name) + "\n";
  }
  std::string error;
  if (WriteFileAtomically(path_, contents, &error) != WriteStep::kNone) {
    *why = "writing " + path_ + ": " + error;
    return false;
  }
  changed_ = false;
  return true;
}

void DistributionRecord::AddFile(const std::string& name) {
  changed_ = files_.insert(name).second || changed_;
}

void DistributionRecord::RemoveFile(const std::string& name) {
  changed_ = files_.erase(name) > 0 || changed_;
}

void DistributionRecord::AddParam(const std::string& node_name, const std::string& name) {
  changed_ = params_.emplace(node_name, name).second || changed_;
}

void DistributionRecord::RemoveParam(const std::string& node_name, const std::string& name) {
  changed_ = params_.erase({node_name, name}) > 0 || changed_;
}

}  // namespace config_center
