#ifndef CONFIG_CENTER_RECORDS_HPP_
#define CONFIG_CENTER_RECORDS_HPP_

#include <cstdint>
#include <string>
#include <tuple>

namespace config_center {

// What the query layer knows of a record type: kTypeName, and kMembers, the record's members
// in declaration order. A result's columns fill these members by position.
template <typename T>
struct RecordTraits;

enum ConfigType : int32_t { kParam = 1, kFile = 2 };

// One configuration item of global_config or custom_config.
struct ConfigData {
  std::string name;
  std::string value;
  std::string node_name;
  int32_t config_type = 0;
};

template <>
struct RecordTraits<ConfigData> {
  static constexpr const char* kTypeName = "ConfigData";
  static constexpr auto kMembers = std::make_tuple(
      &ConfigData::name, &ConfigData::value, &ConfigData::node_name, &ConfigData::config_type);
};

// An item of global_config or custom_config without its value: where it is and how large
// its value is (start-up reads values a part at a time).
struct ItemKeyRow {
  int64_t id = 0;
  std::string name;
  int64_t value_bytes = 0;
  std::string node_name;
  int32_t config_type = 0;
};

template <>
struct RecordTraits<ItemKeyRow> {
  static constexpr const char* kTypeName = "ItemKeyRow";
  static constexpr auto kMembers =
      std::make_tuple(&ItemKeyRow::id, &ItemKeyRow::name, &ItemKeyRow::value_bytes,
                      &ItemKeyRow::node_name, &ItemKeyRow::config_type);
};

// An item's value by its id, as a part of start-up reads it.
struct ItemValueRow {
  int64_t id = 0;
  std::string value;
};

template <>
struct RecordTraits<ItemValueRow> {
  static constexpr const char* kTypeName = "ItemValueRow";
  static constexpr auto kMembers = std::make_tuple(&ItemValueRow::id, &ItemValueRow::value);
};

// The highest change-log id; a NULL maximum (empty log) reads as 0.
struct IncrementId {
  int64_t id = 0;
};

template <>
struct RecordTraits<IncrementId> {
  static constexpr const char* kTypeName = "IncrementId";
  static constexpr auto kMembers = std::make_tuple(&IncrementId::id);
};

// One row of config_table_changes.
struct ConfigTableChangesData {
  int64_t id = 0;
  std::string name;
  std::string value;
  std::string node_name;
  std::string change_type;
  int32_t config_type = 0;
  int32_t deleted = 0;
};

template <>
struct RecordTraits<ConfigTableChangesData> {
  static constexpr const char* kTypeName = "ConfigTableChangesData";
  static constexpr auto kMembers = std::make_tuple(
      &ConfigTableChangesData::id, &ConfigTableChangesData::name, &ConfigTableChangesData::value,
      &ConfigTableChangesData::node_name, &ConfigTableChangesData::change_type,
      &ConfigTableChangesData::config_type, &ConfigTableChangesData::deleted);
};

}  // namespace config_center

#endif  // CONFIG_CENTER_RECORDS_HPP_
