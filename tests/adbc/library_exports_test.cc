// The shared library exports the driver entry, the core client's C functions and the named C++
// entry points, and nothing of Arrow, libcurl, the C++ runtime or the internals.
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<std::string> command_lines(const std::string& command) {
  std::vector<std::string> lines;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return lines;
  char buffer[4096];
  while (fgets(buffer, sizeof(buffer), pipe.get()) != nullptr) {
    std::string line(buffer);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool allowed_symbol(const std::string& name) {
  static const std::regex kAllowed(
      "AdbcDriverInit"
      "|parse_catalog_version_response"
      "|nv_[A-Za-z0-9_]+"
      "|nv_(utf16_to_utf8|utf8_to_utf16|make_local_query_handle)[A-Za-z0-9_]*\\(.*"
      "|norvale::adbc::info_schema_[A-Za-z0-9_]+\\(.*"
      "|norvale::adbc::populate_meta_engine_baselines\\(.*"
      "|nv_sql::nv_sql_parse\\(.*"
      "|nv_sql::MetadataEngine::.*"
      "|(typeinfo|typeinfo name|vtable) for nv_sql::MetadataEngine");
  return std::regex_match(name, kAllowed);
}

TEST(LibraryExports, OnlyTheAllowedSymbolsAreExported) {
  // --format=posix prints "name type value size"; demangled names may hold blanks, so the type
  // letter is found from the end.
  auto lines = command_lines("nm -D --defined-only --demangle --format=posix '" +
                             std::string(NV_DRIVER_PATH) + "'");
  ASSERT_FALSE(lines.empty()) << "nm printed nothing for " << NV_DRIVER_PATH;
  bool saw_entry = false;
  for (const std::string& line : lines) {
    static const std::regex kLine("^(.*) ([A-Za-z]) [0-9a-f]+( [0-9a-f]+)?$");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, kLine)) << "unexpected nm line: " << line;
    std::string name = m[1].str();
    if (name == "AdbcDriverInit") saw_entry = true;
    EXPECT_TRUE(allowed_symbol(name)) << "exported symbol outside the allowed set: " << name;
  }
  EXPECT_TRUE(saw_entry);
}

TEST(LibraryExports, SonameAndFileName) {
  std::string path = NV_DRIVER_PATH;
  EXPECT_EQ(path.substr(path.rfind('/') + 1), "libnorvale_adbc.so.1.0.0");
  auto lines = command_lines("readelf -d '" + path + "'");
  std::string soname;
  for (const std::string& line : lines) {
    static const std::regex kSoname(".*\\(SONAME\\).*\\[(.*)\\]");
    std::smatch m;
    if (std::regex_match(line, m, kSoname)) soname = m[1].str();
  }
  EXPECT_EQ(soname, "libnorvale_adbc.so.1");
}

}  // namespace
