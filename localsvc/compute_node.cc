#include "localsvc/compute_node.h"

#include "localsvc/http_util.h"
#include "localsvc/ingest.h"
#include "localsvc/query_job.h"
#include "localsvc/sql_errors.h"
#include "localsvc/wire.h"

namespace nv_localsvc {

namespace {

using nlohmann::json;

void handle_query(Service& svc, const std::string& node_id, const httplib::Request& req,
                  httplib::Response& res) {
  std::optional<Fault> fault;
  if (begin_request(svc, "query", node_id, req, res, &fault)) return;
  if (!require_auth(svc, req, res)) return;
  json body = json::parse(req.body, nullptr, false);
  if (!body.is_object() || !body.contains("sql") || !body["sql"].is_string()) {
    reply_json(res, 400, {{"message", "request body must be a JSON object with a string sql"},
                          {"code", "QUERY_ERROR"}});
    return;
  }
  int64_t max_bytes = kDefaultMaxBatchBytes;
  if (auto it = body.find("stream_options"); it != body.end() && it->is_object()) {
    auto m = it->find("max_batch_bytes");
    if (m != it->end() && m->is_number_integer() && m->get<int64_t>() > 0)
      max_bytes = std::min<int64_t>(m->get<int64_t>(), 128 * 1024 * 1024);
  }
  auto job = std::make_shared<QueryJob>(svc, max_bytes, fault,
                                        std::make_pair(req.local_port, req.remote_port));
  arrow::Status st = job->start(body["sql"].get<std::string>());
  if (!st.ok()) {
    HttpSqlError e = map_sql_error(st.message());
    svc.count("query_errors");
    reply_json(res, e.status, {{"message", e.message}, {"code", e.code}});
    return;
  }
  stream_body(svc, req, res, 200, kStreamMediaType, job, fault, answer_coding(req, fault));
}

}  // namespace

void register_compute_node(httplib::Server& server, Service& svc, size_t node_index) {
  Service* s = &svc;
  std::string node_id = svc.nodes()[node_index].id;
  server.Post("/api/v1/query/stream/binary",
              [s, node_id](const httplib::Request& q, httplib::Response& r) {
                handle_query(*s, node_id, q, r);
              });
  server.Post("/api/v1/ingest/stream", [s, node_id](const httplib::Request& q,
                                                    httplib::Response& r,
                                                    const httplib::ContentReader& reader) {
    handle_ingest(*s, node_id, q, r, reader);
  });
}

}  // namespace nv_localsvc
