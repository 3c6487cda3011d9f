// Differential test: generated relations of the nine information_schema shapes (with nulls,
// mixed case, duplicates, quotes, LIKE metacharacters and letters whose case mappings are
// unusual in names) are registered in two engines, one that scans them and one with the
// catalog's name lookups as a connection registers its snapshot, and loaded into DuckDB;
// generated statements of the supported subset run on all three, and every statement an engine
// answers must give DuckDB's rows (as a multiset; in order where ORDER BY names every output
// column, so that ties are whole duplicate rows). The large relations (columns, odbc_columns,
// key_column_usage) are several times the others, so that joins and subqueries take the lookup
// paths; the run fails if they never do.
//
// Where dialects disagree the engine declines, and the generator goes there on purpose so that
// an answer the engine should not give shows up as a mismatch: integer division and division
// by zero, LIKE patterns with a backslash and no ESCAPE. It also generates 64-bit literals
// beyond double precision, ORDER BY with and without NULLS FIRST / LAST, non-ASCII strings,
// EXISTS over derived tables (with * and with VALUES), ORDER BY over columns not selected,
// HAVING, DISTINCT aggregates, aggregates over expressions, string_agg, BETWEEN, NULLIF,
// IS [NOT] DISTINCT FROM, correlated EXISTS / IN / scalar subqueries with residual predicates,
// set operations, WITH and SELECT without FROM, and the text functions (substring, trim,
// replace, concat, left / right, strpos, starts_with ...) with out-of-range arguments.
//
// NV_SQL_DIFF_SEED and NV_SQL_DIFF_COUNT override the seed and the number of statements,
// NV_SQL_DIFF_PRINT=1 prints every statement; a failure prints the statement and the seed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <sstream>

#include "duckdb_support.h"
#include "metadata/info_schema_internal.h"
#include "sql/metadata_engine_internal.h"
#include "support/snapshot_relations.h"

namespace nv_sql {
namespace {

using testing::columns_of;
using testing::Duck;
using testing::DuckResult;
using testing::rows_of;

enum class Kind { Str, Int };

struct Col {
  std::string name;
  Kind kind;
};

struct Cell {
  bool null = true;
  std::string s;
  int64_t i = 0;
};

struct Rel {
  std::string name;
  std::vector<Col> cols;
  std::vector<std::vector<Cell>> rows;
};

const std::vector<std::pair<std::string, std::vector<Col>>>& shapes() {
  static const std::vector<std::pair<std::string, std::vector<Col>>> kShapes = {
      {"catalogs", {{"catalog_name", Kind::Str}}},
      {"schemata",
       {{"catalog_name", Kind::Str}, {"schema_name", Kind::Str}, {"schema_owner", Kind::Str}}},
      {"tables",
       {{"table_catalog", Kind::Str},
        {"table_schema", Kind::Str},
        {"table_name", Kind::Str},
        {"table_type", Kind::Str},
        {"remarks", Kind::Str}}},
      {"columns",
       {{"table_catalog", Kind::Str},
        {"table_schema", Kind::Str},
        {"table_name", Kind::Str},
        {"column_name", Kind::Str},
        {"ordinal_position", Kind::Int},
        {"data_type", Kind::Str},
        {"is_nullable", Kind::Str},
        {"character_maximum_length", Kind::Int}}},
      {"views",
       {{"table_catalog", Kind::Str},
        {"table_schema", Kind::Str},
        {"table_name", Kind::Str},
        {"view_definition", Kind::Str}}},
      {"key_column_usage",
       {{"constraint_schema", Kind::Str},
        {"constraint_name", Kind::Str},
        {"table_schema", Kind::Str},
        {"table_name", Kind::Str},
        {"column_name", Kind::Str},
        {"ordinal_position", Kind::Int}}},
      {"odbc_columns",
       {{"table_schema", Kind::Str},
        {"table_name", Kind::Str},
        {"column_name", Kind::Str},
        {"data_type", Kind::Int},
        {"type_name", Kind::Str},
        {"column_size", Kind::Int}}},
      {"table_constraints",
       {{"constraint_schema", Kind::Str},
        {"constraint_name", Kind::Str},
        {"table_schema", Kind::Str},
        {"table_name", Kind::Str},
        {"constraint_type", Kind::Str}}},
      {"referential_constraints",
       {{"constraint_schema", Kind::Str},
        {"constraint_name", Kind::Str},
        {"unique_constraint_name", Kind::Str},
        {"update_rule", Kind::Str},
        {"delete_rule", Kind::Str}}},
  };
  return kShapes;
}

// Value pools per column name; shared pools make joins and IN subqueries meet.
const std::vector<std::string>& pool(const std::string& col) {
  static const std::map<std::string, std::vector<std::string>> kPools = {
      {"catalog", {"db", "DB", "main"}},
      {"schema", {"public", "Sales", "sales", "hr", "a_b", "a%b", "\xc4\xb0nventory", "inventory"}},
      {"table",
       {"orders", "Orders", "customers", "items", "v_sales", "emp", "a_b", "ab", "a%b",
        "O'Brien", "we\"ird", "a b", "stock", "\xc5\xbftock", "\xcf\x83", "\xcf\x82",
        "\xc2\xb5", "\xce\xbc", "\xe2\x84\xaa"}},
      {"column", {"id", "ID", "name", "total", "region", "x_y", "xay", "\xc3\x9cml", "K"}},
      {"type", {"BASE TABLE", "VIEW", "LOCAL TEMPORARY"}},
      {"data_type", {"bigint", "varchar", "double", "date"}},
      {"yesno", {"YES", "NO"}},
      {"constraint", {"pk_orders", "fk_items", "uq_emp", "PK_Orders"}},
      {"ctype", {"PRIMARY KEY", "FOREIGN KEY", "UNIQUE"}},
      {"rule", {"CASCADE", "NO ACTION", "SET NULL"}},
      {"text", {"people", "select 1", "top\nsellers", "x", "", "\xc3\x89mile", "\xc3\xa9" "clair"}},
  };
  static const std::map<std::string, std::string> kColPool = {
      {"catalog_name", "catalog"},       {"table_catalog", "catalog"},
      {"schema_name", "schema"},         {"table_schema", "schema"},
      {"constraint_schema", "schema"},   {"schema_owner", "text"},
      {"table_name", "table"},           {"table_type", "type"},
      {"remarks", "text"},               {"view_definition", "text"},
      {"column_name", "column"},         {"data_type", "data_type"},
      {"type_name", "data_type"},        {"is_nullable", "yesno"},
      {"constraint_name", "constraint"}, {"unique_constraint_name", "constraint"},
      {"constraint_type", "ctype"},      {"update_rule", "rule"},
      {"delete_rule", "rule"},
  };
  auto it = kColPool.find(col);
  return kPools.at(it == kColPool.end() ? "text" : it->second);
}

std::vector<Rel> generate_relations(std::mt19937_64& rng) {
  std::vector<Rel> rels;
  for (const auto& [name, cols] : shapes()) {
    Rel r{name, cols, {}};
    // The large relations hold many rows per table, as a catalog does.
    const bool large = name == "columns" || name == "odbc_columns" || name == "key_column_usage";
    const int n = std::uniform_int_distribution<int>(name == "catalogs" ? 2 : large ? 60 : 8,
                                                     large ? 400 : 40)(rng);
    for (int i = 0; i < n; ++i) {
      std::vector<Cell> row;
      for (const auto& c : cols) {
        Cell cell;
        cell.null = std::uniform_int_distribution<int>(0, 9)(rng) == 0;
        if (c.kind == Kind::Str) {
          const auto& p = pool(c.name);
          cell.s = p[std::uniform_int_distribution<size_t>(0, p.size() - 1)(rng)];
        } else {
          cell.i = std::uniform_int_distribution<int>(0, 12)(rng);
        }
        row.push_back(cell);
      }
      r.rows.push_back(std::move(row));
    }
    rels.push_back(std::move(r));
  }
  return rels;
}

std::shared_ptr<arrow::RecordBatch> to_batch(const Rel& r) {
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  for (size_t c = 0; c < r.cols.size(); ++c) {
    if (r.cols[c].kind == Kind::Str) {
      arrow::StringBuilder b;
      for (const auto& row : r.rows) {
        EXPECT_TRUE((row[c].null ? b.AppendNull() : b.Append(row[c].s)).ok());
      }
      fields.push_back(arrow::field(r.cols[c].name, arrow::utf8()));
      arrays.push_back(*b.Finish());
    } else {
      // The narrow integer type of the catalog (int32), as the snapshot carries it.
      arrow::Int32Builder b;
      for (const auto& row : r.rows) {
        EXPECT_TRUE(
            (row[c].null ? b.AppendNull() : b.Append(static_cast<int32_t>(row[c].i))).ok());
      }
      fields.push_back(arrow::field(r.cols[c].name, arrow::int32()));
      arrays.push_back(*b.Finish());
    }
  }
  return arrow::RecordBatch::Make(arrow::schema(fields), static_cast<int64_t>(r.rows.size()),
                                  arrays);
}

// ---- statement generator ----

struct Target {
  std::string engine;
  std::string duck;
  bool reads_nothing = false;  // no FROM: the engine must decline it
  void add(const std::string& both) {
    engine += both;
    duck += both;
  }
  void add(const std::string& e, const std::string& d) {
    engine += e;
    duck += d;
  }
  void add(const Target& t) {
    engine += t.engine;
    duck += t.duck;
  }
};

struct Joinable {
  const char* left;
  const char* right;
  std::vector<std::pair<const char*, const char*>> keys;
};

const std::vector<Joinable>& joinables() {
  static const std::vector<Joinable> kJoins = {
      {"tables", "columns", {{"table_schema", "table_schema"}, {"table_name", "table_name"}}},
      {"schemata", "tables", {{"schema_name", "table_schema"}}},
      {"catalogs", "schemata", {{"catalog_name", "catalog_name"}}},
      {"tables", "views", {{"table_schema", "table_schema"}, {"table_name", "table_name"}}},
      {"table_constraints", "key_column_usage", {{"constraint_name", "constraint_name"}}},
      {"columns", "odbc_columns", {{"table_name", "table_name"}, {"column_name", "column_name"}}},
      {"table_constraints", "referential_constraints", {{"constraint_name", "constraint_name"}}},
      {"tables", "tables", {{"table_name", "table_name"}}},
      {"columns", "key_column_usage", {{"column_name", "column_name"}}},
  };
  return kJoins;
}

class Gen {
 public:
  Gen(std::mt19937_64& rng, const std::vector<Rel>& rels) : rng_(rng) {
    for (const auto& r : rels) rels_[r.name] = &r;
  }

