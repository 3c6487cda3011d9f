// Turning a fetched result set (the bytes of one Arrow IPC stream) into one record batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <arrow/record_batch.h>
#include <arrow/result.h>

namespace norvale::adbc {

/// Decodes result set `index` from `block`, a malloc block of `len` bytes whose ownership
/// passes to this call (it is freed when the last array that views it goes; null is allowed).
/// The batch is the stream's first; a stream with a schema and no batch gives a zero-row batch
/// of that schema. The error's message is the install's log line, e.g.
/// "snapshot RS 3: empty IPC bytes".
arrow::Result<std::shared_ptr<arrow::RecordBatch>> decode_result_set(int index, uint8_t* block,
                                                                     size_t len);

}  // namespace norvale::adbc
