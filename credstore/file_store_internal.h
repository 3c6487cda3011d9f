// The private credential file: one "account TAB key TAB base64(secret)" line per entry.
#pragma once

#include <string>
#include <vector>

namespace norvale::credstore {

struct FileRecord {
  std::string account;
  std::string key;
  std::string secret_base64;
};

/// "$XDG_CONFIG_HOME/norvale/credstore", or the home directory's ".config" instead.
std::string credential_file_path();

/// The records of the file in order. A missing file is empty; false for any other failure.
bool load_records(const std::string& path, std::vector<FileRecord>* records);

/// Replaces the file atomically (temporary file, fsync, rename), creating missing directories
/// with mode 0700 and leaving the file at mode 0600. False, with the old file untouched, when
/// anything fails.
bool save_records(const std::string& path, const std::vector<FileRecord>& records);

/// Result codes of the exported functions.
int file_set(const char* account, const char* key, const char* secret);
int file_get(const char* account, const char* key, char** out);
int file_delete(const char* account, const char* key);

}  // namespace norvale::credstore
