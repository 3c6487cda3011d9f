// The ingest target's name: qualified by catalog and schema, and made safe for SQL text.
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "adbc/statement_ingest_internal.h"

namespace norvale::adbc {
namespace {

TEST(IngestTarget, QualifiedNames) {
  struct Case {
    const char* catalog;
    const char* schema;
    const char* table;
    const char* expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, "t", "t"},  // as the host wrote it
      {"", "", "s.t", "s.t"},
      {nullptr, "s", "t", R"("s"."t")"},
      {"c", "s", "t", R"("c"."s"."t")"},
      {"c", nullptr, "t", R"("c"."t")"},
      {nullptr, "my schema", R"(a "b")", R"("my schema"."a ""b""")"},
      {nullptr, "s", nullptr, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ingest_target_name(c.catalog, c.schema, c.table), c.expected) << c.expected;
  }
}

TEST(IngestTarget, QuotedFormForSqlText) {
  struct Case {
    const char* target;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"t", R"("t")"},
      {"s.t", R"("s"."t")"},
      {R"("s"."odd ""name")", R"("s"."odd ""name")"},
      {R"("a.b".c)", R"("a.b"."c")"},
      {"c.s.t", R"("c"."s"."t")"},
      {"t; DROP TABLE x", R"("t; DROP TABLE x")"},
      {R"(t" OR 1=1 --)", std::nullopt},
      {R"("t"x)", std::nullopt},
      {R"("open)", std::nullopt},
      {"a..b", std::nullopt},
      {".t", std::nullopt},
      {"t.", std::nullopt},
      {"a.b.c.d", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quoted_target_name(c.target), c.expected) << c.target;
  }
}

}  // namespace
}  // namespace norvale::adbc
