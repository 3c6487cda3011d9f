// The install step's driver manifest: installed into a scratch prefix, it is valid TOML, names
// the installed library, and a driver manager can load the driver through it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "norvale_adbc.h"
#include "support/test_files.h"

namespace {

using Toml = std::map<std::string, std::string>;  // "table.key" -> value as written

bool bare_key(const std::string& key) {
  if (key.empty()) return false;
  for (char c : key) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
  }
  return true;
}

// A strict reader of the TOML subset the manifest uses: [table] headers and key = value lines
// with a basic string (no escapes) or an integer. Anything else, or a repeated key, fails.
bool parse_toml(const std::string& text, Toml* out, std::string* err) {
  std::istringstream in(text);
  std::string line, table;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (line.back() != ']' || !bare_key(line.substr(1, line.size() - 2))) {
        *err = where + "bad table header";
        return false;
      }
      table = line.substr(1, line.size() - 2);
      continue;
    }
    const size_t eq = line.find(" = ");
    if (eq == std::string::npos || !bare_key(line.substr(0, eq))) {
      *err = where + "not key = value";
      return false;
    }
    std::string value = line.substr(eq + 3);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
      for (char c : value) {
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) {
          *err = where + "string needs escapes";
          return false;
        }
      }
    } else if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) {
      *err = where + "value is neither a string nor an integer";
      return false;
    }
    const std::string key = (table.empty() ? "" : table + ".") + line.substr(0, eq);
    if (!out->emplace(key, value).second) {
      *err = where + "repeated key " + key;
      return false;
    }
  }
  return true;
}

TEST(ManifestInstall, ScratchPrefixGetsALoadableManifest) {
  nv_test::TempDir prefix;
  const std::string command = "cmake --install '" NV_BINARY_DIR "' --component driver --prefix '" +
                              prefix.path() + "' > '" + prefix.path() + "/install.log' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << nv_test::read_file(prefix.path() + "/install.log");

  const std::string path = prefix.path() + "/etc/adbc/drivers/norvale.toml";
  const std::string text = nv_test::read_file(path);
  ASSERT_FALSE(text.empty()) << "no manifest at " << path;
  Toml toml;
  std::string err;
  ASSERT_TRUE(parse_toml(text, &toml, &err)) << err << "\n" << text;
  EXPECT_EQ(toml["manifest_version"], "1");
  EXPECT_FALSE(toml["name"].empty());
  EXPECT_FALSE(toml["version"].empty());
  EXPECT_EQ(toml["ADBC.version"], "1.0.0");
  EXPECT_EQ(toml["Driver.entrypoint"], "AdbcDriverInit");

  // The library path lies inside the prefix and is the installed library.
  const std::string shared = toml["Driver.shared"];
  ASSERT_TRUE(shared.starts_with(prefix.path() + "/")) << shared;
  ASSERT_TRUE(std::filesystem::exists(shared)) << shared;
  void* library = dlopen(shared.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto init =
      reinterpret_cast<AdbcDriverInitFunc>(dlsym(library, toml["Driver.entrypoint"].c_str()));
  ASSERT_NE(init, nullptr) << dlerror();
  AdbcDriver driver{};
  AdbcError error{};
  ASSERT_EQ(init(ADBC_VERSION_1_0_0, &driver, &error), ADBC_STATUS_OK);
  EXPECT_NE(driver.DatabaseNew, nullptr);
  EXPECT_EQ(driver.release(&driver, &error), ADBC_STATUS_OK);
  // The library stays loaded: its process-wide state is meant to outlive every handle.
}

}  // namespace
