// The private credential file: one "account TAB key TAB base64(secret)" line per entry.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <arrow/result.h>
#include <arrow/status.h>

namespace norvale::credstore {

struct FileRecord {
  std::string account;
  std::string key;
  std::string secret_base64;
};

/// "$XDG_CONFIG_HOME/norvale/credstore" (when it is an absolute path), or the home directory's
/// ".config" instead. Fails when there is no home directory.
arrow::Result<std::string> credential_file_path();

/// The records of a file's content in order; lines without two tabs are skipped.
void parse_records(std::string_view content, std::vector<FileRecord>* records);

/// The records of the file. A missing file is empty; a link, a file of another user or a
/// read failure is an error.
arrow::Status load_records(const std::string& path, std::vector<FileRecord>* records);

/// Replaces the file atomically: a temporary file of its own (never an existing name), fsync,
/// rename, fsync of the directory. The directory and its parent are created with mode 0700
/// when missing and must belong to the user and be closed to others' writes. On failure the old
/// file is untouched.
arrow::Status save_records(const std::string& path, const std::vector<FileRecord>& records);

/// Result codes of the exported functions. Writers take a lock file beside the credential file,
/// so that writers in several processes never lose each other's entries.
int file_set(const char* account, const char* key, const char* secret);
int file_get(const char* account, const char* key, char** out);
int file_delete(const char* account, const char* key);

}  // namespace norvale::credstore
