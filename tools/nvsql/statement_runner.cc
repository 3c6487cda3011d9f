#include "tools/nvsql/statement_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <utility>

#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>
#include <arrow/type.h>
#include <arrow/util/byte_size.h>

#include "tools/nvsql/progress.h"

namespace nvsql {

struct ResultJob {
  ~ResultJob() {
    if (stream.release != nullptr) stream.release(&stream);
    for (int fd : done_pipe) {
      if (fd >= 0) close(fd);
    }
  }

  /// Cancels the statement if it is still open; from the caller's thread.
  void cancel_statement() {
    std::lock_guard<std::mutex> lock(statement_mu);
    if (statement_open) session->cancel(&statement);
  }

  Session* session = nullptr;
  std::string sql;
  // Opened and released by the reading thread; statement_mu keeps a cancel from reaching a
  // statement that is being released.
  std::mutex statement_mu;
  AdbcStatement statement{};
  bool statement_open = false;
  ArrowArrayStream stream{};  // moved into the reader on the reading thread
  int64_t rows_affected = -1;
  ResultTarget target;
  ProgressCounts counts;
  std::unique_ptr<ProgressLine> progress;
  int done_pipe[2] = {-1, -1};  // the reading thread writes one byte when it ends

  // Guards every write of the result: once `cancelled` is set nothing more is written.
  std::mutex output_mu;
  bool cancelled = false;

  // Set by the reading thread before it signals the end.
  bool ok = false;
  std::string error;
};

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The statement's thread: runs it (ExecuteQuery may wait for the first answer), imports the
// stream, writes each batch to the sink, and releases the stream (through the reader) and the
// statement before it signals the end.
void run_job(const std::shared_ptr<ResultJob>& job) {
  // Ctrl-C is the main thread's (see run.cc); the driver's threads started from here inherit
  // this mask.
  sigset_t sigint;
  sigemptyset(&sigint);
  sigaddset(&sigint, SIGINT);
  pthread_sigmask(SIG_BLOCK, &sigint, nullptr);
  auto fail = [&](const char* what, const arrow::Status& st) {
    job->error = std::string("nvsql: error (") + what + "): " + st.message();
  };
  Failure failure;
  {
    std::lock_guard<std::mutex> lock(job->statement_mu);
    job->statement_open = job->session->new_statement(&job->statement, &failure);
  }
  [&] {
    if (!job->statement_open) {
      job->error = "nvsql: " + describe(failure);
      return;
    }
    if (!job->session->execute(&job->statement, job->sql, &job->stream, &job->rows_affected,
                               &failure)) {
      job->error = "nvsql: " + describe(failure);
      return;
    }
    auto imported = arrow::ImportRecordBatchReader(&job->stream);
    if (!imported.ok()) return fail("stream", imported.status());
    const std::shared_ptr<arrow::RecordBatchReader> reader = std::move(*imported);
    const ResultTarget& target = job->target;
    const bool prints_as_it_goes = target.format == Format::kCsv && target.path.empty();
    std::unique_ptr<ResultSink> sink;
    if (reader->schema()->num_fields() > 0) {
      std::lock_guard<std::mutex> lock(job->output_mu);
      if (job->cancelled) return;
      auto made = make_sink(target.format, *target.text, target.path, target.layout);
      if (!made.ok()) return fail("output", made.status());
      sink = std::move(*made);
      if (auto st = sink->begin(reader->schema()); !st.ok()) return fail("output", st);
    }
    for (;;) {
      std::shared_ptr<arrow::RecordBatch> batch;
      if (auto st = reader->ReadNext(&batch); !st.ok()) {
        std::lock_guard<std::mutex> lock(job->output_mu);
        if (sink && !job->cancelled) (void)sink->finish();
        return fail("stream", st);
      }
      if (batch == nullptr) break;
      job->counts.batches.fetch_add(1);
      job->counts.rows.fetch_add(batch->num_rows());
      job->counts.bytes.fetch_add(arrow::util::TotalBufferSize(*batch));
      std::lock_guard<std::mutex> lock(job->output_mu);
      if (job->cancelled) return;
      if (!sink) continue;
      if (prints_as_it_goes) job->progress->stop();
      if (auto st = sink->write(*batch); !st.ok()) return fail("output", st);
    }
    std::lock_guard<std::mutex> lock(job->output_mu);
    if (job->cancelled) return;
    job->progress->stop();
    if (sink) {
      if (auto st = sink->finish(); !st.ok()) return fail("output", st);
    }
    job->ok = true;
  }();
  {
    std::lock_guard<std::mutex> lock(job->statement_mu);
    if (job->statement_open) job->session->release_statement(&job->statement);
    job->statement_open = false;
  }
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(job->done_pipe[1], &byte, 1);
}

// Waits until the job ends (true) or Ctrl-C comes (false), calling `tick` about ten times a
// second.
template <typename Tick>
bool wait_for(const ResultJob& job, Interrupts* interrupts, Tick tick) {
  for (;;) {
    pollfd fds[2] = {{job.done_pipe[0], POLLIN, 0},
                     {interrupts != nullptr ? interrupts->fd() : -1, POLLIN, 0}};
    const int ready = poll(fds, 2, 100);
    if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP)) != 0) return true;
    if (ready > 0 && (fds[1].revents & POLLIN) != 0 && interrupts->take()) return false;
    tick();
  }
}

}  // namespace

