#include "localsvc/ingest.h"

#include "localsvc/http_util.h"
#include "localsvc/wire.h"

namespace nv_localsvc {

void handle_ingest(Service& svc, const std::string& node_id, const httplib::Request& req,
                   httplib::Response& res, const httplib::ContentReader& reader) {
  std::optional<Fault> fault;
  if (begin_request(svc, "ingest", node_id, req, res, &fault)) return;
  if (!require_auth(svc, req, res)) return;
  reader([](const char*, size_t) { return true; });
  std::string body = make_frame(static_cast<uint8_t>(FrameType::kError),
                                R"({"message":"ingest is not available yet","sqlstate":"0A000"})");
  deliver(svc, req, res, 200, kStreamMediaType, std::move(body), fault);
}

}  // namespace nv_localsvc
