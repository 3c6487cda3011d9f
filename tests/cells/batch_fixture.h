// Builds NVArrowBatch values from JSON column descriptions for the cell tests.
#pragma once

#include <arrow/api.h>
#include <arrow/json/from_string.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cells/arrow_batch_internal.h"
#include "norvale/nv_cells.h"

struct BatchDeleter {
  void operator()(NVArrowBatch* b) const { nv_batch_free(b); }
};
using BatchPtr = std::unique_ptr<NVArrowBatch, BatchDeleter>;

struct ColumnSpec {
  std::string name;
  std::shared_ptr<arrow::DataType> type;
  std::string json;
};

inline std::shared_ptr<arrow::Array> json_array(const std::shared_ptr<arrow::DataType>& type,
                                                const std::string& json) {
  auto result = arrow::json::ArrayFromJSONString(type, json);
  EXPECT_TRUE(result.ok()) << result.status().ToString();
  return result.ok() ? *result : nullptr;
}

inline BatchPtr batch_of(const std::vector<std::shared_ptr<arrow::Field>>& fields,
                         const std::vector<std::shared_ptr<arrow::Array>>& arrays) {
  const int64_t rows = arrays.empty() ? 0 : arrays[0]->length();
  return BatchPtr(norvale::cells::new_arrow_batch(
      arrow::RecordBatch::Make(arrow::schema(fields), rows, arrays)));
}

inline BatchPtr make_batch(const std::vector<ColumnSpec>& columns) {
  std::vector<std::shared_ptr<arrow::Field>> fields;
  std::vector<std::shared_ptr<arrow::Array>> arrays;
  for (const ColumnSpec& c : columns) {
    fields.push_back(arrow::field(c.name, c.type));
    arrays.push_back(json_array(c.type, c.json));
  }
  return batch_of(fields, arrays);
}

inline BatchPtr single_column(const std::shared_ptr<arrow::DataType>& type,
                              const std::string& json) {
  return make_batch({{"c", type, json}});
}
