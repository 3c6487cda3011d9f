#include "tools/nvsql/output.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <vector>

#include <arrow/api.h>
#include <arrow/csv/writer.h>
#include <arrow/io/file.h>
#include <arrow/io/stdio.h>
#include <arrow/ipc/writer.h>
#include <parquet/arrow/writer.h>

namespace nvsql {
namespace {

bool right_aligned(const arrow::DataType& type) {
  return arrow::is_integer(type.id()) || arrow::is_floating(type.id()) ||
         arrow::is_decimal(type.id());
}

std::string hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out = "\\x";
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

// Display width of UTF-8 text: one column per code point.
size_t width(std::string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

class TableSink : public ResultSink {
 public:
  TableSink(std::ostream& out, int64_t max_rows) : out_(out), max_rows_(max_rows) {}

  arrow::Status begin(const std::shared_ptr<arrow::Schema>& schema) override {
    schema_ = schema;
    for (const auto& field : schema->fields()) {
      names_.push_back(field->name());
      types_.push_back(field->type()->ToString());
      numeric_.push_back(right_aligned(*field->type()));
      widths_.push_back(std::max(width(names_.back()), width(types_.back())));
    }
    return arrow::Status::OK();
  }

  arrow::Status write(const arrow::RecordBatch& batch) override {
    for (int64_t r = 0; r < batch.num_rows(); ++r, ++total_) {
      if (max_rows_ >= 0 && static_cast<int64_t>(rows_.size()) >= max_rows_) continue;
      std::vector<std::string> row;
      for (int c = 0; c < batch.num_columns(); ++c) {
        row.push_back(cell_text(*batch.column(c), r));
        widths_[c] = std::max(widths_[c], width(row.back()));
      }
      rows_.push_back(std::move(row));
    }
    return arrow::Status::OK();
  }

  arrow::Status finish() override {
    if (names_.empty()) return arrow::Status::OK();
    print_line(names_, /*align_numbers=*/false);
    print_line(types_, /*align_numbers=*/false);
    for (size_t c = 0; c < widths_.size(); ++c) {
      if (c > 0) out_ << "-+-";
      out_ << std::string(widths_[c], '-');
    }
    out_ << '\n';
    for (const auto& row : rows_) print_line(row, /*align_numbers=*/true);
    if (total_ > static_cast<int64_t>(rows_.size())) {
      out_ << "(" << rows_.size() << " of " << total_ << " rows shown; see --max-rows)\n";
    }
    out_.flush();
    return arrow::Status::OK();
  }

 private:
  void print_line(const std::vector<std::string>& cells, bool align_numbers) {
    for (size_t c = 0; c < cells.size(); ++c) {
      if (c > 0) out_ << " | ";
      const std::string pad(widths_[c] - width(cells[c]), ' ');
      const bool right = align_numbers && numeric_[c] && cells[c] != "NULL";
      if (right) out_ << pad << cells[c];
      else if (c + 1 < cells.size()) out_ << cells[c] << pad;
      else out_ << cells[c];
    }
    out_ << '\n';
  }

  std::ostream& out_;
  int64_t max_rows_;
  std::shared_ptr<arrow::Schema> schema_;
  std::vector<std::string> names_;
  std::vector<std::string> types_;
  std::vector<bool> numeric_;
  std::vector<size_t> widths_;
  std::vector<std::vector<std::string>> rows_;
  int64_t total_ = 0;
};

// A table written to a file it owns.
class FileTableSink : public ResultSink {
 public:
  explicit FileTableSink(std::unique_ptr<std::ofstream> file, int64_t max_rows)
      : file_(std::move(file)), table_(*file_, max_rows) {}
  arrow::Status begin(const std::shared_ptr<arrow::Schema>& s) override { return table_.begin(s); }
  arrow::Status write(const arrow::RecordBatch& b) override { return table_.write(b); }
  arrow::Status finish() override {
    ARROW_RETURN_NOT_OK(table_.finish());
    file_->close();
    return file_->fail() ? arrow::Status::IOError("write failed") : arrow::Status::OK();
  }

 private:
  std::unique_ptr<std::ofstream> file_;
  TableSink table_;
};

// CSV and Arrow IPC files: an Arrow record batch writer made once the schema is known.
class BatchWriterSink : public ResultSink {
 public:
  using MakeWriter = arrow::Result<std::shared_ptr<arrow::ipc::RecordBatchWriter>> (*)(
      std::shared_ptr<arrow::io::OutputStream>, const std::shared_ptr<arrow::Schema>&);

  BatchWriterSink(std::shared_ptr<arrow::io::OutputStream> out, MakeWriter make)
      : out_(std::move(out)), make_(make) {}
  arrow::Status begin(const std::shared_ptr<arrow::Schema>& schema) override {
    ARROW_ASSIGN_OR_RAISE(writer_, make_(out_, schema));
    return arrow::Status::OK();
  }
  arrow::Status write(const arrow::RecordBatch& batch) override {
    return writer_->WriteRecordBatch(batch);
  }
  arrow::Status finish() override {
    ARROW_RETURN_NOT_OK(writer_->Close());
    return out_->Close();
  }

 private:
  std::shared_ptr<arrow::io::OutputStream> out_;
  MakeWriter make_;
  std::shared_ptr<arrow::ipc::RecordBatchWriter> writer_;
};

arrow::Result<std::shared_ptr<arrow::ipc::RecordBatchWriter>> make_csv_writer(
    std::shared_ptr<arrow::io::OutputStream> out, const std::shared_ptr<arrow::Schema>& schema) {
  return arrow::csv::MakeCSVWriter(std::move(out), schema);
}

arrow::Result<std::shared_ptr<arrow::ipc::RecordBatchWriter>> make_ipc_file_writer(
    std::shared_ptr<arrow::io::OutputStream> out, const std::shared_ptr<arrow::Schema>& schema) {
  return arrow::ipc::MakeFileWriter(std::move(out), schema);
}

class ParquetSink : public ResultSink {
 public:
  explicit ParquetSink(std::shared_ptr<arrow::io::OutputStream> out) : out_(std::move(out)) {}
  arrow::Status begin(const std::shared_ptr<arrow::Schema>& schema) override {
    ARROW_ASSIGN_OR_RAISE(writer_, parquet::arrow::FileWriter::Open(
                                       *schema, arrow::default_memory_pool(), out_));
    return arrow::Status::OK();
  }
  arrow::Status write(const arrow::RecordBatch& batch) override {
    return writer_->WriteRecordBatch(batch);
  }
  arrow::Status finish() override {
    ARROW_RETURN_NOT_OK(writer_->Close());
    return out_->Close();
  }

 private:
  std::shared_ptr<arrow::io::OutputStream> out_;
  std::unique_ptr<parquet::arrow::FileWriter> writer_;
};

}  // namespace

namespace {

template <typename ListArray>
std::string list_text(const ListArray& list, int64_t row) {
  const auto values = list.value_slice(row);
  std::string out = "[";
  for (int64_t i = 0; i < values->length(); ++i) {
    if (i > 0) out += ", ";
    out += cell_text(*values, i);
  }
  return out + "]";
}

std::string map_text(const arrow::MapArray& map, int64_t row) {
  const int64_t begin = map.value_offset(row);
  const int64_t end = map.value_offset(row + 1);
  std::string out = "{";
  for (int64_t i = begin; i < end; ++i) {
    if (i > begin) out += ", ";
    out += cell_text(*map.keys(), i) + ": " + cell_text(*map.items(), i);
  }
  return out + "}";
}

std::string struct_text(const arrow::StructArray& st, int64_t row) {
  std::string out = "{";
  for (int f = 0; f < st.num_fields(); ++f) {
    if (f > 0) out += ", ";
    out += st.struct_type()->field(f)->name() + ": " + cell_text(*st.field(f), row);
  }
  return out + "}";
}

}  // namespace

std::string cell_text(const arrow::Array& array, int64_t row) {
  if (array.IsNull(row)) return "NULL";
  switch (array.type_id()) {
    case arrow::Type::LIST:
      return list_text(static_cast<const arrow::ListArray&>(array), row);
    case arrow::Type::LARGE_LIST:
      return list_text(static_cast<const arrow::LargeListArray&>(array), row);
    case arrow::Type::FIXED_SIZE_LIST:
      return list_text(static_cast<const arrow::FixedSizeListArray&>(array), row);
    case arrow::Type::MAP:
      return map_text(static_cast<const arrow::MapArray&>(array), row);
    case arrow::Type::STRUCT:
      return struct_text(static_cast<const arrow::StructArray&>(array), row);
    case arrow::Type::STRING:
      return escape_controls(static_cast<const arrow::StringArray&>(array).GetView(row));
    case arrow::Type::LARGE_STRING:
      return escape_controls(static_cast<const arrow::LargeStringArray&>(array).GetView(row));
    case arrow::Type::BINARY:
      return hex(static_cast<const arrow::BinaryArray&>(array).GetView(row));
    case arrow::Type::LARGE_BINARY:
      return hex(static_cast<const arrow::LargeBinaryArray&>(array).GetView(row));
    case arrow::Type::FIXED_SIZE_BINARY:
      return hex(static_cast<const arrow::FixedSizeBinaryArray&>(array).GetView(row));
    default:
      break;
  }
  auto scalar = array.GetScalar(row);
  if (!scalar.ok()) return "?";
  return escape_controls((*scalar)->ToString());
}

std::unique_ptr<ResultSink> make_table_sink(std::ostream& out, int64_t max_rows) {
  return std::make_unique<TableSink>(out, max_rows);
}

arrow::Result<std::unique_ptr<ResultSink>> make_sink(Format format, const std::string& path,
                                                     int64_t max_rows) {
  if (format == Format::kTable) {
    if (path.empty()) return make_table_sink(std::cout, max_rows);
    auto file = std::make_unique<std::ofstream>(path, std::ios::binary | std::ios::trunc);
    if (!*file) return arrow::Status::IOError("cannot open ", path);
    return std::unique_ptr<ResultSink>(new FileTableSink(std::move(file), max_rows));
  }
  std::shared_ptr<arrow::io::OutputStream> out;
  if (path.empty()) {
    out = std::make_shared<arrow::io::StdoutStream>();
  } else {
    ARROW_ASSIGN_OR_RAISE(out, arrow::io::FileOutputStream::Open(path));
  }
  switch (format) {
    case Format::kCsv:
      return std::unique_ptr<ResultSink>(new BatchWriterSink(out, make_csv_writer));
    case Format::kArrow:
      return std::unique_ptr<ResultSink>(new BatchWriterSink(out, make_ipc_file_writer));
    case Format::kParquet: return std::unique_ptr<ResultSink>(new ParquetSink(out));
    case Format::kTable: break;
  }
  return arrow::Status::Invalid("unknown format");
}

}  // namespace nvsql
