#ifndef CONFIG_CENTER_QUERY_HPP_
#define CONFIG_CENTER_QUERY_HPP_

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include <mysql.h>

#include "store/records.hpp"

namespace config_center {

// "select * from `<type_name>` " followed by the condition rule of ApplyCondition.
std::string BuildQuerySql(const std::string& type_name, const std::string& condition);

template <typename T>
std::string BuildQuerySql(const std::string& condition) {
  return BuildQuerySql(RecordTraits<T>::kTypeName, condition);
}

// A condition holding "select" (any case) replaces the whole text, lower-cased; one holding
// "limit" drops the where part; a non-empty condition is then appended with one blank.
void ApplyCondition(std::string& sql, const std::string& condition);

// Closes the statement in `slot` when the scope ends and clears the slot, so no closed handle
// is left behind. A failed close is reported on standard error.
class StatementGuard {
public:
  explicit StatementGuard(MYSQL_STMT*& slot) : slot_(slot) {}
  ~StatementGuard();
  StatementGuard(const StatementGuard&) = delete;
  StatementGuard& operator=(const StatementGuard&) = delete;

private:
  MYSQL_STMT*& slot_;
  int close_status_ = 0;
};

// One result column and the record member it fills.
struct ColumnBinding {
  enum class Kind { kText, kInt32, kInt64 };
  Kind kind;
  void* member;  // std::string*, int32_t* or int64_t*, as kind says
};

template <typename M>
constexpr ColumnBinding::Kind KindOfMember() {
  if constexpr (std::is_same_v<M, std::string>) {
    return ColumnBinding::Kind::kText;
  } else if constexpr (std::is_same_v<M, int32_t>) {
    return ColumnBinding::Kind::kInt32;
  } else {
    static_assert(std::is_same_v<M, int64_t>, "record members are texts, int32_t or int64_t");
    return ColumnBinding::Kind::kInt64;
  }
}

// The columns of a query for `record`'s type, each bound to that member of `record`.
template <typename T>
std::vector<ColumnBinding> BindColumns(T& record) {
  std::vector<ColumnBinding> columns;
  std::apply(
      [&](auto... members) {
        (columns.push_back({KindOfMember<std::remove_reference_t<decltype(record.*members)>>(),
                            static_cast<void*>(&(record.*members))}),
         ...);
      },
      RecordTraits<T>::kMembers);
  return columns;
}

// A value for a statement's `?` placeholder.
using QueryParam = std::variant<int64_t, std::string>;

// How the last statement ended.
struct QueryStatus {
  bool failed = false;
  unsigned int error_number = 0;  // server or client error number; 0 on success
  std::string error_text;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_QUERY_HPP_
