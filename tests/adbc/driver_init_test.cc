// Loads the built driver the way a driver manager does and checks the table it fills.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "norvale_adbc.h"

namespace {

std::string driver_soname_path() {
  std::string path = NV_DRIVER_PATH;
  return path.substr(0, path.rfind('/') + 1) + "libnorvale_adbc.so.1";
}

// The library stays loaded for the life of the process, as under a driver manager: its
// process-wide state (log, caches) is meant to outlive every handle.
class DriverInitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static void* handle = dlopen(driver_soname_path().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    init_ = reinterpret_cast<AdbcDriverInitFunc>(dlsym(handle, "AdbcDriverInit"));
    ASSERT_NE(init_, nullptr) << dlerror();
  }
  AdbcDriverInitFunc init_ = nullptr;
};

void expect_filled_1_0_0_entries(const AdbcDriver& d) {
  EXPECT_EQ(d.private_data, nullptr);
  EXPECT_EQ(d.private_manager, nullptr);
  EXPECT_NE(d.release, nullptr);
  EXPECT_NE(d.DatabaseInit, nullptr);
  EXPECT_NE(d.DatabaseNew, nullptr);
  EXPECT_NE(d.DatabaseSetOption, nullptr);
  EXPECT_NE(d.DatabaseRelease, nullptr);
  EXPECT_NE(d.ConnectionGetInfo, nullptr);
  EXPECT_NE(d.ConnectionGetObjects, nullptr);
  EXPECT_NE(d.ConnectionGetTableSchema, nullptr);
  EXPECT_NE(d.ConnectionGetTableTypes, nullptr);
  EXPECT_NE(d.ConnectionInit, nullptr);
  EXPECT_NE(d.ConnectionNew, nullptr);
  EXPECT_NE(d.ConnectionSetOption, nullptr);
  EXPECT_NE(d.ConnectionRelease, nullptr);
  EXPECT_NE(d.StatementBind, nullptr);
  EXPECT_NE(d.StatementBindStream, nullptr);
  EXPECT_NE(d.StatementExecuteQuery, nullptr);
  EXPECT_NE(d.StatementGetParameterSchema, nullptr);
  EXPECT_NE(d.StatementNew, nullptr);
  EXPECT_NE(d.StatementPrepare, nullptr);
  EXPECT_NE(d.StatementRelease, nullptr);
  EXPECT_NE(d.StatementSetOption, nullptr);
  EXPECT_NE(d.StatementSetSqlQuery, nullptr);
  EXPECT_NE(d.ConnectionCommit, nullptr);
  EXPECT_NE(d.ConnectionRollback, nullptr);
  // Entries the driver does not provide.
  EXPECT_EQ(d.ConnectionReadPartition, nullptr);
  EXPECT_EQ(d.StatementExecutePartitions, nullptr);
  EXPECT_EQ(d.StatementSetSubstraitPlan, nullptr);
}

TEST_F(DriverInitTest, Version100FillsTheTableAndTouchesNothingBeyondIt) {
  // A 1.0.0 host allocates only the 1.0.0 prefix: the bytes after it must stay untouched.
  alignas(AdbcDriver) unsigned char buffer[sizeof(AdbcDriver)];
  std::memset(buffer, 0xAB, sizeof(buffer));
  AdbcError error{};
  ASSERT_EQ(init_(ADBC_VERSION_1_0_0, buffer, &error), ADBC_STATUS_OK);
  AdbcDriver driver;
  std::memcpy(&driver, buffer, ADBC_DRIVER_1_0_0_SIZE);
  expect_filled_1_0_0_entries(driver);
  for (size_t i = ADBC_DRIVER_1_0_0_SIZE; i < sizeof(buffer); ++i) {
    ASSERT_EQ(buffer[i], 0xAB) << "byte " << i << " past the 1.0.0 table was written";
  }
  EXPECT_EQ(error.release, nullptr);
}

