// Names as rcl/rmw check and expand them: what is refused, with which error and text, and
// how ~, relative names and --ros-args remapping resolve.
#include <gtest/gtest.h>

#include <string>

#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rclcpp/rclcpp.hpp>

#include "process.hpp"

using SetParameters = rcl_interfaces::srv::SetParameters;

namespace {

class Names : public ::testing::Test {
protected:
  static void SetUpTestSuite() { test_support::use_private_domain(); }
  void TearDown() override { rclcpp::shutdown(); }
};

TEST_F(Names, InvalidServiceNamesThrowWithWhatAndWhere) {
  rclcpp::init(0, nullptr);
  auto node = std::make_shared<rclcpp::Node>("namer");
  struct Case {
    std::string name;
    std::string message;
    size_t index;
  };
  const Case cases[] = {
      {"/bad name/set_parameters", "must not contain characters other than", 4},
      {"//x/set_parameters", "must not contain repeated '/'", 1},
      {"//set_parameters", "must not contain repeated '/'", 1},
      {"", "must not be empty", 0},
      {"/x/", "must not end with a forward slash", 2},
      {"/x/9lives", "must not have a token that starts with a number", 3},
      {"a~b", "tilde", 1},
      {"/{oops", "unmatched", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      node->create_client<SetParameters>(c.name);
      ADD_FAILURE() << "no exception for '" << c.name << "'";
    } catch (const rclcpp::exceptions::InvalidServiceNameError& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find("Invalid service name: "), std::string::npos) << what;
      EXPECT_NE(what.find(c.message), std::string::npos) << what;
      EXPECT_EQ(e.invalid_index, c.index) << what;
      // The text points at the offending character under the quoted name.
      EXPECT_NE(what.find("\n   " + std::string(c.index, ' ') + "^"), std::string::npos) << what;
    }
  }
  EXPECT_THROW(node->create_service<SetParameters>("no spaces",
                                                   [](const std::shared_ptr<SetParameters::Request>,
                                                      std::shared_ptr<SetParameters::Response>) {}),
               rclcpp::exceptions::InvalidServiceNameError);
}

TEST_F(Names, NodeNamesAndNamespaces) {
  rclcpp::init(0, nullptr);
  EXPECT_THROW(rclcpp::Node("bad-name"), rclcpp::exceptions::InvalidNodeNameError);
  EXPECT_THROW(rclcpp::Node("1st"), rclcpp::exceptions::InvalidNodeNameError);
  EXPECT_THROW(rclcpp::Node(""), rclcpp::exceptions::InvalidNodeNameError);
  EXPECT_THROW(rclcpp::Node("n", "/a//b"), rclcpp::exceptions::InvalidNamespaceError);
  EXPECT_THROW(rclcpp::Node("n", "/a/"), rclcpp::exceptions::InvalidNamespaceError);

  // A relative namespace is made absolute; ~ and relative names expand against the node.
  auto node = std::make_shared<rclcpp::Node>("n", "robot/arm");
  EXPECT_STREQ(node->get_namespace(), "/robot/arm");
  EXPECT_STREQ(node->get_fully_qualified_name(), "/robot/arm/n");
  EXPECT_STREQ(node->create_client<SetParameters>("~/set_parameters")->get_service_name(),
               "/robot/arm/n/set_parameters");
  EXPECT_STREQ(node->create_client<SetParameters>("relative")->get_service_name(),
               "/robot/arm/relative");
  EXPECT_STREQ(node->create_client<SetParameters>("/absolute")->get_service_name(), "/absolute");
  EXPECT_STREQ(node->create_client<SetParameters>("{node}/x")->get_service_name(),
               "/robot/arm/n/x");
  auto root = std::make_shared<rclcpp::Node>("top");
  EXPECT_STREQ(root->get_fully_qualified_name(), "/top");
  EXPECT_STREQ(root->create_client<SetParameters>("~")->get_service_name(), "/top");
}

TEST_F(Names, RemappingFromTheCommandLine) {
  const char* argv[] = {"prog",        "--ros-args",
                        "-r",          "__ns:=/fleet",
                        "-r",          "one:__node:=first",
                        "--remap",     "old:=/new/place",
                        "-r",          "two:~/x:=~/y",
                        "--log-level", "debug",
                        "--",          "plain"};
  const int argc = sizeof(argv) / sizeof(argv[0]);
  rclcpp::init(argc, argv);
  EXPECT_EQ(rclcpp::remove_ros_arguments(argc, argv), (std::vector<std::string>{"prog", "plain"}));

  auto one = std::make_shared<rclcpp::Node>("one");
  auto two = std::make_shared<rclcpp::Node>("two");
  EXPECT_STREQ(one->get_fully_qualified_name(), "/fleet/first");  // node-prefixed rule
  EXPECT_STREQ(two->get_fully_qualified_name(), "/fleet/two");
  // "old" is matched after expansion, so it covers the node's relative name.
  EXPECT_STREQ(one->create_client<SetParameters>("old")->get_service_name(), "/new/place");
  EXPECT_STREQ(one->create_client<SetParameters>("/fleet/old")->get_service_name(), "/new/place");
  EXPECT_STREQ(one->create_client<SetParameters>("~/x")->get_service_name(), "/fleet/first/x");
  EXPECT_STREQ(two->create_client<SetParameters>("~/x")->get_service_name(), "/fleet/two/y");

  // Node-local arguments come first; use_global_arguments(false) ignores the command line.
  auto local = std::make_shared<rclcpp::Node>(
      "three", rclcpp::NodeOptions().arguments({"--ros-args", "-r", "__node:=mine"}));
  EXPECT_STREQ(local->get_fully_qualified_name(), "/fleet/mine");
  auto isolated =
      std::make_shared<rclcpp::Node>("four", rclcpp::NodeOptions().use_global_arguments(false));
  EXPECT_STREQ(isolated->get_fully_qualified_name(), "/four");
}

}  // namespace
