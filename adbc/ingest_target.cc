// The table an ingest writes to: its qualified name, and whether it exists on the compute node.
#include <string>

#include "adbc/statement_ingest_internal.h"
#include "norvale/nv_cells.h"
#include "norvale/nv_query.h"

namespace norvale::adbc {
namespace {

bool non_empty(const char* text) { return text != nullptr && text[0] != '\0'; }

void append_quoted_identifier(std::string& out, const char* name) {
  out += '"';
  for (const char* p = name; *p != '\0'; ++p) {
    out += *p;
    if (*p == '"') out += '"';
  }
  out += '"';
}

}  // namespace

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

TableProbe probe_table(NVConnection* connection, const std::string& target) {
  // Straight to the compute node: the cached catalog may not know of a table made or dropped
  // moments ago.
  const std::string sql = "SELECT * FROM " + target + " LIMIT 0";
  char err[1024] = "";
  NVQueryHandle* query = nv_execute(connection, sql.c_str(), 0, 0, err, sizeof err);
  if (query == nullptr) return {TableProbe::kFailed, err, ""};
  while (NVArrowBatch* batch = nv_next_batch(query, nullptr, 0)) nv_batch_free(batch);
  TableProbe result{TableProbe::kExists, "", ""};
  if (const char* message = nv_query_error(query); message != nullptr) {
    const char* sqlstate = nv_query_sqlstate(query);
    result.sqlstate = sqlstate != nullptr ? sqlstate : "";
    result.outcome = result.sqlstate == "42S02" || result.sqlstate == "42P01" ? TableProbe::kMissing
                                                                              : TableProbe::kFailed;
    result.message = message;
  }
  nv_query_close(query);
  return result;
}

}  // namespace norvale::adbc
