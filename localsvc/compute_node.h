// Routes of one compute node: the query stream and the ingest stream.
#pragma once

#include <httplib.h>

#include "localsvc/service.h"

namespace nv_localsvc {

void register_compute_node(httplib::Server& server, Service& svc, size_t node_index);

}  // namespace nv_localsvc
