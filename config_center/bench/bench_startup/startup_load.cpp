#include "bench_startup/startup_load.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "support/config_files.hpp"

namespace config_center::bench {

namespace {
constexpr size_t kFileSize = 1024;
}  // namespace

std::string LoadFileName(const Load& load, int i) {
  char name[48];
  std::snprintf(name, sizeof name, "dir%02d/item%05d.yaml", i % load.directories, i);
  return name;
}

std::string LoadFileContents(int i) {
  std::string contents = "# start-up item " + std::to_string(i) + "\n";
  contents.resize(kFileSize - 1, static_cast<char>('a' + i % 26));
  contents += '\n';
  return contents;
}

std::vector<std::string> LoadDirectories(const Load& load) {
  std::vector<std::string> dirs;
  for (int d = 0; d < load.directories; ++d) {
    char dir[16];
    std::snprintf(dir, sizeof dir, "dir%02d", d);
    dirs.push_back(dir);
  }
  return dirs;
}

std::string TargetBaseName(int p) { return "startup_target_" + std::to_string(p); }

std::string TargetNodeName(const Load& load, int p, int n) {
  return load.nodes_per_process == 1 ? TargetBaseName(p)
                                     : TargetBaseName(p) + "_" + std::to_string(n);
}

std::string ParamValue(int i) { return "start value " + std::to_string(i); }

void LoadTables(test::AdminDb& db, const Load& load) {
  db.ResetTables();
  test::RemoveConfigs();
  for (const std::string& dir : LoadDirectories(load)) {
    std::filesystem::create_directories(std::string(test::kConfigs) + dir);
  }
  db.Exec("START TRANSACTION");
  test::ItemRowsInsert rows(db);
  for (int i = 0; i < load.files; ++i) rows.Add(LoadFileName(load, i), LoadFileContents(i), "", 2);
  for (int p = 0; p < load.processes; ++p) {
    for (int n = 0; n < load.nodes_per_process; ++n) {
      for (int i = 0; i < load.params_per_node; ++i) {
        rows.Add("p" + std::to_string(i), ParamValue(i), TargetNodeName(load, p, n), 1);
      }
    }
  }
  rows.Flush();
  db.Exec("COMMIT");
}

std::vector<std::string> WriteParamFiles(const Load& load, const std::string& dir) {
  std::filesystem::create_directories(dir);
  std::vector<std::string> paths;
  for (int p = 0; p < load.processes; ++p) {
    for (int n = 0; n < load.nodes_per_process; ++n) {
      const std::string node = TargetNodeName(load, p, n);
      const std::string path = dir + "/" + node + ".yaml";
      std::ofstream out(path);
      out << "/" << node << ":\n  ros__parameters:\n";
      for (int i = 0; i < load.params_per_node; ++i) {
        out << "    p" << i << ": \"" << ParamValue(i) << "\"\n";
      }
      if (!out.flush()) throw std::runtime_error("cannot write " + path);
      paths.push_back(path);
    }
  }
  return paths;
}

}  // namespace config_center::bench
