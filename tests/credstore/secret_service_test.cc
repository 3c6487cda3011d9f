// The libsecret path, through a stand-in library loaded by the same dlopen mechanism.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "credstore/secret_service_internal.h"
#include "norvale/nv_credstore.h"
#include "support/test_files.h"

namespace {

class CredstoreSecretService : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = dir_.path() + "/config";
    ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    // The first name does not exist: the probe moves on to the next.
    norvale::credstore::secret_service_reprobe_for_test(
        {"/nonexistent/libsecret-1.so.0", NV_FAKE_LIBSECRET_PATH});
    fake_ = dlopen(NV_FAKE_LIBSECRET_PATH, RTLD_NOW);
    ASSERT_NE(fake_, nullptr);
    fail_next_ = reinterpret_cast<void (*)()>(dlsym(fake_, "fake_secret_fail_next"));
    item_count_ = reinterpret_cast<int (*)()>(dlsym(fake_, "fake_secret_item_count"));
    ASSERT_NE(fail_next_, nullptr);
  }
  void TearDown() override {
    norvale::credstore::secret_service_reprobe_for_test({});
    ::unsetenv("XDG_CONFIG_HOME");
  }

  nv_test::TempDir dir_;
  std::string config_;
  void* fake_ = nullptr;
  void (*fail_next_)() = nullptr;
  int (*item_count_)() = nullptr;
};

TEST_F(CredstoreSecretService, StoresInTheServiceNotTheFile) {
  EXPECT_STREQ(nv_credstore_backend(), "libsecret");
  const int before = item_count_();
  ASSERT_EQ(nv_credstore_set("https://cp", "Pwd:ann", "s3cret"), 0);
  EXPECT_EQ(item_count_(), before + 1);
  char* out = nullptr;
  ASSERT_EQ(nv_credstore_get("https://cp", "Pwd:ann", &out), 0);
  EXPECT_STREQ(out, "s3cret");
  nv_credstore_free(out);
  EXPECT_EQ(nv_credstore_get("https://cp", "Pwd:bob", &out), 1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(nv_credstore_delete("https://cp", "Pwd:ann"), 0);
  EXPECT_EQ(nv_credstore_delete("https://cp", "Pwd:ann"), 0);  // nothing to delete is fine
  EXPECT_EQ(nv_credstore_get("https://cp", "Pwd:ann", &out), 1);
  EXPECT_EQ(nv_test::read_file(config_ + "/norvale/credstore"), "");
}

TEST_F(CredstoreSecretService, ErrorSwitchesToTheFileForGood) {
  fail_next_();
  // The same operation is retried on the file, which serves everything afterwards.
  ASSERT_EQ(nv_credstore_set("acct", "k", "v"), 0);
  EXPECT_STREQ(nv_credstore_backend(), "file");
  EXPECT_NE(nv_test::read_file(config_ + "/norvale/credstore"), "");
  const int items = item_count_();
  ASSERT_EQ(nv_credstore_set("acct", "k2", "v2"), 0);
  EXPECT_EQ(item_count_(), items);
  char* out = nullptr;
  ASSERT_EQ(nv_credstore_get("acct", "k2", &out), 0);
  EXPECT_STREQ(out, "v2");
  nv_credstore_free(out);
}

TEST_F(CredstoreSecretService, LookupErrorFallsBackToFile) {
  fail_next_();
  char* out = nullptr;
  EXPECT_EQ(nv_credstore_get("acct", "missing", &out), 1);  // answered by the empty file
  EXPECT_STREQ(nv_credstore_backend(), "file");
}

TEST_F(CredstoreSecretService, LibraryWithoutTheFunctionsIsNotUsed) {
  // libc opens fine but resolves none of the four required functions.
  norvale::credstore::secret_service_reprobe_for_test({"libc.so.6"});
  EXPECT_STREQ(nv_credstore_backend(), "file");
}

}  // namespace
