// A snapshot result set is checked once when it is decoded: a utf8 offset that points outside
// the data fails the result set instead of reaching the readers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <arrow/api.h>

#include "metadata/snapshot_decode_internal.h"
#include "snapshot_fixture.h"

namespace {

uint8_t* malloc_copy(const std::string& bytes) {
  auto* block = static_cast<uint8_t*>(std::malloc(bytes.size()));
  std::memcpy(block, bytes.data(), bytes.size());
  return block;
}

TEST(SnapshotDecode, CorruptedUtf8OffsetFailsTheResultSet) {
  auto good = nvtest::tables_batch({{"c", "s", "t1", "BASE TABLE"}, {"c", "s", "t2", "VIEW"}});
  const std::string bytes = nvtest::ipc_bytes(good->schema(), {good});
  auto decoded = norvale::adbc::decode_result_set(2, malloc_copy(bytes), bytes.size());
  ASSERT_TRUE(decoded.ok()) << decoded.status().ToString();

  // The same batch with the first row's end offset of table_name far past its data.
  auto names = good->GetColumnByName("table_name");
  auto offsets = std::const_pointer_cast<arrow::Buffer>(names->data()->buffers[1]);
  reinterpret_cast<int32_t*>(offsets->mutable_data())[names->offset() + 1] = 1 << 20;
  const std::string bad = nvtest::ipc_bytes(good->schema(), {good});
  auto refused = norvale::adbc::decode_result_set(2, malloc_copy(bad), bad.size());
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.status().message().rfind("snapshot RS 2: IPC ReadNext failed: ", 0), 0u)
      << refused.status().message();
}

}  // namespace