TEST_F(DriverInitTest, Version110FillsTheSameEntriesAndLeaves110EntriesNull) {
  AdbcDriver driver;
  std::memset(&driver, 0xCD, sizeof(driver));
  ASSERT_EQ(init_(ADBC_VERSION_1_1_0, &driver, nullptr), ADBC_STATUS_OK);
  expect_filled_1_0_0_entries(driver);
  EXPECT_EQ(driver.ErrorGetDetailCount, nullptr);
  EXPECT_EQ(driver.ErrorFromArrayStream, nullptr);
  EXPECT_EQ(driver.DatabaseGetOption, nullptr);
  EXPECT_EQ(driver.ConnectionCancel, nullptr);
  EXPECT_EQ(driver.StatementExecuteSchema, nullptr);
  EXPECT_EQ(driver.StatementSetOptionInt, nullptr);

  ASSERT_EQ(driver.release(&driver, nullptr), ADBC_STATUS_OK);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&driver);
  for (size_t i = 0; i < sizeof(driver); ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
}

// A 1.0.0 table and a 1.1.0 table, each followed by guard bytes, filled and released in either
// order: a release may clear only what its own table holds.
TEST_F(DriverInitTest, MixedVersionTablesReleasedInAnyOrder) {
  constexpr size_t kGuard = 64;
  struct Table {
    int version;
    size_t size;
    unsigned char* bytes;
  };
  for (const bool small_first : {true, false}) {
    SCOPED_TRACE(small_first ? "1.0.0 released first" : "1.1.0 released first");
    Table small{ADBC_VERSION_1_0_0, ADBC_DRIVER_1_0_0_SIZE, nullptr};
    Table large{ADBC_VERSION_1_1_0, ADBC_DRIVER_1_1_0_SIZE, nullptr};
    for (Table* t : {&small, &large}) {
      t->bytes = static_cast<unsigned char*>(std::malloc(t->size + kGuard));
      std::memset(t->bytes, 0xAB, t->size + kGuard);
    }
    // Filled in the opposite order of release, so a remembered "last size" would be wrong.
    Table* order[2] = {small_first ? &large : &small, small_first ? &small : &large};
    for (Table* t : order) ASSERT_EQ(init_(t->version, t->bytes, nullptr), ADBC_STATUS_OK);
    for (Table* t : {order[1], order[0]}) {
      AdbcDriver head;
      std::memcpy(&head, t->bytes, ADBC_DRIVER_1_0_0_SIZE);
      ASSERT_EQ(head.release(reinterpret_cast<AdbcDriver*>(t->bytes), nullptr), ADBC_STATUS_OK);
    }
    for (Table* t : {&small, &large}) {
      for (size_t i = 0; i < t->size; ++i) EXPECT_EQ(t->bytes[i], 0) << "byte " << i;
      for (size_t i = t->size; i < t->size + kGuard; ++i) {
        ASSERT_EQ(t->bytes[i], 0xAB) << "guard byte " << i - t->size << " after a table of "
                                     << t->size << " bytes was written";
      }
      std::free(t->bytes);
    }
  }
}

