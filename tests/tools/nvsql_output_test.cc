#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include <arrow/api.h>

#include "tools/nvsql/output.h"

namespace {

std::shared_ptr<arrow::RecordBatch> sample() {
  arrow::Int64Builder ids;
  (void)ids.AppendValues({1, 22});
  arrow::StringBuilder names;
  (void)names.Append("a\nb");
  (void)names.AppendNull();
  arrow::BinaryBuilder blobs;
  (void)blobs.Append(std::string("\x01\xff", 2));
  (void)blobs.Append("");
  auto schema = arrow::schema({arrow::field("id", arrow::int64()),
                               arrow::field("name", arrow::utf8()),
                               arrow::field("blob", arrow::binary())});
  return arrow::RecordBatch::Make(schema, 2,
                                  {ids.Finish().ValueOrDie(), names.Finish().ValueOrDie(),
                                   blobs.Finish().ValueOrDie()});
}

TEST(NvsqlOutput, CellText) {
  const auto batch = sample();
  EXPECT_EQ(nvsql::cell_text(*batch->column(0), 1), "22");
  EXPECT_EQ(nvsql::cell_text(*batch->column(1), 0), "a\\nb");
  EXPECT_EQ(nvsql::cell_text(*batch->column(1), 1), "NULL");
  EXPECT_EQ(nvsql::cell_text(*batch->column(2), 0), "\\x01ff");
  EXPECT_EQ(nvsql::cell_text(*batch->column(2), 1), "\\x");
}

TEST(NvsqlOutput, NestedCells) {
  auto list_type = arrow::list(arrow::int32());
  std::shared_ptr<arrow::Array> lists;
  {
    arrow::ListBuilder b(arrow::default_memory_pool(), std::make_shared<arrow::Int32Builder>());
    auto& values = static_cast<arrow::Int32Builder&>(*b.value_builder());
    (void)b.Append();
    (void)values.AppendValues({1, 2});
    (void)values.AppendNull();
    (void)b.AppendNull();
    (void)b.Append();
    lists = b.Finish().ValueOrDie();
  }
  EXPECT_EQ(nvsql::cell_text(*lists, 0), "[1, 2, NULL]");
  EXPECT_EQ(nvsql::cell_text(*lists, 1), "NULL");
  EXPECT_EQ(nvsql::cell_text(*lists, 2), "[]");

  arrow::Int32Builder xs;
  (void)xs.AppendValues({7, 8});
  arrow::StringBuilder ys;
  (void)ys.Append("p");
  (void)ys.AppendNull();
  auto structs = arrow::StructArray::Make({xs.Finish().ValueOrDie(), ys.Finish().ValueOrDie()},
                                          std::vector<std::string>{"x", "y"})
                     .ValueOrDie();
  EXPECT_EQ(nvsql::cell_text(*structs, 0), "{x: 7, y: p}");
  EXPECT_EQ(nvsql::cell_text(*structs->Slice(1), 0), "{x: 8, y: NULL}") << "slices keep offsets";
}

TEST(NvsqlOutput, AlignedTableWithRowLimit) {
  std::ostringstream out;
  auto sink = nvsql::make_table_sink(out, nvsql::TableLayout{1});
  const auto batch = sample();
  ASSERT_TRUE(sink->begin(batch->schema()).ok());
  ASSERT_TRUE(sink->write(*batch).ok());
  ASSERT_TRUE(sink->finish().ok());
  EXPECT_EQ(out.str(),
            "id    | name   | blob\n"
            "int64 | string | binary\n"
            "------+--------+-------\n"
            "    1 | a\\nb   | \\x01ff\n"
            "(1 of 2 rows shown; see --max-rows)\n");
}

}  // namespace
