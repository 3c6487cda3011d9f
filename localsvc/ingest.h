// The ingest stream: a chunked framed upload (INIT manifest, BATCH payloads, EOS) applied to
// a table in one transaction, answered with a STATS or an ERROR frame.
#pragma once

#include <httplib.h>

#include "localsvc/service.h"

namespace nv_localsvc {

void handle_ingest(Service& svc, const std::string& node_id, const httplib::Request& req,
                   httplib::Response& res, const httplib::ContentReader& reader);

}  // namespace nv_localsvc
