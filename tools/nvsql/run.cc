#include "tools/nvsql/run.h"

#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "tools/nvsql/adbc_host.h"
#include "tools/nvsql/interrupt.h"
#include "tools/nvsql/line_source.h"
#include "tools/nvsql/local_service.h"
#include "tools/nvsql/output.h"
#include "tools/nvsql/shell.h"
#include "tools/nvsql/statement_runner.h"

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

// How the shell's \conninfo describes the connection.
ConnectionInfo connection_info(const Options& o) {
  ConnectionInfo info;
  info.user = o.user.empty() ? "(session token)" : o.user;
  info.control_plane = o.local ? o.uri + " (local service)" : o.uri;
  if (!o.compute_node.empty()) info.compute = o.compute_node;
  else if (!o.compute_url.empty()) info.compute = o.compute_url;
  else info.compute = "chosen by the control plane";
  const bool https = o.uri.rfind("https://", 0) == 0;
  info.tls = https ? "yes (https)" : "no (http)";
  for (const auto& [key, value] : o.db_options) {
    if (key == "adbc.norvale.tls.encrypt") info.tls += ", encrypt " + value;
    if (key == "adbc.norvale.tls.trust_server_cert" && value == "true") {
      info.tls += ", server certificate not verified";
    }
  }
  if (o.password_given) info.secrets.push_back(o.password);
  if (!o.session_token.empty()) info.secrets.push_back(o.session_token);
  return info;
}

// The statements of the command line, each with its own output as before.
int run_statements(StatementRunner& runner, const Options& o) {
  ResultTarget target;
  target.format = o.format;
  target.text = &std::cout;
  target.path = o.output_path;
  target.layout.max_rows = o.max_rows;
  target.layout.expanded = Expanded::kAuto;
  if (o.output_path.empty()) target.layout.width = terminal_width(STDOUT_FILENO);
  RunSettings settings;
  settings.summary = o.quiet ? Summary::kNone : Summary::kLine;
  settings.progress = o.progress;
  settings.progress_tty = stderr;
  for (const std::string& sql : o.statements) {
    if (runner.run(sql, target, settings) != Outcome::kOk) return 1;
  }
  return 0;
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
  // The shell's Ctrl-C must reach the main thread, whose read at the prompt it interrupts: the
  // driver's threads, started from here on, inherit SIGINT blocked.
  const bool interactive = o.statements.empty() && isatty(STDIN_FILENO) != 0;
  sigset_t sigint;
  sigemptyset(&sigint);
  sigaddset(&sigint, SIGINT);
  if (interactive) pthread_sigmask(SIG_BLOCK, &sigint, nullptr);
  std::unique_ptr<Driver> driver = Driver::load(driver_path(o), &failure);
  if (!driver) {
    diag << "nvsql: " << describe(failure) << '\n';
    return 1;
  }
  Session session(driver.get());
  if (!session.open(db, &failure)) {
    diag << "nvsql: " << describe(failure) << '\n';
    return 1;
  }
  if (!o.statements.empty()) {
    StatementRunner runner(*driver, session, diag, nullptr);
    return run_statements(runner, o);
  }
  // Only the interactive shell takes Ctrl-C over; a script keeps its default effect.
  Interrupts* interrupts = interactive ? Interrupts::install() : nullptr;
  if (interactive) pthread_sigmask(SIG_UNBLOCK, &sigint, nullptr);
  StatementRunner runner(*driver, session, diag, interrupts);
  Shell shell(session, runner, o, connection_info(o), diag, interactive);
  std::unique_ptr<LineSource> source;
  if (interactive) {
    source = make_terminal_source(history_path(), interrupts);
    if (!source) {
      diag << "nvsql: cannot start line editing on this terminal\n";
      return 1;
    }
  } else {
    source = std::make_unique<StreamLineSource>(std::cin);
  }
  const int status = shell.run(*source);
  if (!runner.finish_cancelled()) {
    // Ctrl-C while waiting for a cancelled statement: leave without closing the connection,
    // which that statement's stream still uses; the local service is stopped first.
    local.reset();
    std::_Exit(130);
  }
  return status;
}

}  // namespace nvsql
