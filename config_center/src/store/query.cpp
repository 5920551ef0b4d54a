#include <errmsg.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

#include "logging/logging.hpp"
#include "store/db_connection.hpp"

namespace config_center {

namespace {
// First-fetch size of a text column; the rest of a longer value is fetched afterwards.
// Most values (parameter texts, names) fit; a longer one costs a second copy from the row
// the client already holds, not another round trip. Not zeroed: only `length` bytes are read.
constexpr unsigned long kTextBufferSize = 4096;

// The server gave up waiting for a lock (lock_wait_timeout, innodb_lock_wait_timeout).
bool IsLockTimeout(unsigned int error_number) { return error_number == 1205; }
}  // namespace

std::string BuildQuerySql(const std::string& type_name, const std::string& condition) {
  std::string sql = "select * from `" + type_name + "` ";
  sql += " where 1=1 and ";
  ApplyCondition(sql, condition);
  return sql;
}

void ApplyCondition(std::string& sql, const std::string& condition) {
  std::string lower = condition;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.find("select") != std::string::npos) {
    sql = lower;
    return;
  }
  if (lower.find("limit") != std::string::npos) {
    const auto where = sql.find("where");
    if (where != std::string::npos) {
      sql.erase(where);
    }
  }
  if (!condition.empty()) {
    sql += condition;
    sql += " ";
  }
}

StatementGuard::~StatementGuard() {
  if (slot_ == nullptr) {
    return;
  }
  close_status_ = mysql_stmt_close(slot_) == 0 ? 0 : 1;
  slot_ = nullptr;
  if (close_status_ != 0) {
    std::fprintf(stderr, "close statment error code %d\n", close_status_);
  }
}

void DbConnection::Fail(unsigned int error_number, std::string error_text) {
  status_.failed = true;
  status_.error_number = error_number;
  status_.error_text = std::move(error_text);
}

void DbConnection::FailFromStatement() {
  if (mysql_stmt_errno(stmt_) != 0) {
    Fail(mysql_stmt_errno(stmt_), mysql_stmt_error(stmt_));
  } else if (mysql_errno(mysql_) != 0) {
    // Some fetch errors are only recorded on the connection.
    Fail(mysql_errno(mysql_), mysql_error(mysql_));
  } else {
    Fail(CR_UNKNOWN_ERROR, "the client library reported a failure without an error text");
  }
}

void DbConnection::RunQuery(const std::string& sql, const std::vector<ColumnBinding>& columns,
                            const std::function<void()>& on_row, Statement use,
                            const std::vector<QueryParam>& params) {
  status_ = QueryStatus{};
  if (mysql_ == nullptr) {
    Fail(CR_UNKNOWN_ERROR, "not connected to the database");
  } else if (use == Statement::kKept) {
    RunKept(sql, columns, on_row, params);
  } else {
    StatementGuard guard(stmt_);
    if (Prepare(sql, columns.size())) {
      FetchRows(columns, on_row, params);
    }
  }
  // A lost connection needs nothing here: with reconnect set, the client library notices the
  // closed socket on the next statement and connects again before sending it.
  if (status_.failed) {
    LOG_ERROR("Query failed [{}] {}: {}", status_.error_number, status_.error_text, sql);
  }
}

bool DbConnection::Prepare(const std::string& sql, size_t column_count) {
  stmt_ = mysql_stmt_init(mysql_);
  if (stmt_ == nullptr) {
    Fail(mysql_errno(mysql_), mysql_error(mysql_));
    return false;
  }
  if (mysql_stmt_prepare(stmt_, sql.data(), sql.size()) != 0) {
    FailFromStatement();
    return false;
  }
  if (mysql_stmt_field_count(stmt_) != column_count) {
    Fail(CR_UNKNOWN_ERROR, "the statement gives " + std::to_string(mysql_stmt_field_count(stmt_)) +
                               " columns, the record has " + std::to_string(column_count));
    return false;
  }
  return true;
}

void DbConnection::RunKept(const std::string& sql, const std::vector<ColumnBinding>& columns,
                           const std::function<void()>& on_row,
                           const std::vector<QueryParam>& params) {
  const auto kept = kept_.find(sql);
  if (kept != kept_.end()) {
    stmt_ = kept->second;
    kept_.erase(kept);
    FetchRows(columns, on_row, params);
    if (!status_.failed) {
      kept_.emplace(sql, stmt_);
      stmt_ = nullptr;
      return;
    }
    // A reconnect leaves the server without the statement, and any other failure may have
    // left it half read: drop it. Its close cannot reach a server that has gone, and need not.
    mysql_stmt_close(stmt_);
    stmt_ = nullptr;
    // A table locked by someone else stays locked: waiting once more would only double the
    // wait. Anything else is tried once more from a fresh prepare.
    if (IsLockTimeout(status_.error_number)) {
      return;
    }
    status_ = QueryStatus{};
  }
  StatementGuard guard(stmt_);
  if (Prepare(sql, columns.size())) {
    FetchRows(columns, on_row, params);
    if (!status_.failed) {
      kept_.emplace(sql, stmt_);
      stmt_ = nullptr;  // kept, so the guard leaves it open
    }
  }
}

