#include "bench_node/bench_items.hpp"

#include <cstdio>
#include <filesystem>

#include "support/config_files.hpp"

namespace config_center::bench {

namespace {

constexpr int kDirectories = 20;
constexpr size_t kFileSize = 1024;

std::string FileContents(int i) {
  std::string contents = "# bench item " + std::to_string(i) + "\n";
  contents.resize(kFileSize - 1, static_cast<char>('a' + i % 26));
  contents += '\n';
  return contents;
}

}  // namespace

Items LoadItems(test::AdminDb& db, const Options& o) {
  Items items;
  db.ResetTables();
  test::RemoveConfigs();
  // The node writes into existing directories only; a user creates them beforehand.
  for (int d = 0; d < kDirectories; ++d) {
    char dir[32];
    std::snprintf(dir, sizeof dir, "dir%02d", d);
    std::filesystem::create_directories(std::string(test::kConfigs) + dir);
  }
  for (int i = 0; i < o.files; ++i) {
    char name[48];
    std::snprintf(name, sizeof name, "dir%02d/item%04d.yaml", i % kDirectories, i);
    items.files.emplace_back(name, FileContents(i));
  }
  db.Exec("START TRANSACTION");
  test::ItemRowsInsert rows(db);
  for (const auto& [name, contents] : items.files) rows.Add(name, contents, "", 2);
  const int per_node = o.params / kTargetNodes;
  for (int n = 0; n < kTargetNodes; ++n) {
    for (int p = 0; p < per_node; ++p) {
      rows.Add("p" + std::to_string(p), "start value " + std::to_string(p),
               "bench_target_" + std::to_string(n), 1);
    }
  }
  rows.Flush();
  db.Exec("COMMIT");
  items.latency_file_id = db.InsertItem("global_config", kLatencyFile, "start", "", 2);
  items.latency_param_id = db.InsertItem("global_config", kLatencyParam, "start", kLatencyNode, 1);
  return items;
}

std::string LatencyParamLine(const std::string& value) {
  return std::string("set ") + kLatencyNode + "." + kLatencyParam + " type=string value=\"" +
         value + "\"\n";
}

}  // namespace config_center::bench
