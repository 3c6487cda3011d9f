// The data bound to a statement: the one owner of what Bind and BindStream hand over, and the
// one way every user reads them (an execution with parameters, an ingest, ExecuteSchema,
// GetParameterSchema).
#pragma once

#include <arrow/record_batch.h>
#include <arrow/result.h>
#include <arrow/status.h>

#include <cstdint>
#include <deque>
#include <memory>

#include "norvale_adbc.h"

namespace norvale::adbc {

/// Holds the bound data until an execution takes them. The host's stream is opened (imported)
/// only when something first needs it, and is read batch by batch: nothing here ever holds more
/// than the batches a peek had to read.
class BoundData {
 public:
  BoundData() = default;
  ~BoundData() { Clear(); }
  BoundData(const BoundData&) = delete;
  BoundData& operator=(const BoundData&) = delete;

  /// Takes over the host's stream: its members are copied here and cleared there. Whatever was
  /// bound before is released.
  void Bind(ArrowArrayStream* stream);
  /// Binds data already read into a reader (AdbcStatementBind's one batch).
  void Bind(std::shared_ptr<arrow::RecordBatchReader> reader);
  /// Releases whatever is bound.
  void Clear();

  /// Whether data are bound (also data whose stream failed to open: taking them reports why).
  bool bound() const;

  /// The schema of the bound data; no batch is read.
  arrow::Result<std::shared_ptr<arrow::Schema>> Schema();

  /// The first bound batch that has rows, null when no batch has. The batches read to find it
  /// stay bound: the next Take hands them out first, so the data are as they were.
  arrow::Result<std::shared_ptr<arrow::RecordBatch>> PeekFirstRows();

  /// Reads ahead until at least `rows` rows are kept (or the data end) and says how many are
  /// kept; like a peek, what it read is handed out first by the next Take. A failure of the
  /// host's stream is kept too: Take's reader reports it after the batches read before it,
  /// where reading would have met it.
  int64_t PeekRows(int64_t rows);

  /// Hands the data over: a reader that yields every bound batch once, in order, reading the
  /// host's stream only as it is itself read. Afterwards nothing is bound, also on failure (a
  /// stream that cannot be opened is released): each execution consumes its bind.
  arrow::Result<std::shared_ptr<arrow::RecordBatchReader>> Take();

 private:
  arrow::Status Open();

  ArrowArrayStream stream_{};  // the host's stream until opened (release null: none)
  std::shared_ptr<arrow::RecordBatchReader> reader_;  // once opened
  std::deque<std::shared_ptr<arrow::RecordBatch>> held_;  // read by a peek, handed out first
  arrow::Status open_failure_;  // why the host's stream could not be opened
  arrow::Status read_failure_;  // what a read ahead met after the held batches
  bool ended_ = false;          // a read ahead met the end of the data
};

}  // namespace norvale::adbc
