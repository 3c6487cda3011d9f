#include "tools/nvsql/run.h"

#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>

#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>
#include <arrow/type.h>

#include "tools/nvsql/adbc_host.h"
#include "tools/nvsql/local_service.h"
#include "tools/nvsql/output.h"

namespace nvsql {
namespace {

bool exists(const char* path) { return path != nullptr && access(path, F_OK) == 0; }

std::string first_of(const std::string& given, const char* env, const char* built) {
  if (!given.empty()) return given;
  if (const char* value = std::getenv(env); value != nullptr && value[0] != '\0') return value;
  if (exists(built)) return built;
  return {};
}

std::string driver_path(const Options& o) {
#ifdef NVSQL_DEFAULT_DRIVER
  const char* built = NVSQL_DEFAULT_DRIVER;
#else
  const char* built = nullptr;
#endif
  std::string path = first_of(o.driver_path, "NVSQL_DRIVER", built);
  return path.empty() ? "libnorvale_adbc.so.1" : path;
}

std::string localsvc_path(const Options& o) {
#ifdef NVSQL_DEFAULT_LOCALSVC
  const char* built = NVSQL_DEFAULT_LOCALSVC;
#else
  const char* built = nullptr;
#endif
  std::string path = first_of(o.localsvc_path, "NVSQL_LOCALSVC", built);
  return path.empty() ? "norvale-localsvc" : path;
}

// Reads a password from the terminal without echo; empty when there is no terminal.
std::string prompt_password(const std::string& user) {
  std::FILE* tty = std::fopen("/dev/tty", "r+");
  if (tty == nullptr) return {};
  std::fprintf(tty, "Password for %s: ", user.c_str());
  std::fflush(tty);
  termios old{};
  const bool have_termios = tcgetattr(fileno(tty), &old) == 0;
  if (have_termios) {
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fileno(tty), TCSAFLUSH, &quiet);
  }
  std::string password;
  for (int c = std::fgetc(tty); c != EOF && c != '\n'; c = std::fgetc(tty)) {
    password.push_back(static_cast<char>(c));
  }
  if (have_termios) tcsetattr(fileno(tty), TCSAFLUSH, &old);
  std::fprintf(tty, "\n");
  std::fclose(tty);
  return password;
}

struct StreamGuard {
  ArrowArrayStream stream{};
  ~StreamGuard() {
    if (stream.release != nullptr) stream.release(&stream);
  }
};

// Runs one statement and writes its result; false after printing an error.
bool run_statement(Driver& driver, Session& session, const Options& o, const std::string& sql,
                   std::ostream& diag) {
  const auto start = std::chrono::steady_clock::now();
  StreamGuard guard;
  int64_t rows_affected = -1;
  Failure failure;
  if (!session.execute(sql, &guard.stream, &rows_affected, &failure)) {
    diag << "nvsql: " << describe(failure) << '\n';
    return false;
  }
  auto reader = arrow::ImportRecordBatchReader(&guard.stream);
  if (!reader.ok()) {
    diag << "nvsql: error (stream): " << reader.status().message() << '\n';
    return false;
  }
  const std::shared_ptr<arrow::Schema> schema = (*reader)->schema();
  std::unique_ptr<ResultSink> sink;
  if (schema->num_fields() > 0) {
    auto made = make_sink(o.format, o.output_path, o.max_rows);
    if (!made.ok()) {
      diag << "nvsql: error (output): " << made.status().message() << '\n';
      return false;
    }
    sink = std::move(*made);
    if (auto st = sink->begin(schema); !st.ok()) {
      diag << "nvsql: error (output): " << st.message() << '\n';
      return false;
    }
  }
  int64_t rows = 0;
  int64_t batches = 0;
  for (;;) {
    std::shared_ptr<arrow::RecordBatch> batch;
    if (auto st = (*reader)->ReadNext(&batch); !st.ok()) {
      if (sink) (void)sink->finish();
      diag << "nvsql: error (stream): " << st.message() << '\n';
      return false;
    }
    if (batch == nullptr) break;
    ++batches;
    rows += batch->num_rows();
    if (sink) {
      if (auto st = sink->write(*batch); !st.ok()) {
        diag << "nvsql: error (output): " << st.message() << '\n';
        return false;
      }
    }
  }
  if (sink) {
    if (auto st = sink->finish(); !st.ok()) {
      diag << "nvsql: error (output): " << st.message() << '\n';
      return false;
    }
  }
  std::cout.flush();  // the table before the summary
  driver.dump_profile("nvsql");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!o.quiet) {
    char line[160];
    std::snprintf(line, sizeof line, "nvsql: %lld rows, %lld batches, %.3f s",
                  static_cast<long long>(rows), static_cast<long long>(batches), seconds);
    diag << line;
    if (rows_affected >= 0) diag << ", " << rows_affected << " rows affected";
    diag << '\n';
  }
  return true;
}

}  // namespace

int run(const Options& options, std::ostream& diag) {
  Options o = options;
  std::unique_ptr<LocalService> local;
  if (o.local) {
    std::string err;
    local = LocalService::start(localsvc_path(o), &err);
    if (!local) {
      diag << "nvsql: " << err << '\n';
      return 1;
    }
    o.uri = local->control_plane_url();
    o.user = local->user();
    o.password = local->password();
    o.password_given = true;
  }
  if (!o.user.empty() && !o.password_given && o.session_token.empty()) {
    o.password = prompt_password(o.user);
    o.password_given = !o.password.empty();
  }

  std::vector<std::pair<std::string, std::string>> db = {{"uri", o.uri}};
  if (!o.user.empty()) db.emplace_back("username", o.user);
  if (o.password_given) db.emplace_back("password", o.password);
  if (!o.session_token.empty()) db.emplace_back("adbc.norvale.session_token", o.session_token);
  if (!o.compute_url.empty()) db.emplace_back("adbc.norvale.compute_url", o.compute_url);
  if (!o.compute_node.empty()) db.emplace_back("adbc.norvale.compute_node", o.compute_node);
  db.insert(db.end(), o.db_options.begin(), o.db_options.end());

  Failure failure;
  std::unique_ptr<Driver> driver = Driver::load(driver_path(o), &failure);
  if (!driver) {
    diag << "nvsql: " << describe(failure) << '\n';
    return 1;
  }
  int status = 0;
  {
    Session session(driver.get());
    if (!session.open(db, &failure)) {
      diag << "nvsql: " << describe(failure) << '\n';
      return 1;
    }
    for (const std::string& sql : o.statements) {
      if (!run_statement(*driver, session, o, sql, diag)) {
        status = 1;
        break;
      }
    }
  }
  return status;
}

}  // namespace nvsql
