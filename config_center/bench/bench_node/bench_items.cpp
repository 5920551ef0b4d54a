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
  // One transaction, a hundred rows a statement: loading is not what is measured.
  db.Exec("START TRANSACTION");
  std::string insert;
  auto flush = [&] {
    if (insert.empty()) return;
    db.Exec("INSERT INTO global_config (name, value, node_name, config_type) VALUES " + insert);
    insert.clear();
  };
  auto add = [&](const std::string& name, const std::string& value, const std::string& node,
                 int type) {
    if (!insert.empty()) insert += ",";
    insert += "(" + db.Quote(name) + "," + db.Quote(value) + "," + db.Quote(node) + "," +
              std::to_string(type) + ")";
    if (insert.size() > size_t{64} * 1024) flush();
  };
  for (const auto& [name, contents] : items.files) add(name, contents, "", 2);
  const int per_node = o.params / kTargetNodes;
  for (int n = 0; n < kTargetNodes; ++n) {
    for (int p = 0; p < per_node; ++p) {
      add("p" + std::to_string(p), "start value " + std::to_string(p),
          "bench_target_" + std::to_string(n), 1);
    }
  }
  flush();
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