TEST_F(DriverInitTest, CommitAndRollbackSayAutocommitIsOn) {
  AdbcDriver d{};
  ASSERT_EQ(init_(ADBC_VERSION_1_0_0, &d, nullptr), ADBC_STATUS_OK);
  AdbcConnection conn{};
  AdbcError error{};
  ASSERT_EQ(d.ConnectionNew(&conn, &error), ADBC_STATUS_OK);
  for (auto call : {d.ConnectionCommit, d.ConnectionRollback}) {
    EXPECT_EQ(call(&conn, &error), ADBC_STATUS_INVALID_STATE);
    ASSERT_NE(error.message, nullptr);
    EXPECT_NE(std::string(error.message).find("autocommit is on"), std::string::npos)
        << error.message;
    EXPECT_EQ(std::string(error.sqlstate, 5), "HY010");
    error.release(&error);
  }
  // Turning autocommit off stays unsupported.
  EXPECT_EQ(d.ConnectionSetOption(&conn, "adbc.connection.autocommit", "false", &error),
            ADBC_STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(std::string(error.sqlstate, 5), "0A000");
  error.release(&error);
  EXPECT_EQ(d.ConnectionRelease(&conn, &error), ADBC_STATUS_OK);
}

TEST_F(DriverInitTest, UnsupportedVersionAndNullTableAreRefused) {
  AdbcDriver driver{};
  AdbcError error{};
  EXPECT_EQ(init_(1002000, &driver, &error), ADBC_STATUS_NOT_IMPLEMENTED);
  ASSERT_NE(error.message, nullptr);
  EXPECT_STREQ(error.message,
               "AdbcDriverInit: unsupported ADBC version 1002000 (this driver implements 1.0.0)");
  EXPECT_EQ(std::string(error.sqlstate, 5), "HY000");
  EXPECT_EQ(driver.DatabaseNew, nullptr);
  error.release(&error);

  EXPECT_EQ(init_(ADBC_VERSION_1_0_0, nullptr, &error), ADBC_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "AdbcDriverInit: driver pointer is null");
  EXPECT_EQ(std::string(error.sqlstate, 5), "HY009");
  error.release(&error);
  EXPECT_EQ(error.message, nullptr);
  EXPECT_EQ(error.release, nullptr);
}

TEST_F(DriverInitTest, HandlesThroughTheTable) {
  AdbcDriver d{};
  ASSERT_EQ(init_(ADBC_VERSION_1_0_0, &d, nullptr), ADBC_STATUS_OK);
  AdbcError error{};

  AdbcDatabase db{};
  ASSERT_EQ(d.DatabaseNew(&db, &error), ADBC_STATUS_OK);
  void* first = db.private_data;
  EXPECT_EQ(d.DatabaseNew(&db, &error), ADBC_STATUS_INVALID_STATE);
  EXPECT_STREQ(error.message, "AdbcDatabaseNew called twice on the same handle without Release");
  EXPECT_EQ(std::string(error.sqlstate, 5), "HY010");
  EXPECT_EQ(db.private_data, first);
  EXPECT_EQ(d.DatabaseRelease(&db, &error), ADBC_STATUS_OK);
  EXPECT_EQ(db.private_data, nullptr);
  EXPECT_EQ(d.DatabaseNew(&db, &error), ADBC_STATUS_OK);
  EXPECT_EQ(d.DatabaseRelease(&db, &error), ADBC_STATUS_OK);

  AdbcConnection conn{};
  ASSERT_EQ(d.ConnectionNew(&conn, &error), ADBC_STATUS_OK);
  EXPECT_EQ(d.ConnectionNew(&conn, &error), ADBC_STATUS_INVALID_STATE);
  EXPECT_STREQ(error.message, "AdbcConnectionNew called twice without Release");

  AdbcStatement stmt{};
  EXPECT_EQ(d.StatementNew(&conn, &stmt, &error), ADBC_STATUS_INVALID_STATE);
  EXPECT_STREQ(error.message,
               "AdbcStatementNew: parent connection not initialised (call AdbcConnectionInit "
               "first)");
  EXPECT_EQ(stmt.private_data, nullptr);
  EXPECT_EQ(d.ConnectionRelease(&conn, &error), ADBC_STATUS_OK);
  EXPECT_EQ(d.StatementNew(&conn, &stmt, &error), ADBC_STATUS_INVALID_STATE);
  EXPECT_STREQ(error.message, "AdbcStatementNew: parent connection not allocated");
  EXPECT_EQ(d.StatementNew(nullptr, &stmt, &error), ADBC_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "AdbcStatementNew: null connection or statement");
  EXPECT_EQ(d.DatabaseNew(nullptr, &error), ADBC_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "AdbcDatabaseNew: database pointer is null");
  EXPECT_EQ(d.ConnectionNew(nullptr, &error), ADBC_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(error.message, "AdbcConnectionNew: connection pointer is null");
  error.release(&error);

  // Release of null handles and of handles that were never allocated does nothing.
  AdbcDatabase never_db{};
  AdbcConnection never_conn{};
  AdbcStatement never_stmt{};
  EXPECT_EQ(d.DatabaseRelease(nullptr, nullptr), ADBC_STATUS_OK);
  EXPECT_EQ(d.DatabaseRelease(&never_db, nullptr), ADBC_STATUS_OK);
  EXPECT_EQ(d.ConnectionRelease(nullptr, nullptr), ADBC_STATUS_OK);
  EXPECT_EQ(d.ConnectionRelease(&never_conn, nullptr), ADBC_STATUS_OK);
  EXPECT_EQ(d.StatementRelease(nullptr, nullptr), ADBC_STATUS_OK);
  EXPECT_EQ(d.StatementRelease(&never_stmt, nullptr), ADBC_STATUS_OK);
}

}  // namespace
