// Text conversions and cleaning: UTF-16 both ways (round trips must agree), log redaction, and
// the credential file reader.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "credstore/file_store_internal.h"
#include "fuzz_input.h"
#include "norvale/nv_cells.h"
#include "norvale/nv_log.h"

namespace {

void utf16(std::string_view bytes) {
  std::u16string units;
  if (nv_utf8_to_utf16(bytes.data(), bytes.size(), units) == 1) {
    std::string back;
    if (nv_utf16_to_utf8(reinterpret_cast<const uint16_t*>(units.data()), units.size(), back) !=
            1 ||
        back != bytes) {
      std::abort();  // strict UTF-8 must survive the round trip
    }
  }
  std::vector<uint16_t> raw(bytes.size() / 2);
  if (!raw.empty()) std::memcpy(raw.data(), bytes.data(), raw.size() * 2);
  std::string out;
  nv_utf16_to_utf8(raw.data(), raw.size(), out);
  raw.push_back(0);
  out.clear();
  nv_utf16_to_utf8_n(raw.data(), -1, out);
}

void redact(std::string_view bytes) {
  const std::string text(bytes.data(), strnlen(bytes.data(), bytes.size()));
  char* cleaned = nv_log_redact(text.c_str());
  std::free(cleaned);
}

void credential_file(std::string_view bytes) {
  static const std::string path = "/tmp/nv-fuzz-credstore-" + std::to_string(::getpid());
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  std::vector<norvale::credstore::FileRecord> records;
  norvale::credstore::load_records(path, &records);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nv_fuzz::Input in(data, size);
  const uint8_t which = in.byte();
  const std::string_view rest = in.rest();
  switch (which % 3) {
    case 0: utf16(rest); break;
    case 1: redact(rest); break;
    default: credential_file(rest); break;
  }
  return 0;
}