  Target statement();

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool coin(int percent) { return pick(100) < percent; }
  template <typename T>
  const T& one(const std::vector<T>& v) {
    return v[static_cast<size_t>(pick(static_cast<int>(v.size())))];
  }

  struct Scope {
    std::string alias;
    const Rel* rel;
  };

  const Col& col_of(const Rel& r, Kind k) {
    std::vector<const Col*> cs;
    for (const auto& c : r.cols) {
      if (c.kind == k) cs.push_back(&c);
    }
    if (cs.empty()) return r.cols.front();
    return *cs[static_cast<size_t>(pick(static_cast<int>(cs.size())))];
  }
  bool has_int(const Rel& r) {
    for (const auto& c : r.cols) {
      if (c.kind == Kind::Int) return true;
    }
    return false;
  }
  // Column names are sometimes written in capitals: output names must keep them as written.
  std::string qual(const Scope& s, const Col& c) {
    return s.alias + "." + (coin(15) ? upper(c.name) : c.name);
  }
  static std::string upper(std::string v) {
    for (char& ch : v) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return v;
  }
  // The alias of output column i (prefix and i, sometimes in capitals), or, when `may_omit`,
  // sometimes none: the column is then named by the compute node's rendering of it.
  std::string name_item(const char* prefix, int i, bool may_omit) {
    const int r = pick(10);
    if (may_omit && r < 4) {
      aliases_.emplace_back();
      return "";
    }
    std::string a = prefix + std::to_string(i);
    if (r < 6) a = upper(a);
    aliases_.push_back(a);
    return " AS " + a;
  }

  static std::string quoted(const std::string& v) {
    std::string out = "'";
    for (char ch : v) out += ch == '\'' ? std::string("''") : std::string(1, ch);
    return out + "'";
  }
  std::string str_lit(const Col& c) {
    const auto& p = pool(c.name);
    std::string v = one(p);
    if (v.find('\n') != std::string::npos) v = "x";
    return quoted(v);
  }
  // A name of the column's pool cut to a prefix, for LIKE 'prefix%' and starts_with.
  std::string prefix_of(const Col& c) {
    std::string v = one(pool(c.name));
    size_t n = static_cast<size_t>(pick(static_cast<int>(v.size()) + 1));
    while (n > 0 && n < v.size() && (static_cast<unsigned char>(v[n]) & 0xC0) == 0x80) --n;
    return v.substr(0, n);
  }
  std::string like_pattern(const Col& c) {
    std::string v = one(pool(c.name));
    std::string out;
    for (char ch : v) {
      if (ch == '\n') continue;
      // Bytes of a multi-byte character stay whole: the statement text remains UTF-8.
      if (static_cast<unsigned char>(ch) >= 0x80) {
        out += ch;
        continue;
      }
      int r = pick(10);
      if (ch == '_' || ch == '%') {
        out += coin(60) ? std::string("\\") + ch : std::string(1, ch);
      } else if (r == 0) {
        out += '_';
      } else if (r == 1) {
        out += '%';
      } else {
        out += ch;
      }
    }
    if (coin(30)) out = "%" + out;
    if (coin(30)) out += "%";
    return quoted(out);
  }

  Target predicate(const std::vector<Scope>& scopes, int depth);
  Target atom(const std::vector<Scope>& scopes);
  Target lookup(const Scope& s);
  Target text_call(const Scope& s);
  Target item(const std::vector<Scope>& scopes);
  std::string rel_ref(const std::string& name, const std::string& alias, Target* t) {
    t->add("information_schema." + name + " " + alias, "nvis." + name + " " + alias);
    return alias;
  }
  Target order_limit(int ncols, bool aliased);
  Target widened(int shape);
  Target lookup_join();
  Target single_select(const Rel& r, const std::vector<Col>& cols, bool where);

