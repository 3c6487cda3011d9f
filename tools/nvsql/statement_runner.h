// Runs one statement and writes its result, with the progress line and Ctrl-C.
//
// The statement runs and its result stream is read on a thread of its own, so that the calling
// thread can draw the progress line and notice Ctrl-C while the driver blocks. On Ctrl-C the
// caller cancels the statement through AdbcStatementCancel, which ends the driver's pending call
// (ExecuteQuery, or the stream's get_next) at once; the statement's thread writes nothing more
// and releases the stream and the statement, while the caller goes back to the prompt.
#pragma once

#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tools/nvsql/adbc_host.h"
#include "tools/nvsql/interrupt.h"
#include "tools/nvsql/options.h"
#include "tools/nvsql/output.h"

namespace nvsql {

/// Where and how a result is written.
struct ResultTarget {
  Format format = Format::kTable;
  std::ostream* text = nullptr;  // table and CSV without a path
  std::string path;              // a file instead (required for arrow and parquet)
  TableLayout layout;
};

enum class Summary {
  kLine,  // "nvsql: N rows, M batches, T s" on the diagnostic stream
  kRows,  // "(N rows)", as the interactive shell prints it
  kNone,
};

struct RunSettings {
  Summary summary = Summary::kLine;
  bool timing = false;           // "Time: T ms" after each statement
  bool progress = false;         // the progress line on `progress_tty`
  std::FILE* progress_tty = nullptr;
};

enum class Outcome { kOk, kFailed, kCancelled };

struct ResultJob;  // one statement's stream and what its reading thread has seen

class StatementRunner {
 public:
  /// `interrupts` may be null (Ctrl-C then keeps its default effect).
  StatementRunner(Driver& driver, Session& session, std::ostream& diag, Interrupts* interrupts)
      : driver_(driver), session_(session), diag_(diag), interrupts_(interrupts) {}
  /// Waits for cancelled statements (see finish_cancelled).
  ~StatementRunner();
  StatementRunner(const StatementRunner&) = delete;
  StatementRunner& operator=(const StatementRunner&) = delete;

  Outcome run(const std::string& sql, const ResultTarget& target, const RunSettings& settings);

  /// Waits until every cancelled statement has released its stream, which must happen before
  /// the connection closes. False when Ctrl-C ended the wait first.
  bool finish_cancelled();

 private:
  /// Joins the cancelled statements that have ended.
  void reap_cancelled();

  Driver& driver_;
  Session& session_;
  std::ostream& diag_;
  Interrupts* interrupts_;
  struct Cancelled {
    std::thread thread;
    std::shared_ptr<ResultJob> job;
  };
  std::vector<Cancelled> cancelled_;
};

}  // namespace nvsql
