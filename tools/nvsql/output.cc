#include "tools/nvsql/output.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <vector>

#include <arrow/api.h>
#include <arrow/csv/writer.h>
#include <arrow/io/file.h>
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

// Narrowest a column is cut to when a wide table is sliced.
constexpr size_t kMinColumn = 12;

class TableSink : public ResultSink {
 public:
  TableSink(std::ostream& out, const TableLayout& layout) : out_(out), layout_(layout) {}

  arrow::Status begin(const std::shared_ptr<arrow::Schema>& schema) override {
    for (const auto& field : schema->fields()) {
      names_.push_back(field->name());
      types_.push_back(field->type()->ToString());
      numeric_.push_back(right_aligned(*field->type()));
      widths_.push_back(std::max(width(names_.back()),
                                 layout_.show_types ? width(types_.back()) : size_t{0}));
    }
    return arrow::Status::OK();
  }

  arrow::Status write(const arrow::RecordBatch& batch) override {
    const int64_t max_rows = layout_.max_rows;
    for (int64_t r = 0; r < batch.num_rows(); ++r, ++total_) {
      if (max_rows >= 0 && static_cast<int64_t>(rows_.size()) >= max_rows) continue;
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
    const bool fits = layout_.width == 0 || total_width(0, widths_.size()) <= layout_.width;
    if (layout_.expanded == Expanded::kOn || (!fits && layout_.expanded == Expanded::kAuto)) {
      print_expanded();
    } else if (fits) {
      print_columns(0, widths_.size());
    } else {
      print_slices();
    }
    if (total_ > static_cast<int64_t>(rows_.size())) {
      out_ << "(" << rows_.size() << " of " << total_ << " rows shown; see --max-rows)\n";
    }
    out_.flush();
    return arrow::Status::OK();
  }

 private:
  size_t total_width(size_t begin, size_t end) const {
    size_t sum = 0;
    for (size_t c = begin; c < end; ++c) sum += widths_[c] + (c > begin ? 3 : 0);
    return sum;
  }

  // Columns [begin, end) as an aligned table, cells cut to the column widths.
  void print_columns(size_t begin, size_t end) {
    print_line(names_, begin, end, /*align_numbers=*/false);
    if (layout_.show_types) print_line(types_, begin, end, /*align_numbers=*/false);
    for (size_t c = begin; c < end; ++c) {
      if (c > begin) out_ << "-+-";
      out_ << std::string(widths_[c], '-');
    }
    out_ << '\n';
    for (const auto& row : rows_) print_line(row, begin, end, /*align_numbers=*/true);
  }

  // A table too wide for the terminal: columns capped, then printed in slices that fit.
  void print_slices() {
    const size_t cap = std::max(kMinColumn, layout_.width / 2);
    for (size_t& w : widths_) w = std::min({w, cap, layout_.width});
    for (size_t begin = 0; begin < widths_.size();) {
      size_t end = begin + 1;
      while (end < widths_.size() && total_width(begin, end + 1) <= layout_.width) ++end;
      if (begin > 0) out_ << '\n';
      print_columns(begin, end);
      begin = end;
    }
  }

  // One block of "name | value" lines per row.
  void print_expanded() {
    size_t label = 0;
    for (const auto& name : names_) label = std::max(label, width(name));
    const size_t room = layout_.width > label + 3 ? layout_.width - label - 3 : 0;
    for (size_t r = 0; r < rows_.size(); ++r) {
      std::string head = "-[ RECORD " + std::to_string(r + 1) + " ]";
      const size_t rule = std::max(label + 3 + (room == 0 ? 0 : std::min<size_t>(room, 20)),
                                   head.size());
      out_ << head << std::string(rule - head.size(), '-') << '\n';
      for (size_t c = 0; c < names_.size(); ++c) {
        out_ << names_[c] << std::string(label - width(names_[c]), ' ') << " | "
             << (room == 0 ? rows_[r][c] : fit_text(rows_[r][c], room)) << '\n';
      }
    }
    if (rows_.empty()) out_ << "(no rows)\n";
  }

  void print_line(const std::vector<std::string>& cells, size_t begin, size_t end,
                  bool align_numbers) {
    for (size_t c = begin; c < end; ++c) {
      if (c > begin) out_ << " | ";
      const std::string cell = fit_text(cells[c], widths_[c]);
      const std::string pad(widths_[c] - width(cell), ' ');
      const bool right = align_numbers && numeric_[c] && cell != "NULL";
      if (right) out_ << pad << cell;
      else if (c + 1 < end) out_ << cell << pad;
      else out_ << cell;
    }
    out_ << '\n';
  }

  std::ostream& out_;
  TableLayout layout_;
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
  FileTableSink(std::unique_ptr<std::ofstream> file, const TableLayout& layout)
      : file_(std::move(file)), table_(*file_, layout) {}
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

// An Arrow output stream over a std::ostream that it does not own (closing only flushes).
class OstreamOutput : public arrow::io::OutputStream {
 public:
  explicit OstreamOutput(std::ostream& out) : out_(out) {}
  arrow::Status Close() override {
    closed_ = true;
    return Flush();
  }
  bool closed() const override { return closed_; }
  arrow::Result<int64_t> Tell() const override { return position_; }
  arrow::Status Write(const void* data, int64_t nbytes) override {
    out_.write(static_cast<const char*>(data), static_cast<std::streamsize>(nbytes));
    position_ += nbytes;
    return out_ ? arrow::Status::OK() : arrow::Status::IOError("write failed");
  }
  arrow::Status Flush() override {
    out_.flush();
    return out_ ? arrow::Status::OK() : arrow::Status::IOError("write failed");
  }

 private:
  std::ostream& out_;
  int64_t position_ = 0;
  bool closed_ = false;
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

size_t terminal_width(int fd) {
  winsize size{};
  if (!isatty(fd) || ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col > 0 ? size.ws_col : 80;
}

std::string fit_text(std::string_view text, size_t columns) {
  if (width(text) <= columns) return std::string(text);
  if (columns == 0) return {};
  // Keep columns - 1 code points, then the ellipsis.
  size_t kept = 0;
  size_t end = 0;
  while (end < text.size()) {
    if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80) {
      if (kept == columns - 1) break;
      ++kept;
    }
    ++end;
  }
  return std::string(text.substr(0, end)) + "\u2026";
}

std::unique_ptr<ResultSink> make_table_sink(std::ostream& out, const TableLayout& layout) {
  return std::make_unique<TableSink>(out, layout);
}

arrow::Result<std::unique_ptr<ResultSink>> make_sink(Format format, std::ostream& text_out,
                                                     const std::string& path,
                                                     const TableLayout& layout) {
  if (format == Format::kTable) {
    if (path.empty()) return make_table_sink(text_out, layout);
    auto file = std::make_unique<std::ofstream>(path, std::ios::binary | std::ios::trunc);
    if (!*file) return arrow::Status::IOError("cannot open ", path);
    return std::unique_ptr<ResultSink>(new FileTableSink(std::move(file), layout));
  }
  std::shared_ptr<arrow::io::OutputStream> out;
  if (!path.empty()) {
    ARROW_ASSIGN_OR_RAISE(out, arrow::io::FileOutputStream::Open(path));
  } else if (format == Format::kCsv) {
    out = std::make_shared<OstreamOutput>(text_out);
  } else {
    return arrow::Status::Invalid("arrow and parquet write to a file: give an output file");
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
