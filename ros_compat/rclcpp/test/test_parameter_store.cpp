// A node's parameters held in-process, with the rules a rclcpp Humble node applies: declared
// types, undeclared names, removal by a value that is not set, on-set callbacks, read-only
// descriptors and overrides. The service handlers are called directly here; the same
// handlers over DDS are exercised by the node tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <rcl_interfaces/msg/parameter_type.hpp>

#include "rclcpp/detail/parameter_store.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/parameter.hpp"

using rcl_interfaces::msg::ParameterDescriptor;
using rcl_interfaces::msg::SetParametersResult;
using rclcpp::Parameter;
using rclcpp::ParameterValue;
using rclcpp::detail::ParameterStore;
namespace ex = rclcpp::exceptions;

namespace {

rcl_interfaces::srv::SetParameters::Request request_of(const std::vector<Parameter>& ps) {
  rcl_interfaces::srv::SetParameters::Request req;
  for (const auto& p : ps) req.parameters.push_back(p.to_parameter_msg());
  return req;
}

rcl_interfaces::srv::GetParameters::Response get_remote(ParameterStore& store,
                                                        const std::vector<std::string>& names) {
  rcl_interfaces::srv::GetParameters::Request req;
  req.names = names;
  rcl_interfaces::srv::GetParameters::Response resp;
  store.handle_get_parameters(req, resp);
  return resp;
}

const ParameterDescriptor kPlain;

// What the node receives for a withdrawn item: a parameter whose value is not set.
Parameter unset(const std::string& name) { return Parameter(name); }

TEST(ParameterStore, DeclaredTypesAreEnforcedPerParameter) {
  ParameterStore store(false, {});
  EXPECT_EQ(store.declare_parameter("count", ParameterValue(5), kPlain, false).get<int64_t>(), 5);
  store.declare_parameter("text", ParameterValue("a"), kPlain, false);

  rcl_interfaces::srv::SetParameters::Response resp;
  store.handle_set_parameters(
      request_of({Parameter("count", "12"), Parameter("text", "b"), Parameter("count", 7)}), resp);
  ASSERT_EQ(resp.results.size(), 3u);
  EXPECT_FALSE(resp.results[0].successful);
  EXPECT_EQ(resp.results[0].reason,
            "Wrong parameter type, parameter {count} is of type {integer}, setting it to "
            "{string} is not allowed.");
  EXPECT_TRUE(resp.results[1].successful);
  EXPECT_TRUE(resp.results[2].successful);
  EXPECT_EQ(store.get_parameter("count").as_int(), 7);
  EXPECT_EQ(store.get_parameter("text").as_string(), "b");

  // An integer is not silently widened to double either.
  store.declare_parameter("ratio", ParameterValue(0.5), kPlain, false);
  EXPECT_FALSE(store.set_parameters({Parameter("ratio", 1)})[0].successful);

  // Dynamic typing lets a declared parameter change type.
  ParameterDescriptor dynamic;
  dynamic.dynamic_typing = true;
  store.declare_parameter("any", ParameterValue(1), dynamic, false);
  EXPECT_TRUE(store.set_parameters({Parameter("any", "now text")})[0].successful);
  EXPECT_EQ(store.get_parameter("any").get_type(), rclcpp::PARAMETER_STRING);

  EXPECT_THROW(store.declare_parameter("count", ParameterValue(1), kPlain, false),
               ex::ParameterAlreadyDeclaredException);
  EXPECT_THROW(store.declare_parameter("", ParameterValue(1), kPlain, false),
               ex::InvalidParametersException);
}

TEST(ParameterStore, UndeclaredNamesWhenNotAllowed) {
  ParameterStore store(false, {});
  store.declare_parameter("known", ParameterValue("v"), kPlain, false);

  try {
    store.set_parameters({Parameter("ghost", "x")});
    FAIL() << "set of an undeclared parameter did not throw";
  } catch (const ex::ParameterNotDeclaredException& e) {
    EXPECT_STREQ(e.what(), "parameter 'ghost' cannot be set because it was not declared");
  }
  rcl_interfaces::srv::SetParameters::Response resp;
  store.handle_set_parameters(request_of({Parameter("ghost", "x"), Parameter("known", "w")}), resp);
  ASSERT_EQ(resp.results.size(), 2u);
  EXPECT_FALSE(resp.results[0].successful);
  EXPECT_EQ(resp.results[0].reason, "parameter 'ghost' cannot be set because it was not declared");
  EXPECT_TRUE(resp.results[1].successful);
  EXPECT_FALSE(store.has_parameter("ghost"));

  EXPECT_THROW(store.get_parameter("ghost"), ex::ParameterNotDeclaredException);
  Parameter out;
  EXPECT_FALSE(store.get_parameter("ghost", out));
  ASSERT_TRUE(store.get_parameter("known", out));
  EXPECT_EQ(out.as_string(), "w");

  // Known names answer in request order; one unknown name empties the answer, as rclcpp's
  // parameter service does.
  auto known = get_remote(store, {"known", "known"});
  ASSERT_EQ(known.values.size(), 2u);
  EXPECT_EQ(known.values[1].string_value, "w");
  EXPECT_TRUE(get_remote(store, {"known", "ghost"}).values.empty());
}

TEST(ParameterStore, UndeclaredNamesWhenAllowed) {
  ParameterStore store(true, {});
  EXPECT_TRUE(store.set_parameters({Parameter("made", "x")})[0].successful);
  EXPECT_EQ(store.get_parameter("made").as_string(), "x");
  // Created by a set means dynamically typed.
  EXPECT_TRUE(store.set_parameters({Parameter("made", 3)})[0].successful);
  EXPECT_EQ(store.get_parameter("made").as_int(), 3);

  EXPECT_EQ(store.get_parameter("never").get_type(), rclcpp::PARAMETER_NOT_SET);
  const auto resp = get_remote(store, {"never", "made"});
  ASSERT_EQ(resp.values.size(), 2u);
  EXPECT_EQ(resp.values[0].type, rcl_interfaces::msg::ParameterType::PARAMETER_NOT_SET);
  EXPECT_EQ(resp.values[1].integer_value, 3);
}

TEST(ParameterStore, ValueNotSetRemovesOnlyDynamicParameters) {
  ParameterStore store(true, {});
  store.declare_parameter("typed", ParameterValue(1), kPlain, false);
  store.set_parameters({Parameter("implicit", "x")});

  auto r = store.set_parameters({unset("typed"), unset("implicit")});
  EXPECT_FALSE(r[0].successful);
  EXPECT_EQ(r[0].reason, "cannot undeclare a statically typed parameter");
  EXPECT_TRUE(r[1].successful);
  EXPECT_TRUE(store.has_parameter("typed"));
  EXPECT_EQ(store.get_parameter("typed").as_int(), 1);
  EXPECT_FALSE(store.has_parameter("implicit"));

  ParameterStore strict(false, {});
  strict.declare_parameter("typed", ParameterValue("s"), kPlain, false);
  rcl_interfaces::srv::SetParameters::Response resp;
  strict.handle_set_parameters(request_of({unset("typed"), unset("absent")}), resp);
  ASSERT_EQ(resp.results.size(), 2u);
  EXPECT_FALSE(resp.results[0].successful);
  EXPECT_FALSE(resp.results[1].successful);
  EXPECT_EQ(resp.results[1].reason, "parameter 'absent' cannot be set because it was not declared");
  EXPECT_THROW(strict.undeclare_parameter("typed"), ex::InvalidParameterTypeException);
}

TEST(ParameterStore, OnSetCallbacksRunBeforeTheChangeAndCanRefuse) {
  ParameterStore store(false, {});
  store.declare_parameter("p", ParameterValue("old"), kPlain, false);

  std::vector<std::string> calls;
  std::string seen_during_callback;
  auto first = store.add_on_set_parameters_callback([&](const std::vector<Parameter>& ps) {
    calls.push_back("first");
    seen_during_callback = store.get_parameter("p").as_string();
    SetParametersResult r;
    r.successful = ps[0].as_string() != "forbidden";
    if (!r.successful) r.reason = "forbidden by policy";
    return r;
  });
  auto second = store.add_on_set_parameters_callback([&](const std::vector<Parameter>& ps) {
    calls.push_back("second:" + ps[0].as_string());
    SetParametersResult r;
    r.successful = true;
    return r;
  });

  EXPECT_TRUE(store.set_parameters({Parameter("p", "new")})[0].successful);
  EXPECT_EQ(calls, (std::vector<std::string>{"second:new", "first"}));  // newest first
  EXPECT_EQ(seen_during_callback, "old");

  calls.clear();
  auto refused = store.set_parameters({Parameter("p", "forbidden")});
  EXPECT_FALSE(refused[0].successful);
  EXPECT_EQ(refused[0].reason, "forbidden by policy");
  EXPECT_EQ(store.get_parameter("p").as_string(), "new");

  // A type refusal is decided before any callback sees the value.
  calls.clear();
  EXPECT_FALSE(store.set_parameters({Parameter("p", 1)})[0].successful);
  EXPECT_TRUE(calls.empty());

  // Declaring runs the callbacks too.
  EXPECT_THROW(store.declare_parameter("q", ParameterValue("forbidden"), kPlain, false),
               ex::InvalidParameterValueException);
  EXPECT_FALSE(store.has_parameter("q"));

  // A dropped handle unregisters its callback; removal of an unknown handle throws.
  first.reset();
  calls.clear();
  EXPECT_TRUE(store.set_parameters({Parameter("p", "forbidden")})[0].successful);
  EXPECT_EQ(calls, (std::vector<std::string>{"second:forbidden"}));
  store.remove_on_set_parameters_callback(second.get());
  EXPECT_THROW(store.remove_on_set_parameters_callback(second.get()), std::runtime_error);
}

TEST(ParameterStore, CallbackCannotModifyParameters) {
  ParameterStore store(false, {});
  store.declare_parameter("p", ParameterValue(1), kPlain, false);
  bool threw = false;
  auto h = store.add_on_set_parameters_callback([&](const std::vector<Parameter>&) {
    try {
      store.set_parameters({Parameter("p", 5)});
    } catch (const ex::ParameterModifiedInCallbackException&) {
      threw = true;
    }
    SetParametersResult r;
    r.successful = true;
    return r;
  });
  EXPECT_TRUE(store.set_parameters({Parameter("p", 2)})[0].successful);
  EXPECT_TRUE(threw);
  EXPECT_EQ(store.get_parameter("p").as_int(), 2);
  // The guard is released again after the set.
  EXPECT_TRUE(store.set_parameters({Parameter("p", 3)})[0].successful);
}

TEST(ParameterStore, AtomicSetIsAllOrNothing) {
  ParameterStore store(true, {});
  store.declare_parameter("a", ParameterValue(1), kPlain, false);
  store.declare_parameter("b", ParameterValue("x"), kPlain, false);
  const auto r =
      store.set_parameters_atomically({Parameter("a", 2), Parameter("new", 1), Parameter("b", 3)});
  EXPECT_FALSE(r.successful);
  EXPECT_EQ(store.get_parameter("a").as_int(), 1);
  EXPECT_FALSE(store.has_parameter("new"));
  EXPECT_TRUE(store.set_parameters_atomically({Parameter("a", 2), Parameter("b", "y")}).successful);
  EXPECT_EQ(store.get_parameter("a").as_int(), 2);
}

TEST(ParameterStore, DescriptorsOverridesAndRanges) {
  ParameterStore store(
      false, {Parameter("from_cli", "cli"), Parameter("bad_override", 3), Parameter("skip", 9)});
  EXPECT_EQ(store.declare_parameter("from_cli", ParameterValue("default"), kPlain, false)
                .get<std::string>(),
            "cli");
  EXPECT_THROW(store.declare_parameter("bad_override", ParameterValue("text"), kPlain, false),
               ex::InvalidParameterTypeException);
  EXPECT_EQ(store.declare_parameter("skip", ParameterValue(1), kPlain, true).get<int64_t>(), 1);

  ParameterDescriptor ro;
  ro.read_only = true;
  store.declare_parameter("fixed", ParameterValue("v"), ro, false);
  const auto r = store.set_parameters({Parameter("fixed", "w")});
  EXPECT_FALSE(r[0].successful);
  EXPECT_EQ(r[0].reason, "parameter 'fixed' cannot be set because it is read-only");
  EXPECT_THROW(store.undeclare_parameter("fixed"), ex::ParameterImmutableException);

  ParameterDescriptor ranged;
  ranged.integer_range.resize(1);
  ranged.integer_range[0].from_value = 0;
  ranged.integer_range[0].to_value = 10;
  ranged.integer_range[0].step = 5;
  store.declare_parameter("level", ParameterValue(0), ranged, false);
  EXPECT_TRUE(store.set_parameters({Parameter("level", 5)})[0].successful);
  EXPECT_FALSE(store.set_parameters({Parameter("level", 7)})[0].successful);
  EXPECT_FALSE(store.set_parameters({Parameter("level", 15)})[0].successful);
  EXPECT_EQ(store.get_parameter("level").as_int(), 5);

  // Declared with a type but no value: reading it before a set is an error.
  store.declare_parameter("later", rclcpp::PARAMETER_STRING, kPlain, false);
  EXPECT_THROW(store.get_parameter("later"), ex::ParameterUninitializedException);
  EXPECT_FALSE(store.set_parameters({Parameter("later", 1)})[0].successful);
  EXPECT_TRUE(store.set_parameters({Parameter("later", "now")})[0].successful);
  EXPECT_EQ(store.get_parameter("later").as_string(), "now");
}

TEST(ParameterValueAndParameter, MessagesTextAndTypedAccess) {
  const std::vector<Parameter> all = {
      Parameter("n"),
      Parameter("b", true),
      Parameter("i", 42),
      Parameter("d", 1.5),
      Parameter("s", std::string("with\0nul", 8)),
      Parameter("ba", std::vector<uint8_t>{1, 255}),
      Parameter("bb", std::vector<bool>{true, false}),
      Parameter("ia", std::vector<int64_t>{-1, 2}),
      Parameter("da", std::vector<double>{0.5}),
      Parameter("sa", std::vector<std::string>{"x", "y"}),
  };
  const std::vector<std::string> text = {
      "not set",  "true",          "42",      "1.500000", std::string("with\0nul", 8),
      "[1, 255]", "[true, false]", "[-1, 2]", "[0.5]",    "[x, y]"};
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(static_cast<size_t>(all[i].get_type()), i);
    EXPECT_EQ(Parameter::from_parameter_msg(all[i].to_parameter_msg()), all[i]);
    EXPECT_EQ(all[i].value_to_string(), text[i]);
  }
  EXPECT_EQ(all[6].get_type_name(), "bool_array");

  // Only the field named by the type survives a message, so stray fields do not matter.
  auto msg = all[4].to_parameter_msg();
  msg.value.integer_value = 99;
  EXPECT_EQ(Parameter::from_parameter_msg(msg), all[4]);
  EXPECT_EQ(all[4].get_value_message().integer_value, 0);

  msg.value.type = 42;
  EXPECT_THROW(Parameter::from_parameter_msg(msg), std::runtime_error);
  EXPECT_THROW(all[2].as_string(), rclcpp::ParameterTypeException);
  EXPECT_THROW(all[2].get_value<std::string>(), ex::InvalidParameterTypeException);
  EXPECT_EQ(all[2].get_value<int>(), 42);
  EXPECT_EQ(all[2].get_parameter_value().get<rclcpp::PARAMETER_INTEGER>(), 42);
}

}  // namespace
