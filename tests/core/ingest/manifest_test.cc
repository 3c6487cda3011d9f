#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/ingest/ingest_handle_internal.h"
#include "core/ingest/ingest_manifest_internal.h"
#include "util/base64_internal.h"

namespace norvale::ingest {
namespace {

TEST(JsonEscape, EachByteClass) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"a\"b", "a\\\"b"},
      {"a\\b", "a\\\\b"},
      {std::string("\x08\x09\x0a\x0c\x0d"), "\\b\\t\\n\\f\\r"},
      {std::string("\x01\x0b\x1f", 3), "\\u0001\\u000b\\u001f"},
      {std::string(1, '\0'), "\\u0000"},
      {"\x7f", "\x7f"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"/", "/"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(json_escape(c.in), c.out) << "input: " << c.in;
}

TEST(Base64Encode, Rfc4648Vectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xff\xfe\xfd", "//79"},
      {std::string("\0\0", 2), "AAA="},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(norvale::base64_encode(in), out);
  }
}

struct ManifestCase {
  const char* name;
  std::string table, location;
  int32_t mode, format;
  std::vector<std::string> keys;
  std::string schema, idempotency;
  bool coerce;
  std::string expected;
};

TEST(BuildManifest, MemberOrderAndPresence) {
  const ManifestCase cases[] = {
      {"arrow append without keys",
       "t",
       "",
       0,
       0,
       {},
       "abc",
       "",
       true,
       R"({"target_table":"t","mode":"append","payload_format":"arrow_ipc","key_columns":[],)"
       R"("schema_ipc":"YWJj","coerce":true})"},
      {"arrow without schema bytes",
       "t",
       "",
       2,
       0,
       {},
       "",
       "",
       false,
       R"({"target_table":"t","mode":"overwrite","payload_format":"arrow_ipc",)"
       R"("key_columns":[],"coerce":false})"},
      {"parquet never carries the schema",
       "s.t",
       "",
       0,
       1,
       {},
       "abc",
       "",
       true,
       R"({"target_table":"s.t","mode":"append","payload_format":"parquet","key_columns":[],)"
       R"("coerce":true})"},
      {"upsert with keys and idempotency key",
       "t",
       "",
       1,
       0,
       {"id", "region"},
       "a",
       "job-1",
       true,
       R"({"target_table":"t","mode":"upsert","payload_format":"arrow_ipc",)"
       R"("key_columns":["id","region"],"schema_ipc":"YQ==","idempotency_key":"job-1",)"
       R"("coerce":true})"},
      {"land with a location only",
       "",
       "out/day=1",
       3,
       1,
       {},
       "",
       "",
       true,
       R"({"target_location":"out/day=1","mode":"land","payload_format":"parquet",)"
       R"("key_columns":[],"coerce":true})"},
      {"table and location both",
       "t",
       "loc",
       0,
       1,
       {},
       "",
       "k",
       false,
       R"({"target_table":"t","target_location":"loc","mode":"append",)"
       R"("payload_format":"parquet","key_columns":[],"idempotency_key":"k","coerce":false})"},
      {"escaped strings",
       "we\"ird\n",
       "",
       1,
       0,
       {"a\\b", "c\td"},
       "",
       "id\x01",
       true,
       R"({"target_table":"we\"ird\n","mode":"upsert","payload_format":"arrow_ipc",)"
       R"("key_columns":["a\\b","c\td"],"idempotency_key":"id\u0001","coerce":true})"},
  };
  for (const ManifestCase& c : cases) {
    NVIngestHandle h;
    h.target_table = c.table;
    h.target_location = c.location;
    h.mode = c.mode;
    h.payload_format = c.format;
    h.key_columns = c.keys;
    h.schema_bytes.assign(c.schema.begin(), c.schema.end());
    h.idempotency_key = c.idempotency;
    h.coerce = c.coerce;
    EXPECT_EQ(build_manifest(h), c.expected) << c.name;
  }
}

TEST(BuildManifest, NoBlankOrLineBreakOutsideStrings) {
  NVIngestHandle h;
  h.target_table = "t";
  h.key_columns = {"a", "b"};
  h.schema_bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  const std::string m = build_manifest(h);
  EXPECT_EQ(m.find(' '), std::string::npos) << m;
  EXPECT_EQ(m.find('\n'), std::string::npos) << m;
  EXPECT_EQ(m.front(), '{');
  EXPECT_EQ(m.back(), '}');
}

}  // namespace
}  // namespace norvale::ingest
