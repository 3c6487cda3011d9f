// The ADBC host side of nvsql: the driver loaded with dlopen and the handles opened through its
// function table.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "norvale_adbc.h"

namespace nvsql {

/// An ADBC failure as the host sees it.
struct Failure {
  std::string message;
  std::string sqlstate;  // five characters, or empty when unknown
  int32_t vendor_code = 0;
  int status = 0;
};

/// Formats "error [SQLSTATE] (vendor code N): message"; the vendor code (the service's own code)
/// only when there is one.
std::string describe(const Failure& failure);

/// Loads the driver library and fills its function table.
class Driver {
 public:
  ~Driver();
  /// Opens `path` with dlopen and calls its AdbcDriverInit for ADBC 1.1.0, or for 1.0.0 when
  /// the driver refuses 1.1.0.
  static std::unique_ptr<Driver> load(const std::string& path, Failure* failure);
  AdbcDriver& table() { return driver_; }
  /// Prints and resets the driver's stream profile (NV_ADBC_PROFILE), when the driver has one.
  void dump_profile(const char* label) const {
    if (profile_dump_ != nullptr) profile_dump_(label);
  }

 private:
  Driver() = default;
  void* library_ = nullptr;
  AdbcDriver driver_{};
  void (*profile_dump_)(const char*) = nullptr;
};

/// A database, connection and statement factory over one driver.
class Session {
 public:
  explicit Session(Driver* driver) : driver_(driver) {}
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  /// DatabaseNew, the options in order, DatabaseInit, ConnectionNew and ConnectionInit.
  bool open(const std::vector<std::pair<std::string, std::string>>& options, Failure* failure);
  /// A new statement on the connection, released with release_statement.
  bool new_statement(AdbcStatement* statement, Failure* failure);
  void release_statement(AdbcStatement* statement);
  /// Runs `sql` on the statement; on success `stream` holds the result (the caller releases
  /// it; it may outlive the statement) and `rows_affected` the count or -1.
  bool execute(AdbcStatement* statement, const std::string& sql, ArrowArrayStream* stream,
               int64_t* rows_affected, Failure* failure);
  /// AdbcStatementCancel, from any thread while another one runs the statement or reads its
  /// result.
  void cancel(AdbcStatement* statement);
  /// AdbcConnectionGetObjects; null patterns and a null type list filter nothing.
  bool get_objects(int depth, const char* db_schema, const char* table_name,
                   const char** table_types, const char* column_name, ArrowArrayStream* out,
                   Failure* failure);
  /// AdbcConnectionGetTableSchema (any catalog).
  bool get_table_schema(const std::string& db_schema, const std::string& table_name,
                        ArrowSchema* out, Failure* failure);
  /// AdbcConnectionGetOption; nothing when the driver has no such option (or no getter).
  std::optional<std::string> connection_option(const char* key);

 private:
  Driver* driver_;
  AdbcDatabase database_{};
  AdbcConnection connection_{};
  bool database_open_ = false;
  bool connection_open_ = false;
};

}  // namespace nvsql
