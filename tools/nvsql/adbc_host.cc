#include "tools/nvsql/adbc_host.h"

#include <dlfcn.h>

#include <cstring>

namespace nvsql {
namespace {

using DriverInit = AdbcStatusCode (*)(int, void*, AdbcError*);

// Takes the driver's error into `failure` and releases it.
bool check(AdbcStatusCode status, AdbcError* error, Failure* failure) {
  if (status == ADBC_STATUS_OK) {
    if (error->release != nullptr) error->release(error);
    return true;
  }
  failure->status = status;
  failure->message = error->message != nullptr ? error->message : "(no message)";
  failure->sqlstate.assign(error->sqlstate, strnlen(error->sqlstate, sizeof error->sqlstate));
  failure->vendor_code = error->vendor_code;
  if (error->release != nullptr) error->release(error);
  return false;
}

}  // namespace

std::string describe(const Failure& failure) {
  std::string text = "error";
  if (!failure.sqlstate.empty()) text += " [" + failure.sqlstate + "]";
  if (failure.vendor_code != 0) {
    text += " (vendor code " + std::to_string(failure.vendor_code) + ")";
  }
  text += ": " + failure.message;
  return text;
}

Driver::~Driver() {
  if (driver_.release != nullptr) {
    AdbcError error{};
    driver_.release(&driver_, &error);
    if (error.release != nullptr) error.release(&error);
  }
  // The library stays loaded, as under a driver manager: its process-wide state (log, caches,
  // poller) is meant to live until the process ends.
}

std::unique_ptr<Driver> Driver::load(const std::string& path, Failure* failure) {
  std::unique_ptr<Driver> driver(new Driver);
  driver->library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (driver->library_ == nullptr) {
    const char* why = dlerror();
    failure->message = "cannot load driver " + path + ": " + (why != nullptr ? why : "?");
    return nullptr;
  }
  auto init = reinterpret_cast<DriverInit>(dlsym(driver->library_, "AdbcDriverInit"));
  if (init == nullptr) {
    failure->message = "driver " + path + " has no AdbcDriverInit";
    return nullptr;
  }
  driver->profile_dump_ = reinterpret_cast<void (*)(const char*)>(
      dlsym(driver->library_, "nv_adbc_profile_reset_and_dump"));
  AdbcError error{};
  if (init(ADBC_VERSION_1_1_0, &driver->driver_, &error) == ADBC_STATUS_OK) return driver;
  if (error.release != nullptr) error.release(&error);
  if (!check(init(ADBC_VERSION_1_0_0, &driver->driver_, &error), &error, failure)) {
    return nullptr;
  }
  return driver;
}

Session::~Session() {
  AdbcError error{};
  if (connection_open_) driver_->table().ConnectionRelease(&connection_, &error);
  if (error.release != nullptr) error.release(&error);
  if (database_open_) driver_->table().DatabaseRelease(&database_, &error);
  if (error.release != nullptr) error.release(&error);
}

bool Session::open(const std::vector<std::pair<std::string, std::string>>& options,
                   Failure* failure) {
  AdbcDriver& d = driver_->table();
  AdbcError error{};
  if (!check(d.DatabaseNew(&database_, &error), &error, failure)) return false;
  database_open_ = true;
  for (const auto& [key, value] : options) {
    if (!check(d.DatabaseSetOption(&database_, key.c_str(), value.c_str(), &error), &error,
               failure)) {
      failure->message = "option " + key + ": " + failure->message;
      return false;
    }
  }
  if (!check(d.DatabaseInit(&database_, &error), &error, failure)) return false;
  if (!check(d.ConnectionNew(&connection_, &error), &error, failure)) return false;
  connection_open_ = true;
  return check(d.ConnectionInit(&connection_, &database_, &error), &error, failure);
}

bool Session::new_statement(AdbcStatement* statement, Failure* failure) {
  AdbcError error{};
  return check(driver_->table().StatementNew(&connection_, statement, &error), &error, failure);
}

void Session::release_statement(AdbcStatement* statement) {
  AdbcError ignored{};
  driver_->table().StatementRelease(statement, &ignored);
  if (ignored.release != nullptr) ignored.release(&ignored);
}

bool Session::execute(AdbcStatement* statement, const std::string& sql, ArrowArrayStream* stream,
                      int64_t* rows_affected, Failure* failure) {
  AdbcDriver& d = driver_->table();
  AdbcError error{};
  return check(d.StatementSetSqlQuery(statement, sql.c_str(), &error), &error, failure) &&
         check(d.StatementExecuteQuery(statement, stream, rows_affected, &error), &error, failure);
}

void Session::cancel(AdbcStatement* statement) {
  AdbcError ignored{};
  if (driver_->table().StatementCancel != nullptr) {
    driver_->table().StatementCancel(statement, &ignored);
  }
  if (ignored.release != nullptr) ignored.release(&ignored);
}

bool Session::get_objects(int depth, const char* db_schema, const char* table_name,
                          const char** table_types, const char* column_name,
                          ArrowArrayStream* out, Failure* failure) {
  AdbcError error{};
  return check(driver_->table().ConnectionGetObjects(&connection_, depth, nullptr, db_schema,
                                                     table_name, table_types, column_name, out,
                                                     &error),
               &error, failure);
}

bool Session::get_table_schema(const std::string& db_schema, const std::string& table_name,
                               ArrowSchema* out, Failure* failure) {
  AdbcError error{};
  return check(driver_->table().ConnectionGetTableSchema(
                   &connection_, nullptr, db_schema.empty() ? nullptr : db_schema.c_str(),
                   table_name.c_str(), out, &error),
               &error, failure);
}

}  // namespace nvsql

namespace nvsql {

std::optional<std::string> Session::connection_option(const char* key) {
  const auto get = driver_->table().ConnectionGetOption;
  if (get == nullptr || !connection_open_) return std::nullopt;
  std::string value(128, '\0');
  for (;;) {
    AdbcError error{};
    size_t length = value.size();
    const AdbcStatusCode status = get(&connection_, key, value.data(), &length, &error);
    if (error.release != nullptr) error.release(&error);
    if (status != ADBC_STATUS_OK || length == 0) return std::nullopt;
    if (length <= value.size()) {
      value.resize(length - 1);  // the length counts the terminating NUL
      return value;
    }
    value.resize(length);  // too small: the driver said how much it needs
  }
}

}  // namespace nvsql