  std::mt19937_64& rng_;
  std::map<std::string, const Rel*> rels_;
  std::vector<std::string> aliases_;  // of the statement's output columns, "" where none
};

Target Gen::atom(const std::vector<Scope>& scopes) {
  const Scope& s = one(scopes);
  const Rel& r = *s.rel;
  Target t;
  switch (pick(17)) {
    case 14:
    case 15:
      return lookup(s);
    case 16: {
      Target fn = text_call(s);
      static const std::vector<std::string> tests = {" IS NULL", " IS NOT NULL", " = 'a'",
                                                     " > 'm'", " LIKE '%a%'"};
      t.add(fn);
      if (fn.engine.rfind("starts_with", 0) == 0) {
        t.add(coin(50) ? "" : " IS NULL");
      } else if (fn.engine.find("length(") != std::string::npos ||
                 fn.engine.find("pos") != std::string::npos) {
        t.add(" > " + std::to_string(pick(4)));
      } else {
        t.add(one(tests));
      }
      break;
    }
    case 9: {
      if (!has_int(r)) return atom(scopes);
      const Col& c = col_of(r, Kind::Int);
      int lo = pick(8);
      t.add(qual(s, c) + (coin(30) ? " NOT BETWEEN " : " BETWEEN ") + std::to_string(lo) +
            " AND " + std::to_string(lo + pick(6)));
      break;
    }
    case 10: {
      const Col& c = one(r.cols);
      std::string v = c.kind == Kind::Str ? str_lit(c) : std::to_string(pick(13));
      if (coin(20)) v = "NULL";
      t.add(qual(s, c) + (coin(50) ? " IS DISTINCT FROM " : " IS NOT DISTINCT FROM ") + v);
      break;
    }
    case 11: {
      const Col& c = col_of(r, Kind::Str);
      t.add("NULLIF(" + qual(s, c) + ", " + str_lit(c) + ") IS NULL");
      break;
    }
    case 12: {
      // Division: integer division and division by zero must be declined; a fraction is
      // answered. 64-bit constants beyond double precision stay exact.
      if (!has_int(r)) return atom(scopes);
      const Col& c = col_of(r, Kind::Int);
      static const std::vector<std::string> forms = {
          " / 2 = 1", " / 2.0 > 1.5", " * 1.0 / (ORDINAL + 1) < 0.5", " / 0.0 > 1", " / 0 = 1",
          " + 9007199254740993 > 9007199254740994", " * 3.0 / 4 >= 2.25",
          " - 9007199254740993 = -9007199254740990"};
      std::string f = one(forms);
      size_t p = f.find("ORDINAL");
      if (p != std::string::npos) f.replace(p, 7, qual(s, c));
      t.add(qual(s, c) + f);
      break;
    }
    case 13: {
      if (coin(70)) return atom(scopes);
      const Col& c = col_of(r, Kind::Str);
      // A backslash without ESCAPE: dialects disagree, so the engine must decline.
      t.add(qual(s, c) + " LIKE '%\\_%'");
      break;
    }
    case 0: {
      const Col& c = col_of(r, Kind::Str);
      static const std::vector<std::string> ops = {"=", "<>", "<", ">=", "!="};
      t.add(qual(s, c) + " " + one(ops) + " " + str_lit(c));
      break;
    }
    case 1: {
      if (!has_int(r)) return atom(scopes);
      const Col& c = col_of(r, Kind::Int);
      static const std::vector<std::string> ops = {"=", "<>", "<", "<=", ">", ">="};
      t.add(qual(s, c) + " " + one(ops) + " " + std::to_string(pick(13)));
      break;
    }
    case 2:
      t.add(qual(s, one(r.cols)) + (coin(50) ? " IS NULL" : " IS NOT NULL"));
      break;
    case 3: {
      const Col& c = one(r.cols);
      std::string list;
      int n = 1 + pick(4);
      for (int i = 0; i < n; ++i) {
        std::string v = c.kind == Kind::Str ? str_lit(c) : std::to_string(pick(13));
        if (coin(15)) v = "NULL";
        list += (i ? ", " : "") + v;
      }
      t.add(qual(s, c) + (coin(40) ? " NOT IN (" : " IN (") + list + ")");
      break;
    }
    case 4: {
      const Col& c = col_of(r, Kind::Str);
      const char* op = coin(50) ? (coin(50) ? " LIKE " : " NOT LIKE ")
                                : (coin(50) ? " ILIKE " : " NOT ILIKE ");
      std::string pat = like_pattern(c);
      const int form = pick(3);
      if (form == 0) {
        // No ESCAPE: with a backslash in the pattern the engine declines; without one both
        // read the pattern alike.
        t.add(qual(s, c) + op + pat);
      } else if (form == 1) {
        t.add(qual(s, c) + op + pat + " ESCAPE '\\'");
      } else {
        // The same pattern with '!' as its escape character.
        std::replace(pat.begin(), pat.end(), '\\', '!');
        t.add(qual(s, c) + op + pat + " ESCAPE '!'");
      }
      break;
    }
    case 5: {
      const Col& c = col_of(r, Kind::Str);
      t.add((coin(50) ? "upper(" : "lower(") + qual(s, c) + ") = " + str_lit(c));
      break;
    }
    case 6: {
      const Col& c = col_of(r, Kind::Str);
      t.add("length(" + qual(s, c) + ") > " + std::to_string(pick(8)));
      break;
    }
    case 7: {
      const Col& c = col_of(r, Kind::Str);
      t.add("coalesce(" + qual(s, c) + ", 'zz') = 'zz'");
      break;
    }
    default: {
      const Col& c = col_of(r, Kind::Str);
      t.add("CASE WHEN " + qual(s, c) + " = " + str_lit(c) + " THEN 1 WHEN " + qual(s, c) +
            " IS NULL THEN NULL ELSE 0 END = 1");
      break;
    }
  }
  return t;
}

// A condition that a name lookup can answer: equality, IN (with NULLs), LIKE / ILIKE with a
// literal prefix, lower() / upper() of a name column, alone or two under AND / OR.
Target Gen::lookup(const Scope& s) {
  const Rel& r = *s.rel;
  const Col& c = col_of(r, Kind::Str);
  Target t;
  switch (pick(6)) {
    case 0:
      t.add(qual(s, c) + " = " + str_lit(c));
      break;
    case 1: {
      std::string list;
      const int n = 1 + pick(4);
      for (int i = 0; i < n; ++i) list += (i ? ", " : "") + (coin(15) ? "NULL" : str_lit(c));
      t.add(qual(s, c) + " IN (" + list + ")");
      break;
    }
    case 2:
    case 3: {
      const char* op = pick(2) == 0 ? " LIKE " : " ILIKE ";
      std::string p = prefix_of(c);
      std::string escaped;
      for (char ch : p) {
        if (ch == '%' || ch == '_' || ch == '!') escaped += '!';
        escaped += ch;
      }
      t.add(qual(s, c) + op + quoted(escaped + (coin(80) ? "%" : "")) + " ESCAPE '!'");
      break;
    }
    case 4:
      t.add(std::string(coin(50) ? "lower(" : "upper(") + qual(s, c) + ") " +
            (coin(50) ? "= " + str_lit(c) : "IN (" + str_lit(c) + ", " + str_lit(c) + ")"));
      break;
    default: {
      t.add("(");
      t.add(lookup(s));
      t.add(coin(50) ? " OR " : " AND ");
      t.add(lookup(s));
      t.add(")");
      break;
    }
  }
  return t;
}

// A text function over a name column, sometimes with arguments that are out of range (zero and
// negative positions and counts) or NULL.
Target Gen::text_call(const Scope& s) {
  const Col& c = col_of(*s.rel, Kind::Str);
  const std::string x = qual(s, c);
  auto num = [&] { return coin(10) ? std::string("NULL") : std::to_string(pick(8) - 1); };
  Target t;
  switch (pick(12)) {
    case 0:
      t.add("substring(" + x + ", " + num() + (coin(70) ? ", " + num() : "") + ")");
      break;
    case 1:
      t.add("substr(" + x + ", " + num() + ")");
      break;
    case 2:
      t.add(std::string(coin(50) ? "left(" : "right(") + x + ", " + num() + ")");
      break;
    case 3: {
      static const std::vector<std::string> forms = {"trim(X)", "ltrim(X)", "rtrim(X)",
                                                     "trim(X, 'os')", "ltrim(X, 'a')",
                                                     "trim(BOTH 'o' FROM X)",
                                                     "trim(LEADING 'O' FROM X)"};
      std::string f = one(forms);
      f.replace(f.find('X'), 1, x);
      t.add(f);
      break;
    }
    case 4:
      t.add("replace(" + x + ", " + quoted(prefix_of(c)) + ", '*')");
      break;
    case 5:
      t.add("concat(" + x + ", NULL, '-', " + qual(s, col_of(*s.rel, Kind::Str)) + ")");
      break;
    case 6:
      t.add("starts_with(" + x + ", " + quoted(prefix_of(c)) + ")");
      break;
    case 7: {
      const std::string sub = coin(50) ? "'a'" : quoted(prefix_of(c));
      t.add(coin(50) ? "strpos(" + x + ", " + sub + ")" : "position(" + sub + " IN " + x + ")");
      break;
    }
    case 8:
      t.add("char_length(" + x + ")");
      break;
    case 9:
      t.add(std::string(coin(50) ? "lower(" : "upper(") + x + ")");
      break;
    default:
      t.add("substring(" + x + " FROM " + num() + " FOR " + num() + ")");
      break;
  }
  return t;
}

Target Gen::predicate(const std::vector<Scope>& scopes, int depth) {
  if (depth <= 0 || coin(40)) return atom(scopes);
  Target t;
  int k = pick(3);
  if (k == 0) {
    t.add("NOT (");
    t.add(predicate(scopes, depth - 1));
    t.add(")");
    return t;
  }
  t.add("(");
  t.add(predicate(scopes, depth - 1));
  t.add(k == 1 ? " AND " : " OR ");
  t.add(predicate(scopes, depth - 1));
  t.add(")");
  return t;
}

Target Gen::item(const std::vector<Scope>& scopes) {
  const Scope& s = one(scopes);
  const Rel& r = *s.rel;
  Target t;
  switch (pick(15)) {
    case 10:
    case 11:
      t.add(text_call(s));
      break;
    case 12: {
      // Types the node gives: a fraction written without exponent is a DECIMAL (declined), a
      // division or an exponent makes a DOUBLE, integer constants are INTEGER or BIGINT.
      if (!has_int(r)) return item(scopes);
      const std::string x = qual(s, col_of(r, Kind::Int));
      static const std::vector<std::string> forms = {
          "X * 1.5",         "X / 2.0",          "X + 1e0",
          "X + 3000000000",  "coalesce(X, 0)",   "NULLIF(X, 2)",
          "CASE WHEN X > 3 THEN 1 ELSE 0 END",   "CASE WHEN X > 3 THEN X END",
          "-X",              "X - -1"};
      std::string f = one(forms);
      for (size_t p = f.find('X'); p != std::string::npos; p = f.find('X', p + x.size())) {
        f.replace(p, 1, x);
      }
      t.add(f);
      break;
    }
    case 13:
      t.add(qual(s, col_of(r, Kind::Str)) + (coin(50) ? " || NULL" : " = NULL"));
      break;
    case 14:
      t.add(std::string(coin(50) ? "1" : "'k'") + (coin(50) ? "" : " IS NULL"));
      break;
    case 0:
      t.add("upper(" + qual(s, col_of(r, Kind::Str)) + ")");
      break;
    case 1:
      t.add("length(" + qual(s, col_of(r, Kind::Str)) + ")");
      break;
    case 2:
      if (has_int(r)) {
        const Col& c = col_of(r, Kind::Int);
        static const std::vector<std::string> ops = {" + 1", " * 2", " - 3"};
        t.add(qual(s, c) + one(ops));
      } else {
        t.add(qual(s, one(r.cols)));
      }
      break;
    case 3:
      if (has_int(r)) {
        t.add("CAST(" + qual(s, col_of(r, Kind::Int)) +
              (coin(50) ? " AS varchar)" : " AS bigint)"));
      } else {
        t.add(qual(s, one(r.cols)));
      }
      break;
    case 4:
      t.add("coalesce(" + qual(s, col_of(r, Kind::Str)) + ", 'none')");
      break;
    case 5:
      t.add(qual(s, col_of(r, Kind::Str)) + " || '-' || " + qual(s, col_of(r, Kind::Str)));
      break;
    case 6: {
      t.add("CASE WHEN ");
      t.add(atom({s}));
      t.add(" THEN 'y' ELSE 'n' END");
      break;
    }
    case 7:
      t.add(atom({s}));
      break;
    default:
      t.add(qual(s, one(r.cols)));
      break;
  }
  return t;
}

Target Gen::order_limit(int ncols, bool aliased) {
  Target t;
  if (coin(50)) return t;
  t.add(" ORDER BY ");
  // Every output column is a key (by ordinal or by its alias cN), in a random order.
  std::vector<int> cols;
  for (int i = 1; i <= ncols; ++i) cols.push_back(i);
  std::shuffle(cols.begin(), cols.end(), rng_);
  for (size_t k = 0; k < cols.size(); ++k) {
    const int i = cols[k];
    const std::string& alias =
        static_cast<size_t>(i) <= aliases_.size() ? aliases_[i - 1] : std::string();
    std::string key = aliased && !alias.empty() && coin(50) ? alias : std::to_string(i);
    const int nulls = pick(3);
    t.add(std::string(k ? ", " : "") + key + (coin(50) ? " DESC" : "") +
          (nulls == 0 ? " NULLS FIRST" : nulls == 1 ? " NULLS LAST" : ""));
  }
  if (coin(50)) t.add(" LIMIT " + std::to_string(pick(8)));
  if (coin(30)) t.add(" OFFSET " + std::to_string(pick(5)));
  return t;
}

Target Gen::statement() {
  aliases_.clear();
  Target t;
  const int shape = pick(21);
  const auto& names = shapes();
  auto rel = [&](const std::string& n) { return rels_.at(n); };
  if (shape >= 18) return lookup_join();
  if (shape >= 11) return widened(shape);

  if (shape <= 1) {  // single table
    const Rel* r = rel(one(names).first);
    std::vector<Scope> sc{{"a", r}};
    const bool distinct = coin(20);
    const int n = 1 + pick(4);
    t.add(distinct ? "SELECT DISTINCT " : "SELECT ");
    for (int i = 0; i < n; ++i) {
      t.add(i ? ", " : "");
      t.add(item(sc));
      t.add(name_item("c", i, true));
    }
    t.add(" FROM ");
    rel_ref(r->name, "a", &t);
    if (coin(80)) {
      t.add(" WHERE ");
      t.add(predicate(sc, 2));
    }
    t.add(order_limit(n, true));
    return t;
  }

  if (shape == 2) {  // aggregation
    const Rel* r = rel(one(names).first);
    std::vector<Scope> sc{{"a", r}};
    const int g = pick(3);
    std::vector<std::string> keys;
    for (int i = 0; i < g; ++i) keys.push_back(qual(sc[0], one(r->cols)));
    t.add("SELECT ");
    int ncols = 0;
    for (const auto& k : keys) t.add(std::string(ncols++ ? ", " : "") + k);
    const int naggs = 1 + pick(3);
    for (int i = 0; i < naggs; ++i) {
      std::string agg;
      switch (pick(6)) {
        case 0:
          agg = "count(*)";
          break;
        case 1:
          agg = "count(" + qual(sc[0], one(r->cols)) + ")";
          break;
        case 2:
          agg = has_int(*r) ? "sum(" + qual(sc[0], col_of(*r, Kind::Int)) + ")" : "count(*)";
          break;
        case 3:
          agg = "min(" + qual(sc[0], one(r->cols)) + ")";
          break;
        case 4:
          agg = "max(" + qual(sc[0], one(r->cols)) + ")";
          break;
        default:
          agg = has_int(*r) ? "avg(" + qual(sc[0], col_of(*r, Kind::Int)) + ")" : "count(*)";
          break;
      }
      t.add(std::string(ncols++ ? ", " : "") + agg + name_item("x", i, true));
    }
    t.add(" FROM ");
    rel_ref(r->name, "a", &t);
    if (coin(60)) {
      t.add(" WHERE ");
      t.add(predicate(sc, 1));
    }
    if (!keys.empty()) {
      t.add(" GROUP BY ");
      for (size_t i = 0; i < keys.size(); ++i) t.add((i ? ", " : "") + keys[i]);
    }
    t.add(order_limit(ncols, false));
    return t;
  }

  if (shape == 8) {  // derived table, referenced through its output names
    const Rel* r = rel(one(names).first);
    std::vector<Scope> sc{{"a", r}};
    const int n = 1 + pick(3);
    t.add("SELECT ");
    for (int i = 0; i < n; ++i) t.add(std::string(i ? ", " : "") + "c" + std::to_string(i));
    t.add(" FROM (SELECT ");
    for (int i = 0; i < n; ++i) {
      t.add(i ? ", " : "");
      t.add(item(sc));
      t.add(name_item("c", i, false));
    }
    t.add(" FROM ");
    rel_ref(r->name, "a", &t);
    if (coin(70)) {
      t.add(" WHERE ");
      t.add(predicate(sc, 1));
    }
    t.add(") d");
    if (coin(50)) t.add(coin(50) ? " WHERE c0 IS NOT NULL" : " WHERE c0 IS NULL OR c0 = c0");
    t.add(order_limit(n, true));
    return t;
  }

  if (shape == 10) {  // a VALUES table joined to a relation
    const Rel* r = rel("tables");
    t.add("SELECT v.k AS c0, a.table_schema AS c1, v.n AS c2 FROM (VALUES ('orders', 1), "
          "('Orders', 2), (NULL, 3), ('a_b', 4), ('nosuch', 5)) AS v(n, k)");
    static const std::vector<std::string> kinds = {" JOIN ", " LEFT JOIN ", " RIGHT JOIN ",
                                                   " FULL JOIN "};
    t.add(one(kinds));
    rel_ref(r->name, "a", &t);
    t.add(" ON a.table_name = v.n");
    if (coin(50)) {
      t.add(" WHERE ");
      t.add(predicate({{"a", r}}, 1));
    }
    t.add(order_limit(3, false));
    return t;
  }

  const Joinable& j = one(joinables());
  const Rel* l = rel(j.left);
  const Rel* r = rel(j.right);
  std::vector<Scope> both{{"a", l}, {"b", r}};
  std::vector<Scope> left_only{{"a", l}};
  std::vector<Scope> right_only{{"b", r}};
  const size_t nkeys = 1 + static_cast<size_t>(pick(static_cast<int>(j.keys.size())));
  auto key_eq = [&](size_t i) {
    return "a." + std::string(j.keys[i].first) + " = b." + std::string(j.keys[i].second);
  };

  if (shape == 9) {  // USING: keys of the same name on both sides
    std::vector<std::string> using_cols;
    for (const auto& k : j.keys) {
      if (std::string(k.first) == k.second) using_cols.push_back(k.first);
    }
    if (using_cols.empty()) return statement();
    static const std::vector<std::string> kinds = {" JOIN ", " LEFT JOIN ", " RIGHT JOIN ",
                                                   " FULL JOIN "};
    t.add("SELECT " + using_cols[0] + " AS c0, a." + using_cols[0] + " AS c1, b." +
          using_cols[0] + " AS c2");
    t.add(", ");
    t.add(item(both));
    t.add(" AS c3 FROM ");
    rel_ref(l->name, "a", &t);
    t.add(one(kinds));
    rel_ref(r->name, "b", &t);
    t.add(" USING (");
    for (size_t i = 0; i < using_cols.size(); ++i) t.add((i ? ", " : "") + using_cols[i]);
    t.add(")");
    if (coin(40)) {
      t.add(" WHERE ");
      t.add(predicate(both, 1));
    }
    t.add(order_limit(4, true));
    return t;
  }

  if (shape <= 4) {  // explicit or comma join
    const int n = 1 + pick(4);
    const bool distinct = coin(15);
    t.add(distinct ? "SELECT DISTINCT " : "SELECT ");
    for (int i = 0; i < n; ++i) {
      t.add(i ? ", " : "");
      t.add(item(both));
      t.add(name_item("c", i, true));
    }
    t.add(" FROM ");
    if (shape == 4) {
      rel_ref(l->name, "a", &t);
      t.add(", ");
      rel_ref(r->name, "b", &t);
      t.add(" WHERE ");
      for (size_t i = 0; i < nkeys; ++i) t.add((i ? " AND " : "") + key_eq(i));
      if (coin(60)) {
        t.add(" AND ");
        t.add(predicate(both, 1));
      }
    } else {
      static const std::vector<std::string> kinds = {" JOIN ", " INNER JOIN ", " LEFT JOIN ",
                                                     " RIGHT JOIN ", " FULL JOIN "};
      rel_ref(l->name, "a", &t);
      t.add(one(kinds));
      rel_ref(r->name, "b", &t);
      t.add(" ON ");
      for (size_t i = 0; i < nkeys; ++i) t.add((i ? " AND " : "") + key_eq(i));
      if (coin(40)) {
        t.add(" AND ");
        t.add(atom(coin(50) ? right_only : both));
      }
      if (coin(50)) {
        t.add(" WHERE ");
        t.add(predicate(both, 1));
      }
    }
    t.add(order_limit(n, true));
    return t;
  }

  // Subqueries over the outer table a.
  const int n = 1 + pick(3);
  t.add("SELECT ");
  for (int i = 0; i < n; ++i) {
    t.add(i ? ", " : "");
    t.add(item(left_only));
    t.add(name_item("c", i, true));
  }
  if (shape == 7 && coin(50)) {
    t.add(", (SELECT count(*) FROM ");
    rel_ref(r->name, "b", &t);
    t.add(" WHERE ");
    t.add(predicate(right_only, 1));
    t.add(") AS cs");
    t.add(" FROM ");
    rel_ref(l->name, "a", &t);
    t.add(order_limit(n + 1, false));
    return t;
  }
  t.add(" FROM ");
  rel_ref(l->name, "a", &t);
  t.add(" WHERE ");
  if (coin(40)) {
    t.add(predicate(left_only, 1));
    t.add(" AND ");
  }
  if (shape == 5) {
    t.add(coin(50) ? "EXISTS (SELECT 1 FROM " : "NOT EXISTS (SELECT 1 FROM ");
    rel_ref(r->name, "b", &t);
    t.add(" WHERE ");
    for (size_t i = 0; i < nkeys; ++i) t.add((i ? " AND " : "") + key_eq(i));
    t.add(")");
  } else if (shape == 6) {
    t.add("a." + std::string(j.keys[0].first) + (coin(50) ? " NOT IN " : " IN ") +
          "(SELECT b." + j.keys[0].second + " FROM ");
    rel_ref(r->name, "b", &t);
    if (coin(60)) {
      t.add(" WHERE ");
      t.add(predicate(right_only, 1));
    }
    t.add(")");
  } else {
    const Col& c = col_of(*r, Kind::Str);
    t.add("a." + std::string(j.keys[0].first) + " = (SELECT " + (coin(50) ? "min" : "max") +
          "(b." + j.keys[0].second + ") FROM ");
    rel_ref(r->name, "b", &t);
    t.add(" WHERE b." + c.name + " IS NOT NULL)");
  }
  t.add(order_limit(n, true));
  return t;
}

// SELECT of the given columns of r (aliased c0, c1, ...) with an optional WHERE.
Target Gen::single_select(const Rel& r, const std::vector<Col>& cols, bool where) {
  Target t;
  std::vector<Scope> sc{{"a", &r}};
  t.add("SELECT ");
  for (size_t i = 0; i < cols.size(); ++i) {
    t.add((i ? ", " : "") + qual(sc[0], cols[i]) + name_item("c", static_cast<int>(i), false));
  }
  t.add(" FROM ");
  rel_ref(r.name, "a", &t);
  if (where) {
    t.add(" WHERE ");
    t.add(predicate(sc, 1));
  }
  return t;
}

Target Gen::widened(int shape) {
  const auto& names = shapes();
  auto rel = [&](const std::string& n) { return rels_.at(n); };
  Target t;
  if (shape == 11) {  // ORDER BY expressions over columns that are not selected
    const Rel* r = rel(one(names).first);
    std::vector<Scope> sc{{"a", r}};
    const int n = 1 + pick(3);
    t.add("SELECT ");
    for (int i = 0; i < n; ++i) {
      t.add(i ? ", " : "");
      t.add(item(sc));
      t.add(name_item("c", i, true));
    }
    t.add(" FROM ");
    rel_ref(r->name, "a", &t);
    if (coin(50)) {
      t.add(" WHERE ");
      t.add(predicate(sc, 1));
    }
    // A hidden key first, then every output column, so that the order is total on outputs.
    t.add(" ORDER BY ");
    t.add(item(sc));
    t.add(coin(50) ? " DESC" : "");
    for (int i = 1; i <= n; ++i) t.add(", " + std::to_string(i) + (coin(50) ? " DESC" : ""));
    if (coin(40)) t.add(" LIMIT " + std::to_string(1 + pick(6)));
    return t;
  }
  if (shape == 12) {  // aggregation: HAVING, DISTINCT, expressions, CAST, string_agg
    const Rel* r = rel(one(names).first);
    std::vector<Scope> sc{{"a", r}};
    const Col& key = col_of(*r, Kind::Str);
    const bool grouped = coin(75);
    std::vector<std::string> aggs;
    const Col& s1 = col_of(*r, Kind::Str);
    const int naggs = 1 + pick(3);
    for (int i = 0; i < naggs; ++i) {
      switch (pick(8)) {
        case 0:
          aggs.push_back("count(DISTINCT " + qual(sc[0], one(r->cols)) + ")");
          break;
        case 1:
          aggs.push_back(has_int(*r) ? "sum(" + qual(sc[0], col_of(*r, Kind::Int)) + " * 2 + 1)"
                                     : "count(*)");
          break;
        case 2:
          aggs.push_back("max(upper(" + qual(sc[0], s1) + "))");
          break;
        case 3:
          aggs.push_back("CAST(count(*) AS varchar)");
          break;
        case 4:
          aggs.push_back("string_agg(" + qual(sc[0], s1) + ", ','" +
                         (coin(70) ? " ORDER BY " + qual(sc[0], s1) + (coin(50) ? " DESC" : "")
                                   : "") +
                         ")");
          break;
        case 5:
          aggs.push_back("count(*) + 1");
          break;
        case 6:
          aggs.push_back("min(coalesce(" + qual(sc[0], s1) + ", 'none'))");
          break;
        default:
          aggs.push_back(has_int(*r) ? "avg(" + qual(sc[0], col_of(*r, Kind::Int)) + ")"
                                     : "count(" + qual(sc[0], s1) + ")");
          break;
      }
    }
    // string_agg without ORDER BY has no defined order: keep it out of comparisons.
    for (auto& a : aggs) {
      if (a.rfind("string_agg", 0) == 0 && a.find("ORDER BY") == std::string::npos) {
        a = "count(*)";
      }
    }
    t.add("SELECT ");
    int ncols = 0;
    if (grouped) t.add(std::string(ncols++ ? ", " : "") + qual(sc[0], key) + " AS g");
    for (size_t i = 0; i < aggs.size(); ++i) {
      t.add(std::string(ncols++ ? ", " : "") + aggs[i] + name_item("x", static_cast<int>(i), true));
    }
    t.add(" FROM ");
    rel_ref(r->name, "a", &t);
    if (coin(40)) {
      t.add(" WHERE ");
      t.add(predicate(sc, 1));
    }
    if (grouped) t.add(" GROUP BY " + qual(sc[0], key));
    if (coin(50)) {
      t.add(coin(50) ? " HAVING count(*) > " + std::to_string(pick(3))
                     : " HAVING min(" + qual(sc[0], s1) + ") IS NOT NULL");
    }
    if (grouped && coin(50)) {
      // ORDER BY an aggregate that may not be selected, then the key: a total order.
      t.add(" ORDER BY count(*)" + std::string(coin(50) ? " DESC" : "") + ", 1");
    }
    return t;
  }
  if (shape == 13) {  // correlated [NOT] EXISTS with residuals, over derived and VALUES tables
    const Joinable& j = one(joinables());
    const Rel* l = rel(j.left);
    const Rel* r = rel(j.right);
    std::vector<Scope> left_only{{"a", l}};
    t.add("SELECT ");
    t.add(item(left_only));
    t.add(" AS c0, a." + std::string(j.keys[0].first) + " AS c1 FROM ");
    rel_ref(l->name, "a", &t);
    t.add(coin(50) ? " WHERE EXISTS (SELECT 1 FROM " : " WHERE NOT EXISTS (SELECT 1 FROM ");
    const int inner = pick(3);
    if (inner == 0) {
      rel_ref(r->name, "b", &t);
    } else if (inner == 1) {
      t.add("(SELECT * FROM ");
      rel_ref(r->name, "x", &t);
      t.add(") b");
    } else {
      t.add("(VALUES ('orders'), ('a_b'), (NULL)) v(n), ");
      rel_ref(r->name, "b", &t);
    }
    t.add(" WHERE b." + std::string(j.keys[0].second) + " = a." + j.keys[0].first);
    if (coin(60)) {
      // A residual over the inner side, written unqualified where the outer side has the same
      // column (the inner one is meant).
      const Col& c = col_of(*r, Kind::Str);
      t.add(" AND " + (coin(50) ? c.name : "b." + c.name) + " <> " + str_lit(c));
    }
    if (coin(30) && has_int(*r) && has_int(*l)) {
      t.add(" AND b." + col_of(*r, Kind::Int).name + " >= a." + col_of(*l, Kind::Int).name);
    }
    if (inner == 2) t.add(coin(50) ? " AND v.n = b." + std::string(j.keys[0].second) : "");
    t.add(")");
    t.add(order_limit(2, true));
    return t;
  }
  if (shape == 14) {  // correlated IN and scalar subqueries
    const Joinable& j = one(joinables());
    const Rel* l = rel(j.left);
    const Rel* r = rel(j.right);
    std::vector<Scope> left_only{{"a", l}};
    std::vector<Scope> right_only{{"b", r}};
    const std::string corr =
        "b." + std::string(j.keys[0].second) + " = a." + std::string(j.keys[0].first);
    t.add("SELECT a." + std::string(j.keys[0].first) + " AS c0");
    if (coin(60)) {
      // Aggregates, and a bare column (an error where a key has two rows).
      static const std::vector<std::string> aggs = {"count(*)", "count(b.KEY)", "min(b.KEY)",
                                                    "max(b.KEY)", "b.KEY"};
      std::string agg = one(aggs);
      size_t p = agg.find("KEY");
      if (p != std::string::npos) agg.replace(p, 3, j.keys[0].second);
      t.add(", (SELECT " + agg + " FROM ");
      rel_ref(r->name, "b", &t);
      t.add(" WHERE " + corr);
      if (coin(50)) {
        t.add(" AND ");
        t.add(atom(right_only));
      }
      t.add(") AS c1 FROM ");
      rel_ref(l->name, "a", &t);
      t.add(order_limit(2, true));
      return t;
    }
    t.add(", ");
    t.add(item(left_only));
    t.add(" AS c1 FROM ");
    rel_ref(l->name, "a", &t);
    t.add(" WHERE a." + std::string(j.keys[0].first) + " IN (SELECT b." + j.keys[0].second +
          " FROM ");
    rel_ref(r->name, "b", &t);
    t.add(" WHERE ");
    t.add(atom(right_only));
    if (j.keys.size() > 1) {
      t.add(" AND b." + std::string(j.keys[1].second) + " = a." + j.keys[1].first + ")");
    } else {
      t.add(" AND b." + std::string(j.keys[0].second) + " IS NOT NULL AND a." +
            j.keys[0].first + " IS NOT NULL)");
    }
    t.add(order_limit(2, true));
    return t;
  }
  if (shape == 15) {  // set operations over two selects of string columns
    const Rel* l = rel(one(names).first);
    const Rel* r = rel(one(names).first);
    const int n = 1 + pick(2);
    std::vector<Col> lc, rc;
    for (int i = 0; i < n; ++i) {
      lc.push_back(col_of(*l, Kind::Str));
      rc.push_back(col_of(*r, Kind::Str));
    }
    static const std::vector<std::string> ops = {" UNION ", " UNION ALL ", " INTERSECT ",
                                                 " INTERSECT ALL ", " EXCEPT ", " EXCEPT ALL "};
    t.add(single_select(*l, lc, coin(50)));
    t.add(one(ops));
    t.add(single_select(*r, rc, coin(50)));
    t.add(order_limit(n, true));
    return t;
  }
  if (shape == 16) {  // WITH: a CTE used twice
    const Rel* r = rel(one(names).first);
    const Col& c = col_of(*r, Kind::Str);
    t.add("WITH w AS (");
    t.add(single_select(*r, {c, one(r->cols)}, coin(60)));
    t.add(") SELECT x.c0 AS c0, x.c1 AS c1 FROM w x WHERE x.c0 IN (SELECT c0 FROM w WHERE c1 IS "
          "NOT NULL)");
    t.add(order_limit(2, true));
    return t;
  }
  // SELECT without FROM: constants and the engine's scalar functions.
  static const std::vector<std::string> items = {
      "1",          "'a' || 'b'",           "upper('\xc3\xa9x')", "NULLIF(2, 2)",
      "3 BETWEEN 1 AND 4", "coalesce(NULL, 'y')", "length('\xc3\xa9')", "7 / 2",
      "7.0 / 2",    "1.0 / 0",              "9007199254740993",     "2 IS DISTINCT FROM NULL",
      "CASE WHEN 1 < 2 THEN 'y' END"};
  const int n = 1 + pick(3);
  t.add("SELECT ");
  for (int i = 0; i < n; ++i) t.add((i ? ", " : "") + one(items) + name_item("c", i, true));
  if (coin(20)) t.add(" WHERE 1 = " + std::to_string(pick(2)));
  t.reads_nothing = true;
  return t;
}

// Joins and correlated subqueries between catalog relations on their name columns, the outer
// side narrowed by a lookup: the shapes where lookups stand in for hashing and where keys are
// handed to a decorrelated subquery.
Target Gen::lookup_join() {
  const Joinable& j = one(joinables());
  const Rel* l = rels_.at(j.left);
  const Rel* r = rels_.at(j.right);
  const Scope a{"a", l};
  const Scope b{"b", r};
  const size_t nkeys = 1 + static_cast<size_t>(pick(static_cast<int>(j.keys.size())));
  std::string keys;
  for (size_t i = 0; i < nkeys; ++i) {
    keys += (i ? " AND " : "") + std::string("b.") + j.keys[i].second + " = a." + j.keys[i].first;
  }
  const std::string key0 = std::string("a.") + j.keys[0].first;
  const Col& rc = col_of(*r, Kind::Str);
  Target t;
  auto from_a = [&] {
    t.add(" FROM ");
    rel_ref(l->name, "a", &t);
  };
  switch (pick(5)) {
    case 0: {
      static const std::vector<std::string> kinds = {" JOIN ", " LEFT JOIN ", " RIGHT JOIN "};
      t.add("SELECT " + key0 + " AS c0, b." + rc.name + " AS c1");
      from_a();
      t.add(one(kinds));
      rel_ref(r->name, "b", &t);
      t.add(" ON " + keys + " WHERE ");
      t.add(lookup(a));
      if (coin(30)) {
        t.add(" AND ");
        t.add(lookup(b));
      }
      t.add(order_limit(2, true));
      break;
    }
    case 1:
      t.add("SELECT " + key0 + " AS c0, (SELECT " +
            (coin(70) ? std::string("count(*)") : "max(b." + rc.name + ")") + " FROM ");
      rel_ref(r->name, "b", &t);
      t.add(" WHERE " + keys);
      if (coin(50)) {
        t.add(" AND ");
        t.add(atom({b}));
      }
      t.add(") AS c1");
      from_a();
      t.add(" WHERE ");
      t.add(lookup(a));
      t.add(order_limit(2, true));
      break;
    case 2:
      t.add("SELECT " + key0 + " AS c0");
      from_a();
      t.add(" WHERE ");
      t.add(lookup(a));
      t.add(coin(50) ? " AND EXISTS (SELECT 1 FROM " : " AND NOT EXISTS (SELECT 1 FROM ");
      rel_ref(r->name, "b", &t);
      t.add(" WHERE " + keys + ")");
      t.add(order_limit(1, true));
      break;
    case 3:
      t.add("SELECT " + key0 + " AS c0");
      from_a();
      t.add(" WHERE ");
      t.add(lookup(a));
      t.add(" AND " + key0 + (coin(30) ? " NOT IN " : " IN ") + "(SELECT b." + j.keys[0].second +
            " FROM ");
      rel_ref(r->name, "b", &t);
      t.add(" WHERE ");
      t.add(coin(50) ? lookup(b) : atom({b}));
      t.add(")");
      t.add(order_limit(1, true));
      break;
    default:
      t.add("SELECT b." + rc.name + " AS c0, count(*) AS c1");
      from_a();
      t.add(" JOIN ");
      rel_ref(r->name, "b", &t);
      t.add(" ON " + keys + " WHERE ");
      t.add(lookup(a));
      t.add(" GROUP BY b." + rc.name);
      t.add(order_limit(2, true));
      break;
  }
  return t;
}

// Whether the statement's rows are ordered: an ORDER BY outside every parenthesis (one inside
// string_agg or a subquery orders nothing of the result).
bool top_level_order_by(const std::string& sql) {
  int depth = 0;
  bool quoted = false;
  for (size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    if (c == '\'') quoted = !quoted;
    if (quoted) continue;
    if (c == '(') ++depth;
    if (c == ')') --depth;
    if (depth == 0 && sql.compare(i, 9, " ORDER BY") == 0) return true;
  }
  return false;
}

TEST(SqlDifferential, EngineAgreesWithDuckDB) {
  uint64_t seed = 20261208;
  int count = 1500;
  if (const char* s = std::getenv("NV_SQL_DIFF_SEED")) seed = std::strtoull(s, nullptr, 10);
  if (const char* c = std::getenv("NV_SQL_DIFF_COUNT")) count = std::atoi(c);
  std::mt19937_64 rng(seed);
  auto rels = generate_relations(rng);

  // The same relations twice: scanned (some arriving in two batches, which the engine
  // combines), and with the catalog's name lookups (the nine shapes are the snapshot's result
  // sets, in its order).
  MetadataEngine scanned, indexed;
  Duck duck;
  ASSERT_TRUE(DuckResult(duck.con, "CREATE SCHEMA nvis").ok);
  norvale::adbc::SnapshotBatches snapshot;
  for (size_t k = 0; k < rels.size(); ++k) {
    const Rel& r = rels[k];
    auto batch = to_batch(r);
    snapshot[k] = batch;
    std::vector<std::shared_ptr<arrow::RecordBatch>> parts{batch};
    if (batch->num_rows() > 4 && r.name.size() % 2 == 0) {
      parts = {batch->Slice(0, 3), batch->Slice(3)};
    }
    ASSERT_TRUE(
        scanned.register_relation("information_schema." + r.name, batch->schema(), parts));
    ASSERT_TRUE(testing::load_table(duck.con, "nvis", r.name, *batch).ok());
  }
  nvtest::register_snapshot(&indexed, snapshot, true);

  Gen gen(rng, rels);
  struct Tally {
    const char* name;
    const MetadataEngine* engine;
    int answered = 0, declined = 0, errors = 0;
  };
  Tally tallies[] = {{"scanned", &scanned}, {"indexed", &indexed}};
  int failures = 0;
  std::map<std::string, int> reasons;
  const uint64_t uses_before = index_uses_for_test();
  const bool print = std::getenv("NV_SQL_DIFF_PRINT") != nullptr;
  for (int i = 0; i < count && failures < 10; ++i) {
    Target t = gen.statement();
    if (print) std::printf("%d: %s\n", i, t.engine.c_str());
    std::optional<std::vector<std::string>> want;
    std::string want_columns;
    for (Tally& tally : tallies) {
      auto res = tally.engine->try_execute(t.engine);
      if (res.status == ExecuteStatus::Declined) {
        ++tally.declined;
        if (&tally == &tallies[0]) ++reasons[res.decline_reason.substr(0, 40)];
        continue;
      }
      if (res.status == ExecuteStatus::Error) {
        ++tally.errors;
        if (&tally == &tallies[0]) ++reasons[res.error_message.substr(0, 40)];
        continue;
      }
      ++tally.answered;
      if (t.reads_nothing) {
        ADD_FAILURE() << "seed " << seed << " statement " << i << ": the " << tally.name
                      << " engine answered a statement without FROM\n" << t.engine;
        ++failures;
        continue;
      }
      if (!want) {
        DuckResult dres(duck.con, t.duck);
        if (!dres.ok) {
          ADD_FAILURE() << "seed " << seed << " statement " << i << ": DuckDB failed where the "
                        << tally.name << " engine answered\n" << t.engine << "\n" << dres.error();
          ++failures;
          break;
        }
        auto answer = testing::duck_answer(dres);
        if (!answer.ok()) {
          ADD_FAILURE() << "seed " << seed << " statement " << i << ": DuckDB's answer not "
                        << "read: " << answer.status().ToString() << "\n" << t.engine;
          ++failures;
          break;
        }
        want = std::move(answer->rows);
        want_columns = columns_of(*answer->schema);
      }
      const auto& batch = *res.batches.at(0);
      std::vector<std::string> got = rows_of(batch);
      std::vector<std::string> expected = *want;
      if (!top_level_order_by(t.engine)) {
        std::sort(got.begin(), got.end());
        std::sort(expected.begin(), expected.end());
      }
      // Names and types as the node gives them, not only the rows.
      const std::string got_columns = columns_of(*batch.schema());
      if (got != expected || got_columns != want_columns) {
        std::ostringstream os;
        os << "seed " << seed << " statement " << i << " (" << tally.name << "):\n"
           << t.engine << "\nengine columns: " << got_columns << "\nduckdb columns: "
           << want_columns << "\nengine (" << got.size() << " rows):\n";
        for (size_t k = 0; k < std::min<size_t>(got.size(), 12); ++k) os << "  " << got[k] << "\n";
        os << "duckdb (" << expected.size() << " rows):\n";
        for (size_t k = 0; k < std::min<size_t>(expected.size(), 12); ++k) {
          os << "  " << expected[k] << "\n";
        }
        ADD_FAILURE() << os.str();
        ++failures;
      }
    }
  }
  const uint64_t uses = index_uses_for_test() - uses_before;
  std::printf("differential: seed %llu, %d statements, %llu lookups in place of scans\n",
              static_cast<unsigned long long>(seed), count, static_cast<unsigned long long>(uses));
  for (const Tally& tally : tallies) {
    std::printf("  %s: %d answered, %d declined, %d engine errors\n", tally.name, tally.answered,
                tally.declined, tally.errors);
  }
  for (const auto& [reason, n] : reasons) std::printf("  %5d  %s\n", n, reason.c_str());
  // The generator stays inside the subset: most statements must be answered, and the lookups
  // must be taken.
  EXPECT_GT(tallies[0].answered, count * 7 / 10);
  EXPECT_GT(tallies[1].answered, count * 7 / 10);
  EXPECT_GT(uses, static_cast<uint64_t>(count / 10));
}

}  // namespace
}  // namespace nv_sql
