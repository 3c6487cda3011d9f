// Writes the seed inputs of the binary fuzz targets, made from the same kinds of values the
// tests use: framed query streams of batches of many types (frame), snapshot result sets
// (snapshot), and the statements of the SQL behaviour files (sql).
//   nv_fuzz_seeds OUT_DIR SQL_TEST_DIR
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/writer.h>
#include <arrow/json/from_string.h>

namespace {

namespace fs = std::filesystem;

std::shared_ptr<arrow::Array> json(const std::shared_ptr<arrow::DataType>& type,
                                   const std::string& text) {
  return arrow::json::ArrayFromJSONString(type, text).ValueOrDie();
}

std::string ipc(const std::shared_ptr<arrow::RecordBatch>& batch) {
  auto sink = arrow::io::BufferOutputStream::Create().ValueOrDie();
  auto writer = arrow::ipc::MakeStreamWriter(sink, batch->schema()).ValueOrDie();
  (void)writer->WriteRecordBatch(*batch);
  (void)writer->Close();
  return sink->Finish().ValueOrDie()->ToString();
}

std::shared_ptr<arrow::RecordBatch> one_column(const std::shared_ptr<arrow::Array>& a) {
  return arrow::RecordBatch::Make(arrow::schema({arrow::field("c", a->type())}), a->length(),
                                  {a});
}

void put_u32(std::string& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>((v >> s) & 0xFF));
}

std::string frame(uint8_t type, const std::string& payload) {
  std::string out(1, static_cast<char>(type));
  out += std::string(3, '\0');
  put_u32(out, static_cast<uint32_t>(payload.size()));
  return out + payload;
}

void write(const fs::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::shared_ptr<arrow::Array>> sample_columns() {
  auto dict = arrow::DictionaryArray::FromArrays(
                  arrow::dictionary(arrow::uint8(), arrow::utf8()),
                  json(arrow::uint8(), "[0, 1, null, 1]"), json(arrow::utf8(), R"(["a", "b"])"))
                  .ValueOrDie();
  return {
      json(arrow::int64(), "[1, -2, null]"),
      json(arrow::utf8(), R"(["x", "\u00e9", null, ""])"),
      json(arrow::binary(), R"(["ab", "", null])"),
      json(arrow::list(arrow::int32()), "[[1, 2], [], null]"),
      json(arrow::struct_({arrow::field("a", arrow::int32()), arrow::field("b", arrow::utf8())}),
           R"([{"a": 1, "b": "x"}, null])"),
      json(arrow::map(arrow::utf8(), arrow::float64()), R"([[["k", 1.5]], null])"),
      dict,
      json(arrow::timestamp(arrow::TimeUnit::NANO, "UTC"), "[0, -1, null]"),
      json(arrow::time64(arrow::TimeUnit::MICRO), "[0, 86399999999]"),
      json(arrow::date32(), "[0, 19782]"),
      json(arrow::decimal128(10, 2), R"(["1.25", "-0.05", null])"),
      json(arrow::float64(), "[0.1, 1e300, null]"),
      json(arrow::month_day_nano_interval(), "[[1, 2, 3]]"),
      json(arrow::fixed_size_list(arrow::int16(), 2), "[[1, 2], null]"),
      json(arrow::sparse_union(
               {arrow::field("i", arrow::int32()), arrow::field("s", arrow::utf8())}, {0, 1}),
           R"([[0, 5], [1, "y"]])"),
      json(arrow::large_utf8(), R"(["big"])"),
      json(arrow::boolean(), "[true, false, null]"),
  };
}

// chunk size byte, staging byte, then INIT, BATCH, EOS.
void frame_seeds(const fs::path& dir) {
  int n = 0;
  for (const auto& column : sample_columns()) {
    std::string body = frame(1, R"({"streamId":"s","resultSets":[{"rowsAffected":3}]})");
    body += frame(2, std::string(8, '\0') + ipc(one_column(column)));
    body += frame(3, std::string(4, '\0'));
    for (const std::string& head : {std::string("\x40\x00", 2), std::string("\x03\x81", 2)}) {
      write(dir / ("batch-" + std::to_string(n++)), head + body);
    }
  }
  write(dir / "error",
        std::string("\x10\x00", 2) + frame(4, R"j({"message":"bad (code: 42)"})j"));
}

// Nine length-prefixed result sets: catalogs, schemata, tables, columns and the rest.
void snapshot_seeds(const fs::path& dir) {
  auto strings = [](const std::vector<std::string>& names, const std::string& rows) {
    arrow::FieldVector fields;
    for (const auto& n : names) fields.push_back(arrow::field(n, arrow::utf8()));
    auto type = arrow::struct_(fields);
    auto s = std::static_pointer_cast<arrow::StructArray>(json(type, rows));
    return arrow::RecordBatch::FromStructArray(s).ValueOrDie();
  };
  std::vector<std::shared_ptr<arrow::RecordBatch>> sets(9);
  sets[0] = strings({"catalog_name"}, R"([{"catalog_name": "db"}])");
  sets[1] = strings({"catalog_name", "schema_name"},
                    R"([{"catalog_name": "db", "schema_name": "s"}])");
  sets[2] = strings({"table_catalog", "table_schema", "table_name", "table_type"},
                    R"([{"table_catalog": "db", "table_schema": "s", "table_name": "t",
                         "table_type": "BASE TABLE"}])");
  sets[3] = strings({"table_catalog", "table_schema", "table_name", "column_name",
                     "ordinal_position", "data_type", "is_nullable"},
                    R"([{"table_catalog": "db", "table_schema": "s", "table_name": "t",
                         "column_name": "id", "ordinal_position": "1", "data_type": "INTEGER",
                         "is_nullable": "NO"}])");
  for (size_t i = 4; i < sets.size(); ++i) sets[i] = strings({"x"}, "[]");
  std::string all;
  for (const auto& b : sets) {
    const std::string bytes = ipc(b);
    all.push_back(static_cast<char>(bytes.size() >> 8));
    all.push_back(static_cast<char>(bytes.size() & 0xFF));
    all += bytes;
  }
  write(dir / "nine", all);
}

// Each statement of the SQL behaviour files: the lines after a header, up to "----" or a blank.
void sql_seeds(const fs::path& dir, const fs::path& tests) {
  int n = 0;
  for (const auto& entry : fs::directory_iterator(tests)) {
    if (entry.path().extension() != ".test") continue;
    std::ifstream in(entry.path());
    std::string line, statement;
    bool in_statement = false;
    auto flush = [&] {
      if (!statement.empty()) write(dir / ("stmt-" + std::to_string(n++)), statement);
      statement.clear();
      in_statement = false;
    };
    while (std::getline(in, line)) {
      if (line.empty() || line == "----") {
        flush();
      } else if (in_statement) {
        statement += (statement.empty() ? "" : "\n") + line;
      } else if (line.rfind("query", 0) == 0 || line.rfind("declined", 0) == 0 ||
                 line.rfind("error", 0) == 0 || line.rfind("statement", 0) == 0) {
        in_statement = true;
      }
    }
    flush();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: nv_fuzz_seeds OUT_DIR SQL_TEST_DIR\n");
    return 2;
  }
  const fs::path out = argv[1];
  for (const char* target : {"frame", "snapshot", "sql"}) fs::create_directories(out / target);
  frame_seeds(out / "frame");
  snapshot_seeds(out / "snapshot");
  sql_seeds(out / "sql", argv[2]);
  return 0;
}
