#include "tracking/change_log_commits.hpp"

#include <algorithm>
#include <cctype>

namespace config_center {

namespace {

constexpr std::string_view kDatabase = "ROBOT";
constexpr std::string_view kChangeLogTable = "config_table_changes";

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool StartsWithWord(std::string_view text, std::string_view word) {
  if (text.size() < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (Lower(text[i]) != Lower(word[i])) return false;
  }
  return text.size() == word.size() || !std::isalnum(static_cast<unsigned char>(text[word.size()]));
}

bool ContainsIgnoringCase(std::string_view text, std::string_view word) {
  return std::search(text.begin(), text.end(), word.begin(), word.end(),
                     [](char a, char b) { return Lower(a) == Lower(b); }) != text.end();
}

std::string_view TrimStart(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  return text;
}

}  // namespace

void ChangeLogCommits::GroupStart() { Clear(); }

void ChangeLogCommits::TableMap(uint64_t table_id, std::string_view database,
                                std::string_view table) {
  if (database == kDatabase && table == kChangeLogTable) {
    change_log_table_ids_.push_back(table_id);
  }
}

void ChangeLogCommits::Rows(uint64_t table_id) {
  if (std::find(change_log_table_ids_.begin(), change_log_table_ids_.end(), table_id) !=
      change_log_table_ids_.end()) {
    change_log_rows_ = true;
  }
}

bool ChangeLogCommits::Commit() {
  const bool wrote = change_log_rows_;
  Clear();
  return wrote;
}

bool ChangeLogCommits::Statement(std::string_view database, std::string_view text) {
  text = TrimStart(text);
  if (StartsWithWord(text, "BEGIN")) return false;
  if (StartsWithWord(text, "COMMIT")) return Commit();
  if (StartsWithWord(text, "ROLLBACK")) {
    // ROLLBACK TO SAVEPOINT stays inside the group; rows it undid were never logged.
    if (!StartsWithWord(TrimStart(text.substr(8)), "TO")) Clear();
    return false;
  }
  if (StartsWithWord(text, "SAVEPOINT")) return false;
  if (StartsWithWord(text, "XA")) {
    // A prepared XA transaction's rows were logged at XA PREPARE; they count once it commits.
    const std::string_view verb = TrimStart(text.substr(2));
    Clear();
    return StartsWithWord(verb, "COMMIT");
  }
  return database == kDatabase || ContainsIgnoringCase(text, kDatabase);
}

void ChangeLogCommits::Clear() {
  change_log_table_ids_.clear();
  change_log_rows_ = false;
}

}  // namespace config_center
