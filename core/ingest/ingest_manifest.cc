#include <cstdio>

#include "core/ingest/ingest_handle_internal.h"
#include "core/ingest/ingest_manifest_internal.h"
#include "util/base64_internal.h"

namespace norvale::ingest {
namespace {

void append_quoted(std::string* out, std::string_view text) {
  out->push_back('"');
  out->append(json_escape(text));
  out->push_back('"');
}

void append_member(std::string* out, std::string_view key) {
  if (out->size() > 1) out->push_back(',');
  append_quoted(out, key);
  out->push_back(':');
}

}  // namespace

std::string json_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case 8:
        out += "\\b";
        break;
      case 9:
        out += "\\t";
        break;
      case 10:
        out += "\\n";
        break;
      case 12:
        out += "\\f";
        break;
      case 13:
        out += "\\r";
        break;
      default:
        if (byte < 32) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(byte));
          out += buf;
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

const char* mode_name(int32_t mode) {
  switch (mode) {
    case NV_INGEST_MODE_APPEND:
      return "append";
    case NV_INGEST_MODE_UPSERT:
      return "upsert";
    case NV_INGEST_MODE_OVERWRITE:
      return "overwrite";
    case NV_INGEST_MODE_LAND:
      return "land";
    default:
      return nullptr;
  }
}

const char* payload_format_name(int32_t format) {
  switch (format) {
    case NV_INGEST_FORMAT_ARROW_IPC:
      return "arrow_ipc";
    case NV_INGEST_FORMAT_PARQUET:
      return "parquet";
    default:
      return nullptr;
  }
}

std::string build_manifest(const NVIngestHandle& h) {
  const char* mode = mode_name(h.mode);
  const char* format = payload_format_name(h.payload_format);
  std::string out = "{";
  if (!h.target_table.empty()) {
    append_member(&out, "target_table");
    append_quoted(&out, h.target_table);
  }
  if (!h.target_location.empty()) {
    append_member(&out, "target_location");
    append_quoted(&out, h.target_location);
  }
  append_member(&out, "mode");
  append_quoted(&out, mode != nullptr ? mode : "");
  append_member(&out, "payload_format");
  append_quoted(&out, format != nullptr ? format : "");
  append_member(&out, "key_columns");
  out.push_back('[');
  for (size_t i = 0; i < h.key_columns.size(); ++i) {
    if (i > 0) out.push_back(',');
    append_quoted(&out, h.key_columns[i]);
  }
  out.push_back(']');
  if (h.payload_format == NV_INGEST_FORMAT_ARROW_IPC && !h.schema_bytes.empty()) {
    append_member(&out, "schema_ipc");
    out.push_back('"');
    out += base64_encode(std::string_view(reinterpret_cast<const char*>(h.schema_bytes.data()),
                                          h.schema_bytes.size()));
    out.push_back('"');
  }
  if (!h.idempotency_key.empty()) {
    append_member(&out, "idempotency_key");
    append_quoted(&out, h.idempotency_key);
  }
  append_member(&out, "coerce");
  out += h.coerce ? "true" : "false";
  out.push_back('}');
  return out;
}

}  // namespace norvale::ingest
