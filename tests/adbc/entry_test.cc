// The entry seam: whatever an implementation throws, the exported function returns an error
// and the host goes on; the catalog calls included, whatever the exception's type.
#include "adbc/entry_internal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>

#include "core/connection_internal.h"
#include "norvale_adbc.h"

namespace {

// Allocations of this binary go through here, so that a test can make the next one throw an
// exception of no standard type, as a faulty library might, in the middle of a call. The whole
// family of plain and nothrow forms is replaced, so that every block is freed by the allocator
// that made it (the aligned forms stay the library's own, a family of their own).
thread_local bool g_throw_on_next_new = false;

void* allocate(std::size_t size) {
  if (g_throw_on_next_new) {
    g_throw_on_next_new = false;
    throw 42;
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

// Out of line, so that the compiler does not take the free of a block from operator new for a
// mismatch once it inlines operator delete.
[[gnu::noinline]] void deallocate(void* p) noexcept { std::free(p); }

void* allocate_nothrow(std::size_t size) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate_nothrow(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate_nothrow(size);
}
void operator delete(void* p) noexcept { deallocate(p); }
void operator delete[](void* p) noexcept { deallocate(p); }
void operator delete(void* p, std::size_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::size_t) noexcept { deallocate(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { deallocate(p); }

namespace {

struct Outcome {
  AdbcStatusCode status;
  std::string message;
  std::string sqlstate;
};

Outcome take(AdbcStatusCode status, AdbcError& error) {
  Outcome o{status, error.message != nullptr ? error.message : "",
            error.release != nullptr ? std::string(error.sqlstate, 5) : ""};
  if (error.release != nullptr) error.release(&error);
  return o;
}

TEST(Entry, EveryExceptionBecomesAnInternalError) {
  using norvale::adbc::call_entry;
  using norvale::adbc::Entry;
  struct Case {
    const char* name;
    AdbcStatusCode (*run)(AdbcError*);
    const char* message;
  };
  const Case cases[] = {
      {"standard", [](AdbcError* e) {
         return call_entry(Entry{"AdbcX", nullptr}, e, []() -> arrow::Status {
           throw std::runtime_error("boom");
         });
       }, "AdbcX: internal error: boom"},
      {"int", [](AdbcError* e) {
         return call_entry(Entry{"AdbcX", nullptr}, e, []() -> arrow::Status { throw 7; });
       }, "AdbcX: internal error"},
      {"string", [](AdbcError* e) {
         return call_entry(Entry{"AdbcX", "AdbcX(%d)"}, e,
                           []() -> arrow::Status { throw std::string("text"); }, 1);
       }, "AdbcX: internal error"},
      {"returned", [](AdbcError* e) {
         return call_entry(Entry{"AdbcX", nullptr}, e,
                           [] { return norvale::adbc::invalid_state("AdbcX: not now"); });
       }, "AdbcX: not now"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AdbcError error{};
    const Outcome o = take(c.run(&error), error);
    EXPECT_EQ(o.message, c.message);
    if (std::string(c.name) == "returned") {
      EXPECT_EQ(o.status, ADBC_STATUS_INVALID_STATE);
      EXPECT_EQ(o.sqlstate, "HY010");
    } else {
      EXPECT_EQ(o.status, ADBC_STATUS_INTERNAL);
      EXPECT_EQ(o.sqlstate, "HY000");
    }
  }
  // Without an error to fill, the status alone.
  EXPECT_EQ(call_entry(Entry{"AdbcX", nullptr}, nullptr, []() -> arrow::Status { throw 1; }),
            ADBC_STATUS_INTERNAL);
}

// Each catalog call, on an initialised connection record (its core connection reaches no
// server), with the first allocation inside the call throwing an int.
TEST(Entry, CatalogCallsSurviveANonStandardException) {
  NVConnection core;
  NVAdbcConnectionState state{};
  state.connection = &core;
  AdbcConnection connection{};
  connection.private_data = &state;
  ArrowArrayStream stream{};
  ArrowSchema schema{};
  const uint32_t codes[] = {0};

  struct Case {
    const char* call;
    std::function<AdbcStatusCode(AdbcError*)> run;
  };
  const Case cases[] = {
      {"AdbcConnectionGetObjects",
       [&](AdbcError* e) {
         return nv_adbc_connection_get_objects(&connection, 0, nullptr, nullptr, nullptr, nullptr,
                                               nullptr, &stream, e);
       }},
      {"AdbcConnectionGetTableSchema",
       [&](AdbcError* e) {
         return nv_adbc_connection_get_table_schema(&connection, nullptr, nullptr, "t", &schema,
                                                    e);
       }},
      {"AdbcConnectionGetInfo",
       [&](AdbcError* e) { return nv_adbc_connection_get_info(&connection, codes, 1, &stream, e); }},
      {"AdbcConnectionGetTableTypes",
       [&](AdbcError* e) { return nv_adbc_connection_get_table_types(&connection, &stream, e); }},
      {"AdbcConnectionGetStatisticNames",
       [&](AdbcError* e) {
         return nv_adbc_connection_get_statistic_names(&connection, &stream, e);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    AdbcError error{};
    g_throw_on_next_new = true;
    const AdbcStatusCode status = c.run(&error);
    g_throw_on_next_new = false;
    const Outcome o = take(status, error);
    EXPECT_EQ(o.status, ADBC_STATUS_INTERNAL);
    EXPECT_EQ(o.sqlstate, "HY000");
    EXPECT_EQ(o.message, std::string(c.call) + ": internal error");
    EXPECT_EQ(stream.release, nullptr) << "nothing is handed out";
  }
}

}  // namespace