void DbConnection::CloseKeptStatements() {
  for (auto& [sql, stmt] : kept_) {
    StatementGuard close(stmt);
  }
  kept_.clear();
}

void DbConnection::FetchRows(const std::vector<ColumnBinding>& columns,
                             const std::function<void()>& on_row,
                             const std::vector<QueryParam>& params) {
  if (mysql_stmt_param_count(stmt_) != params.size()) {
    Fail(CR_UNKNOWN_ERROR, "the statement takes " + std::to_string(mysql_stmt_param_count(stmt_)) +
                               " values, " + std::to_string(params.size()) + " were given");
    return;
  }
  std::vector<MYSQL_BIND> param_binds(params.size());
  std::vector<long long> integers(params.size(), 0);
  std::vector<unsigned long> text_lengths(params.size(), 0);
  for (size_t i = 0; i < params.size(); ++i) {
    MYSQL_BIND& bind = param_binds[i];
    std::memset(&bind, 0, sizeof bind);
    if (const auto* text = std::get_if<std::string>(&params[i])) {
      bind.buffer_type = MYSQL_TYPE_STRING;
      // The client library only reads the buffer.
      bind.buffer = const_cast<char*>(text->data());
      bind.buffer_length = text->size();
      text_lengths[i] = text->size();
      bind.length = &text_lengths[i];
    } else {
      integers[i] = std::get<int64_t>(params[i]);
      bind.buffer_type = MYSQL_TYPE_LONGLONG;
      bind.buffer = &integers[i];
    }
  }
  if (!params.empty() && mysql_stmt_bind_param(stmt_, param_binds.data()) != 0) {
    FailFromStatement();
    return;
  }
  const size_t count = columns.size();
  std::vector<MYSQL_BIND> binds(count);
  std::vector<unsigned long> lengths(count, 0);
  std::vector<my_bool> nulls(count, 0);
  std::vector<my_bool> errors(count, 0);
  std::vector<std::unique_ptr<char[]>> text_buffers(count);
  for (size_t i = 0; i < count; ++i) {
    MYSQL_BIND& bind = binds[i];
    std::memset(&bind, 0, sizeof bind);
    bind.length = &lengths[i];
    bind.is_null = &nulls[i];
    bind.error = &errors[i];
    switch (columns[i].kind) {
      case ColumnBinding::Kind::kText:
        text_buffers[i].reset(new char[kTextBufferSize]);
        bind.buffer_type = MYSQL_TYPE_STRING;
        bind.buffer = text_buffers[i].get();
        bind.buffer_length = kTextBufferSize;
        break;
      case ColumnBinding::Kind::kInt32:
        bind.buffer_type = MYSQL_TYPE_LONG;
        bind.buffer = columns[i].member;
        break;
      case ColumnBinding::Kind::kInt64:
        bind.buffer_type = MYSQL_TYPE_LONGLONG;
        bind.buffer = columns[i].member;
        break;
    }
  }
  if (mysql_stmt_bind_result(stmt_, binds.data()) != 0) {
    FailFromStatement();
    return;
  }
  // Rows are streamed from the server, not stored on the client.
  if (mysql_stmt_execute(stmt_) != 0) {
    FailFromStatement();
    return;
  }
  for (;;) {
    const int fetched = mysql_stmt_fetch(stmt_);
    if (fetched == MYSQL_NO_DATA) {
      return;
    }
    if (fetched != 0 && fetched != MYSQL_DATA_TRUNCATED) {
      FailFromStatement();
      return;
    }
    for (size_t i = 0; i < count; ++i) {
      if (nulls[i]) {
        continue;  // the record's member keeps its default (empty text, 0)
      }
      if (columns[i].kind != ColumnBinding::Kind::kText) {
        if (errors[i]) {
          Fail(CR_UNKNOWN_ERROR,
               "the value of column " + std::to_string(i + 1) + " does not fit its member");
          return;
        }
        continue;
      }
      auto& text = *static_cast<std::string*>(columns[i].member);
      const unsigned long length = lengths[i];
      if (length <= kTextBufferSize) {
        text.assign(text_buffers[i].get(), length);
        continue;
      }
      // Only the first part fit the buffer; fetch the rest straight into the member.
      text.resize(length);
      std::memcpy(text.data(), text_buffers[i].get(), kTextBufferSize);
      MYSQL_BIND rest;
      std::memset(&rest, 0, sizeof rest);
      unsigned long rest_length = 0;
      rest.buffer_type = MYSQL_TYPE_STRING;
      rest.buffer = text.data() + kTextBufferSize;
      rest.buffer_length = length - kTextBufferSize;
      rest.length = &rest_length;
      if (mysql_stmt_fetch_column(stmt_, &rest, static_cast<unsigned int>(i), kTextBufferSize) !=
          0) {
        FailFromStatement();
        return;
      }
    }
    on_row();
  }
}

}  // namespace config_center
