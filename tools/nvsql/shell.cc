#include "tools/nvsql/shell.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <optional>
#include <sstream>
#include <utility>

#include <arrow/api.h>

#include "tools/nvsql/catalog.h"
#include "tools/nvsql/statement_buffer.h"

namespace nvsql {
namespace {

constexpr int kMaxIncludeDepth = 16;

// "\cmd rest": the command (without the backslash) and the trimmed rest.
std::pair<std::string, std::string> split_meta(const std::string& line) {
  const std::string text = trimmed(line).substr(1);
  size_t end = 0;
  while (end < text.size() && !is_space(text[end])) ++end;
  return {text.substr(0, end), trimmed(std::string_view(text).substr(end))};
}

// on/off (or empty to toggle) into `flag`; false for anything else.
bool parse_switch(const std::string& arg, bool* flag) {
  if (arg.empty()) *flag = !*flag;
  else if (arg == "on") *flag = true;
  else if (arg == "off") *flag = false;
  else return false;
  return true;
}

const char* format_name(Format format) {
  switch (format) {
    case Format::kTable: return "table";
    case Format::kCsv: return "csv";
    case Format::kArrow: return "arrow";
    case Format::kParquet: return "parquet";
  }
  return "?";
}

const char* expanded_name(Expanded expanded) {
  switch (expanded) {
    case Expanded::kOff: return "off";
    case Expanded::kOn: return "on";
    case Expanded::kAuto: return "auto";
  }
  return "?";
}

}  // namespace

const char* shell_help() {
  return "Statements end with ; and may span lines. Ctrl-C cancels the running statement\n"
         "(or the line being typed), Ctrl-D leaves.\n"
         "\n"
         "Catalog (answered from the driver's local catalog, never by a compute node):\n"
         "  \\dn [PATTERN]        schemas\n"
         "  \\dt [PATTERN]        tables; PATTERN is [SCHEMA.]NAME with LIKE wildcards % and _\n"
         "  \\dv [PATTERN]        views\n"
         "  \\d [NAME]            columns, types, nullability and keys of a table or view\n"
         "                       (without NAME: every table and view)\n"
         "Output:\n"
         "  \\format [FMT]        table, csv, arrow or parquet (the last two need \\o FILE)\n"
         "  \\x [on|off|auto]     one record per block; auto when a table is too wide\n"
         "  \\o [FILE]            results to FILE; without FILE back to standard output\n"
         "  \\timing [on|off]     show how long each statement took\n"
         "Other:\n"
         "  \\i FILE              run the statements and commands of FILE\n"
         "  \\conninfo            the connection: user, control plane, compute node, TLS\n"
         "  \\?                   this help\n"
         "  \\q                   quit\n";
}

Shell::Shell(Session& session, StatementRunner& runner, const Options& options,
             ConnectionInfo connection, std::ostream& diag, bool interactive)
    : session_(session),
      runner_(runner),
      options_(options),
      connection_(std::move(connection)),
      diag_(diag),
      interactive_(interactive) {}

int Shell::run(LineSource& source) {
  if (!options_.output_path.empty() && set_output(options_.output_path) == Step::kFailed) {
    return 1;
  }
  return process(source, 0) == Step::kFailed ? 1 : 0;
}

Shell::Step Shell::process(LineSource& source, int depth) {
  // A script (standard input that is not a terminal, or \i) stops at its first failure; at the
  // terminal a failure is reported and the next statement is read.
  const bool stop_on_failure = !interactive_ || depth > 0;
  StatementBuffer buffer;
  std::string line;
  std::string sql;
  for (;;) {
    const char* prompt = buffer.inside_literal() ? "nvsql'> "
                         : buffer.blank()        ? "nvsql=> "
                                                 : "nvsql-> ";
    const LineSource::Read read = source.read(prompt, &line);
    if (read == LineSource::Read::kInterrupted) {
      buffer.clear();
      continue;
    }
    if (read == LineSource::Read::kEnd) break;
    const std::string text = trimmed(line);
    if (!text.empty() && text[0] == '\\' && buffer.blank() && !buffer.inside_literal()) {
      buffer.clear();
      remember(source, text);
      const Step step = meta(text, depth);
      if (step == Step::kQuit) return step;
      if (step == Step::kFailed && stop_on_failure) return step;
      continue;
    }
    buffer.add_line(line);
    while (buffer.take(&sql)) {
      remember(source, sql + ";");
      if (statement(sql) == Step::kFailed && stop_on_failure) return Step::kFailed;
    }
  }
  if (interactive_ && depth == 0) std::cout << '\n';  // after the ^D at the prompt
  // A script's last statement may lack its semicolon; at the terminal, Ctrl-D drops a
  // half-typed one.
  if (stop_on_failure && buffer.take_rest(&sql)) return statement(sql);
  return Step::kGoOn;
}

Shell::Step Shell::statement(const std::string& sql) {
  RunSettings settings;
  settings.summary = options_.quiet ? Summary::kNone
                     : interactive_ ? Summary::kRows
                                    : Summary::kLine;
  settings.timing = timing_;
  settings.progress = options_.progress;
  settings.progress_tty = stderr;
  // A cancelled statement also ends a script run with \i.
  return runner_.run(sql, target(), settings) == Outcome::kOk ? Step::kGoOn : Step::kFailed;
}

ResultTarget Shell::target() {
  ResultTarget t;
  t.format = options_.format;
  t.layout.max_rows = options_.max_rows;
  t.layout.expanded = expanded_;
  if (options_.format == Format::kArrow || options_.format == Format::kParquet) {
    t.path = output_path_;
    t.text = &std::cout;
  } else if (output_path_.empty()) {
    t.text = &std::cout;
    t.layout.width = terminal_width(STDOUT_FILENO);
  } else {
    t.text = &output_file_;
  }
  return t;
}

void Shell::remember(LineSource& source, const std::string& entry) const {
  for (const std::string& secret : connection_.secrets) {
    if (!secret.empty() && entry.find(secret) != std::string::npos) return;
  }
  source.remember(entry);
}

Shell::Step Shell::meta(const std::string& line, int depth) {
  const auto [command, arg] = split_meta(line);
  if (command == "q" || command == "quit") return Step::kQuit;
  if (command == "?") {
    std::cout << shell_help();
    return Step::kGoOn;
  }
  if (command == "dn") {
    auto schemas = list_schemas(session_, arg);
    if (!schemas.ok()) {
      diag_ << "nvsql: " << schemas.status().message() << '\n';
      return Step::kFailed;
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& [catalog, schema] : *schemas) rows.push_back({catalog, schema});
    print_rows({"catalog", "schema"}, rows);
    return Step::kGoOn;
  }
  if (command == "dt") return list(arg, "BASE TABLE");
  if (command == "dv") return list(arg, "VIEW");
  if (command == "d") return arg.empty() ? list("", nullptr) : describe(arg);
  if (command == "timing") {
    if (!parse_switch(arg, &timing_)) {
      diag_ << "nvsql: \\timing takes on or off\n";
      return Step::kFailed;
    }
    diag_ << "Timing is " << (timing_ ? "on" : "off") << ".\n";
    return Step::kGoOn;
  }
  if (command == "x") {
    if (arg == "on") expanded_ = Expanded::kOn;
    else if (arg == "off") expanded_ = Expanded::kOff;
    else if (arg == "auto") expanded_ = Expanded::kAuto;
    else if (arg.empty()) expanded_ = expanded_ == Expanded::kOn ? Expanded::kOff : Expanded::kOn;
    else {
      diag_ << "nvsql: \\x takes on, off or auto\n";
      return Step::kFailed;
    }
    diag_ << "Expanded display is " << expanded_name(expanded_) << ".\n";
    return Step::kGoOn;
  }
  if (command == "format") {
    if (!arg.empty() && !parse_format(arg, &options_.format)) {
      diag_ << "nvsql: \\format takes table, csv, arrow or parquet\n";
      return Step::kFailed;
    }
    diag_ << "Output format is " << format_name(options_.format) << ".\n";
    return Step::kGoOn;
  }
  if (command == "o") return set_output(arg);
  if (command == "i") return include(arg, depth);
  if (command == "conninfo") {
    std::cout << "User:          " << connection_.user << '\n'
              << "Control plane: " << connection_.control_plane << '\n'
              << "Compute node:  " << chosen_compute() << '\n'
              << "TLS:           " << connection_.tls << '\n';
    return Step::kGoOn;
  }
  diag_ << "nvsql: unknown command \\" << command << " (\\? lists the commands)\n";
  return Step::kFailed;
}

std::string Shell::chosen_compute() {
  // The node the connection actually uses, as the driver reports it; what was asked for when
  // the driver cannot say.
  const std::optional<std::string> node = session_.connection_option("adbc.norvale.compute_node");
  const std::optional<std::string> url = session_.connection_option("adbc.norvale.compute_url");
  if (node && url) return *node + " at " + *url;
  if (node || url) return node ? *node : *url;
  return connection_.compute;
}

Shell::Step Shell::list(const std::string& pattern, const char* type) {
  const auto [schema, table] = split_qualified(pattern);
  auto tables = list_tables(session_, schema, table, type);
  if (!tables.ok()) {
    diag_ << "nvsql: " << tables.status().message() << '\n';
    return Step::kFailed;
  }
  std::vector<std::vector<std::string>> rows;
  for (const TableRef& t : *tables) rows.push_back({t.schema, t.name, t.type});
  if (rows.empty()) {
    diag_ << "No matching " << (type == nullptr ? "relations" : type == std::string("VIEW")
                                                                    ? "views"
                                                                    : "tables")
          << ".\n";
    return Step::kGoOn;
  }
  print_rows({"schema", "name", "type"}, rows);
  return Step::kGoOn;
}

Shell::Step Shell::describe(const std::string& name) {
  const auto [schema, table] = split_qualified(name);
  auto tables = describe_table(session_, schema, table);
  if (!tables.ok()) {
    diag_ << "nvsql: " << tables.status().message() << '\n';
    return Step::kFailed;
  }
  if (tables->empty()) {
    diag_ << "nvsql: no table or view named " << name << '\n';
    return Step::kFailed;
  }
  std::ostream& out = *target().text;
  for (const TableInfo& info : *tables) {
    out << (info.table.type == "VIEW" ? "View" : "Table") << " \"" << info.table.schema << "."
        << info.table.name << "\"\n";
    std::vector<std::vector<std::string>> rows;
    for (const ColumnInfo& c : info.columns) {
      rows.push_back({c.name, c.sql_type, c.arrow_type, c.nullable ? "" : "NOT NULL",
                      c.default_value, c.keys});
    }
    print_rows({"column", "type", "arrow type", "nullable", "default", "key"}, rows);
    if (!info.constraints.empty()) out << "Constraints:\n";
    for (const ConstraintInfo& k : info.constraints) {
      out << "  " << k.type << ' ' << (k.name.empty() ? "(unnamed)" : k.name) << " (";
      for (size_t i = 0; i < k.columns.size(); ++i) out << (i > 0 ? ", " : "") << k.columns[i];
      out << ")\n";
    }
    out.flush();
  }
  return Step::kGoOn;
}

Shell::Step Shell::include(const std::string& path, int depth) {
  if (path.empty()) {
    diag_ << "nvsql: \\i takes a file name\n";
    return Step::kFailed;
  }
  if (depth + 1 > kMaxIncludeDepth) {
    diag_ << "nvsql: \\i nested more than " << kMaxIncludeDepth << " deep\n";
    return Step::kFailed;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    diag_ << "nvsql: cannot read " << path << '\n';
    return Step::kFailed;
  }
  StreamLineSource source(in);
  return process(source, depth + 1);
}

Shell::Step Shell::set_output(const std::string& path) {
  if (output_file_.is_open()) output_file_.close();
  output_path_.clear();
  if (path.empty()) return Step::kGoOn;
  if (options_.format == Format::kTable || options_.format == Format::kCsv) {
    output_file_.open(path, std::ios::binary | std::ios::trunc);
    if (!output_file_) {
      diag_ << "nvsql: cannot open " << path << '\n';
      return Step::kFailed;
    }
  }
  output_path_ = path;
  return Step::kGoOn;
}

void Shell::print_rows(const std::vector<std::string>& names,
                       const std::vector<std::vector<std::string>>& rows) {
  arrow::FieldVector fields;
  std::vector<std::shared_ptr<arrow::Array>> columns;
  for (size_t c = 0; c < names.size(); ++c) {
    arrow::StringBuilder builder;
    for (const auto& row : rows) (void)builder.Append(row[c]);
    std::shared_ptr<arrow::Array> column;
    if (!builder.Finish(&column).ok()) return;
    fields.push_back(arrow::field(names[c], arrow::utf8()));
    columns.push_back(std::move(column));
  }
  const auto batch = arrow::RecordBatch::Make(arrow::schema(fields),
                                              static_cast<int64_t>(rows.size()), columns);
  ResultTarget t = target();
  // Catalog answers are text for the reader: table or CSV, never a data file.
  const Format format = t.format == Format::kCsv ? Format::kCsv : Format::kTable;
  t.layout.show_types = false;
  t.layout.max_rows = -1;
  auto sink = make_sink(format, *t.text, "", t.layout);
  if (!sink.ok() || !(*sink)->begin(batch->schema()).ok() || !(*sink)->write(*batch).ok() ||
      !(*sink)->finish().ok()) {
    diag_ << "nvsql: error (output): cannot write the answer\n";
  }
}

}  // namespace nvsql
