#include "metadata/type_mapping_internal.h"

#include <string>

#include "util/strings_internal.h"

namespace norvale::adbc {
namespace {

bool starts(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }

constexpr std::nullopt_t kNone = std::nullopt;

}  // namespace

XdbcType classify_xdbc_type(std::string_view data_type) {
  const std::string t = ascii_lower(data_type);
  if (t == "tinyint") return {"TINYINT", -6, 3, 10, kNone, 0};
  if (t == "smallint") return {"SMALLINT", 5, 5, 10, kNone, 0};
  if (t == "integer" || t == "int") return {"INTEGER", 4, 10, 10, kNone, 0};
  if (t == "bigint") return {"BIGINT", -5, 19, 10, kNone, 0};
  if (t == "real") return {"REAL", 7, 24, 2, kNone, kNone};
  if (t == "double precision" || t == "double" || t == "float") {
    return {"DOUBLE PRECISION", 8, 53, 2, kNone, kNone};
  }
  if (t == "boolean" || t == "bool" || t == "bit") return {"BIT", -7, 1, kNone, kNone, kNone};
  if (t == "date") return {"DATE", 91, 10, kNone, kNone, 0};
  if (starts(t, "time without time zone") || starts(t, "time with time zone") || t == "time") {
    return {"TIME", 92, 15, kNone, kNone, kNone};
  }
  if (starts(t, "timestamp with time zone") || t == "timestamptz" ||
      starts(t, "timestamptz(")) {
    return {"TIMESTAMP WITH TIME ZONE", 95, 32, kNone, kNone, kNone};
  }
  if (starts(t, "timestamp")) return {"TIMESTAMP", 93, 26, kNone, kNone, kNone};
  if (t == "binary") return {"BINARY", -2, 65535, kNone, 65535, kNone};
  if (t == "varbinary" || t == "bytea" || starts(t, "varbinary(") || starts(t, "bytea(")) {
    return {"VARBINARY", -3, 65535, kNone, 65535, kNone};
  }
  if (t == "longvarbinary") return {"LONGVARBINARY", -4, 65535, kNone, 65535, kNone};
  if (t == "numeric" || t == "decimal" || starts(t, "decimal(") || starts(t, "numeric(")) {
    return {"DECIMAL", 3, kNone, 10, kNone, kNone};
  }
  if (t == "char" || t == "character" || starts(t, "char")) {
    return {"CHAR", 1, 1, kNone, 4, kNone};
  }
  if (starts(t, "varchar") || t == "text" || t == "string" || t == "utf8") {
    return {"VARCHAR", 12, 256, kNone, 1024, kNone};
  }
  if (t == "uuid") return {"VARCHAR", 12, 36, kNone, 144, kNone};
  return {"VARCHAR", 12, 65535, kNone, 262140, kNone};
}

}  // namespace norvale::adbc