StatementRunner::~StatementRunner() {
  for (Cancelled& c : cancelled_) c.thread.join();
}

Outcome StatementRunner::run(const std::string& sql, const ResultTarget& target,
                             const RunSettings& settings) {
  const auto start = Clock::now();
  if (interrupts_ != nullptr) interrupts_->take();  // a Ctrl-C from before this statement
  reap_cancelled();
  auto job = std::make_shared<ResultJob>();
  job->target = target;
  job->progress = std::make_unique<ProgressLine>(
      settings.progress_tty, settings.progress && settings.progress_tty != nullptr);
  if (pipe2(job->done_pipe, O_CLOEXEC) != 0) {
    diag_ << "nvsql: error: cannot make a pipe\n";
    return Outcome::kFailed;
  }
  job->session = &session_;
  job->sql = sql;
  std::thread reader([job] { run_job(job); });
  const bool ended = wait_for(*job, interrupts_, [&] {
    job->progress->update(job->counts, seconds_since(start));
  });
  if (!ended) {
    {
      std::lock_guard<std::mutex> lock(job->output_mu);
      job->cancelled = true;
    }
    job->cancel_statement();
    job->progress->stop();
    cancelled_.push_back({std::move(reader), std::move(job)});
    diag_ << "nvsql: statement cancelled\n";
    return Outcome::kCancelled;
  }
  reader.join();
  job->progress->stop();
  if (!job->ok) {
    diag_ << job->error << '\n';
    return Outcome::kFailed;
  }
  if (target.text != nullptr) target.text->flush();  // the result before the summary
  driver_.dump_profile("nvsql");
  const double seconds = seconds_since(start);
  const long long rows = static_cast<long long>(job->counts.rows.load());
  char line[160];
  switch (settings.summary) {
    case Summary::kLine:
      std::snprintf(line, sizeof line, "nvsql: %lld rows, %lld batches, %.3f s", rows,
                    static_cast<long long>(job->counts.batches.load()), seconds);
      diag_ << line;
      if (job->rows_affected >= 0) diag_ << ", " << job->rows_affected << " rows affected";
      diag_ << '\n';
      break;
    case Summary::kRows:
      if (job->rows_affected >= 0) {
        diag_ << "(" << job->rows_affected << (job->rows_affected == 1 ? " row" : " rows")
              << " affected)\n";
      } else {
        diag_ << "(" << rows << (rows == 1 ? " row" : " rows") << ")\n";
      }
      break;
    case Summary::kNone: break;
  }
  if (settings.timing) {
    std::snprintf(line, sizeof line, "Time: %.3f ms", seconds * 1000);
    diag_ << line << '\n';
  }
  return Outcome::kOk;
}

void StatementRunner::reap_cancelled() {
  for (auto it = cancelled_.begin(); it != cancelled_.end();) {
    pollfd done{it->job->done_pipe[0], POLLIN, 0};
    if (poll(&done, 1, 0) > 0) {
      it->thread.join();
      it = cancelled_.erase(it);
    } else {
      ++it;
    }
  }
}

bool StatementRunner::finish_cancelled() {
  bool told = false;
  for (Cancelled& c : cancelled_) {
    if (!told) {
      pollfd done{c.job->done_pipe[0], POLLIN, 0};
      if (poll(&done, 1, 200) <= 0) {
        diag_ << "nvsql: waiting for a cancelled statement to end (Ctrl-C again to leave at "
                 "once)\n";
        told = true;
      }
    }
    if (!wait_for(*c.job, interrupts_, [] {})) return false;
    c.thread.join();
  }
  cancelled_.clear();
  return true;
}

}  // namespace nvsql
