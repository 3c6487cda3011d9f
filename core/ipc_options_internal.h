// How Arrow IPC payloads from a server are read.
#pragma once

#include <arrow/ipc/options.h>

namespace norvale {

/// Read options for every IPC payload a server sends. A body buffer placed at an offset its
/// type cannot be read from (an int32 column at an odd address) is copied to an aligned one:
/// the library's own readers and the host's both load values in place. Well-formed payloads
/// keep 8-byte aligned buffers, so nothing is copied for them.
inline arrow::ipc::IpcReadOptions server_ipc_read_options() {
  auto options = arrow::ipc::IpcReadOptions::Defaults();
  options.ensure_alignment = arrow::ipc::Alignment::kDataTypeSpecificAlignment;
  return options;
}

}  // namespace norvale
