#include "bench_startup/peers.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rclcpp/parameter_map.hpp>
#include <rclcpp/rclcpp.hpp>

#include "bench_node/reference_processes.hpp"
#include "support/config_files.hpp"
#include "support/percentile.hpp"

namespace config_center::bench {

namespace {

constexpr char kFileWriter[] = "--peer-file-writer";
constexpr char kParamLoader[] = "--peer-param-loader";
constexpr char kRoundTrips[] = "--floor-round-trips";

bool WriteAndSync(const std::string& path, const std::string& contents) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok =
      ::write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size()) &&
      ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

bool SyncDirectory(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

[[noreturn]] void RunFileWriter(int files, int directories) {
  Load load;
  load.files = files;
  load.directories = directories;
  bool ok = true;
  for (int i = 0; i < files; ++i) {
    ok = WriteAndSync(std::string(test::kConfigs) + LoadFileName(load, i), LoadFileContents(i)) &&
         ok;
  }
  for (const std::string& dir : LoadDirectories(load)) {
    ok = SyncDirectory(std::string(test::kConfigs) + dir) && ok;
  }
  std::exit(ok ? 0 : 1);
}

// As ros2param's load_parameter_file and call_set_parameters: the file's parameters for the
// node, a client of its set_parameters service, a wait for the service, one request.
[[noreturn]] void RunParamLoader(int argc, char** argv, int first) {
  using rcl_interfaces::srv::SetParameters;
  rclcpp::init(argc, argv, rclcpp::InitOptions(), rclcpp::SignalHandlerOptions::None);
  auto node = std::make_shared<rclcpp::Node>("startup_param_loader");
  bool ok = true;
  for (int i = first; i < argc; ++i) {
    const std::string path = argv[i];
    // The node's name is the file's, as WriteParamFiles writes them.
    const std::string base = path.substr(path.rfind('/') + 1);
    const std::string remote = "/" + base.substr(0, base.size() - 5);
    const rclcpp::ParameterMap map = rclcpp::parameter_map_from_yaml_file(path);
    auto request = std::make_shared<SetParameters::Request>();
    if (const auto own = map.find(remote); own != map.end()) {
      for (const rclcpp::Parameter& parameter : own->second) {
        request->parameters.push_back(parameter.to_parameter_msg());
      }
    }
    auto client = node->create_client<SetParameters>(remote + "/set_parameters");
    if (request->parameters.empty() || !client->wait_for_service(std::chrono::seconds(5))) {
      std::fprintf(stderr, "nothing to load into %s, or no service\n", remote.c_str());
      ok = false;
      continue;
    }
    auto answer = client->async_send_request(request);
    if (rclcpp::spin_until_future_complete(node, answer, std::chrono::seconds(10)) !=
        rclcpp::FutureReturnCode::SUCCESS) {
      std::fprintf(stderr, "%s did not answer\n", remote.c_str());
      ok = false;
    }
  }
  node.reset();
  rclcpp::shutdown();
  std::exit(ok ? 0 : 1);
}

[[noreturn]] void RunRoundTrips(int argc, char** argv, const std::string& target, int params,
                                int count) {
  using rcl_interfaces::srv::SetParameters;
  rclcpp::init(argc, argv, rclcpp::InitOptions(), rclcpp::SignalHandlerOptions::None);
  auto node = std::make_shared<rclcpp::Node>("startup_round_trips");
  auto client = node->create_client<SetParameters>("/" + target + "/set_parameters");
  if (!client->wait_for_service(std::chrono::seconds(10))) std::exit(1);
  auto request = std::make_shared<SetParameters::Request>();
  for (int i = 0; i < params; ++i) {
    rcl_interfaces::msg::Parameter parameter;
    parameter.name = "p" + std::to_string(i);
    parameter.value.type = rcl_interfaces::msg::ParameterType::PARAMETER_STRING;
    parameter.value.string_value = ParamValue(i);
    request->parameters.push_back(parameter);
  }
  std::vector<double> ms;
  constexpr int kUnmeasured = 5;
  for (int i = 0; i < count + kUnmeasured; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    auto answer = client->async_send_request(request);
    if (rclcpp::spin_until_future_complete(node, answer, std::chrono::seconds(5)) !=
        rclcpp::FutureReturnCode::SUCCESS) {
      std::exit(1);
    }
    const auto t1 = std::chrono::steady_clock::now();
    if (i >= kUnmeasured) ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  std::printf("p50_ms=%.4f\n", test::Percentile(ms, 50));
  std::fflush(stdout);
  client.reset();
  node.reset();
  rclcpp::shutdown();
  std::exit(0);
}

}  // namespace

std::unique_ptr<test::Process> StartFileWriter(const Load& load) {
  return std::make_unique<test::Process>(std::vector<std::string>{
      SelfPath(), kFileWriter, std::to_string(load.files), std::to_string(load.directories)});
}

std::unique_ptr<test::Process> StartParamLoader(const std::vector<std::string>& yaml_files) {
  std::vector<std::string> argv{SelfPath(), kParamLoader};
  argv.insert(argv.end(), yaml_files.begin(), yaml_files.end());
  return std::make_unique<test::Process>(argv);
}

std::unique_ptr<test::Process> StartRoundTrips(const std::string& node, int params, int count) {
  return std::make_unique<test::Process>(std::vector<std::string>{
      SelfPath(), kRoundTrips, node, std::to_string(params), std::to_string(count)});
}

double RoundTripMs(test::Process& process) {
  if (!process.WaitFor("p50_ms=", std::chrono::seconds(30)) ||
      !process.WaitFor("\n", std::chrono::seconds(1))) {
    throw std::runtime_error("no round trips measured: " + process.Output());
  }
  const std::string output = process.Output();
  const size_t at = output.rfind("p50_ms=");
  process.Wait(std::chrono::seconds(5));
  return std::stod(output.substr(at + 7));
}

void RunPeerIfAsked(int argc, char** argv) {
  if (argc < 2) return;
  const std::string what = argv[1];
  if (what == kFileWriter && argc == 4) RunFileWriter(std::atoi(argv[2]), std::atoi(argv[3]));
  if (what == kParamLoader) RunParamLoader(argc, argv, 2);
  if (what == kRoundTrips && argc == 5) {
    RunRoundTrips(argc, argv, argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  }
}

}  // namespace config_center::bench
