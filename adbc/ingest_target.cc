// The table an ingest writes to: its qualified name, and whether it exists on the compute node.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adbc/cancellable_query_internal.h"
#include "adbc/catalog_internal.h"
#include "adbc/statement_ingest_internal.h"
#include "core/query_batch_internal.h"
#include "norvale/nv_cells.h"
#include "norvale/nv_query.h"
#include "util/strings_internal.h"

namespace norvale::adbc {
namespace {

void append_quoted_identifier(std::string& out, const char* name) {
  out += '"';
  for (const char* p = name; *p != '\0'; ++p) {
    out += *p;
    if (*p == '"') out += '"';
  }
  out += '"';
}

}  // namespace

std::optional<std::vector<std::string>> target_name_parts(std::string_view text) {
  std::vector<std::string> parts(1);
  bool quoted = false, part_was_quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c != '"') {
        parts.back() += c;
      } else if (i + 1 < text.size() && text[i + 1] == '"') {
        parts.back() += '"';
        ++i;
      } else {
        quoted = false;
      }
    } else if (c == '"' && parts.back().empty() && !part_was_quoted) {
      quoted = part_was_quoted = true;
    } else if (c == '.') {
      if (parts.back().empty() && !part_was_quoted) return std::nullopt;
      parts.emplace_back();
      part_was_quoted = false;
    } else if (c == '"' || (part_was_quoted && !quoted)) {
      return std::nullopt;  // text after a closing quote, or a quote inside a bare part
    } else {
      parts.back() += c;
    }
  }
  if (quoted || (parts.back().empty() && !part_was_quoted) || parts.size() > 3) return std::nullopt;
  return parts;
}

std::optional<std::string> quoted_target_name(std::string_view target) {
  auto parts = target_name_parts(target);
  if (!parts) return std::nullopt;
  std::string name;
  for (const std::string& part : *parts) {
    if (!name.empty()) name += '.';
    append_quoted_identifier(name, part.c_str());
  }
  return name;
}

std::string ingest_target_name(const char* catalog, const char* db_schema, const char* table) {
  if (table == nullptr) return {};
  // Without a catalog or schema the table text goes to the service as the host wrote it.
  if (!non_empty(catalog) && !non_empty(db_schema)) return table;
  std::string name;
  if (non_empty(catalog)) {
    append_quoted_identifier(name, catalog);
    name += '.';
  }
  if (non_empty(db_schema)) {
    append_quoted_identifier(name, db_schema);
    name += '.';
  }
  append_quoted_identifier(name, table);
  return name;
}

std::optional<TableProbe> table_known_to_catalog(NVAdbcConnectionState* state,
                                                 std::string_view target) {
  const std::optional<std::vector<std::string>> parts = target_name_parts(target);
  if (!parts) return std::nullopt;
  const std::optional<bool> exists = catalog_knows_table(catalog_of(state), *parts);
  if (!exists) return std::nullopt;
  return TableProbe{*exists ? TableProbe::kExists : TableProbe::kMissing, "", ""};
}

TableProbe probe_table(const std::shared_ptr<CancelOperation>& operation, NVConnection* connection,
                       const std::string& target) {
  // The name goes into SQL text, so only in its quoted form.
  const std::optional<std::string> name = quoted_target_name(target);
  if (!name) return {TableProbe::kFailed, "'" + target + "' is not a table name", "42000"};
  // Straight to the compute node: the cached catalog may not know of a table made or dropped
  // moments ago.
  const std::string sql = "SELECT * FROM " + *name + " LIMIT 0";
  char err[1024] = "";
  const CancellableQuery query =
      execute_cancellable(operation, connection, sql.c_str(), 0, err, sizeof err);
  if (!query) return {TableProbe::kFailed, err, ""};
  TableProbe result{TableProbe::kExists, "", ""};
  while (NVArrowBatch* batch = nv_next_batch(query.get(), nullptr, 0)) {
    if (result.schema == nullptr) result.schema = query_batch_schema(batch);
    nv_batch_free(batch);
  }
  if (const char* message = nv_query_error(query.get()); message != nullptr) {
    const char* sqlstate = nv_query_sqlstate(query.get());
    result.sqlstate = sqlstate != nullptr ? sqlstate : "";
    result.outcome = result.sqlstate == "42S02" || result.sqlstate == "42P01" ? TableProbe::kMissing
                                                                              : TableProbe::kFailed;
    result.message = message;
  }
  return result;
}

}  // namespace norvale::adbc
