// Fuzz target: a file item's name made into a path below the configs directory. A name that
// is taken must give a path that stays inside the directory and is the one name of its file
// there: walking its components lexically ("." stays, ".." goes up, empty ones vanish) gives
// back the same path, below the directory.
#include <limits.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "files/config_paths.hpp"

namespace {

constexpr char kDir[] = "/opt/velgar/configs/";

void Require(bool holds) {
  if (!holds) std::abort();
}

// The path as the kernel would walk it without links, or "" when it climbs above "/".
std::string Walked(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (parts.empty()) return "";
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string walked;
  for (const std::string& part : parts) walked += "/" + part;
  return walked;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  std::string path = "unset";
  std::string why;
  if (!config_center::ConfigFilePath(kDir, name, &path, &why)) {
    Require(!why.empty() && path == "unset");
    return 0;
  }
  Require(why.empty());
  Require(path == kDir + name);
  Require(path.find('\0') == std::string::npos);
  // Inside the directory, below it (never the directory itself), and in one spelling only.
  Require(Walked(path) == path);
  Require(path.size() > sizeof kDir - 1);
  for (size_t start = 0, end; start < name.size(); start = end + 1) {
    end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    Require(end - start >= 1 && end - start <= NAME_MAX);
  }
  return 0;
}
