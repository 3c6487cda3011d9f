// The control-plane and ingest answers: authentication, node lookup and recommendation,
// catalog version, and the ingest summary.
#include <string>

#include "core/auth_internal.h"
#include "core/ingest/ingest_response_internal.h"
#include "core/route_internal.h"
#include "fuzz_input.h"
#include "norvale/nv_core.h"
#include "norvale/nv_snapshot.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nv_fuzz::Input in(data, size);
  const uint8_t which = in.byte();
  const std::string body(in.rest());
  char err[256];
  switch (which % 5) {
    case 0: {
      NVAuthResult result{};
      norvale::parse_auth_response(body, &result, err, sizeof(err));
      nv_auth_result_free(&result);
      break;
    }
    case 1: {
      NVNodeRoute route{};
      norvale::parse_lookup_response("https://cp", "node-1", body, &route, err, sizeof(err));
      nv_node_route_free(&route);
      break;
    }
    case 2: {
      NVNodeRoute route{};
      norvale::parse_recommend_response("http://cp", body, &route, err, sizeof(err));
      nv_node_route_free(&route);
      break;
    }
    case 3: {
      NVCatalogVersion version{};
      parse_catalog_version_response(body.data(), body.size(), &version, err, sizeof(err));
      break;
    }
    default: {
      norvale::ingest::walk_ingest_response(body);
      norvale::ingest::find_json_int64(body, "rows_inserted");
      norvale::ingest::find_json_double(body, "duration_ms");
      norvale::ingest::find_json_string(body, "message");
      norvale::ingest::find_json_string_array(body, "landed_paths");
      norvale::ingest::find_json_true(body, "idempotent_replay");
      break;
    }
  }
  return 0;
}
