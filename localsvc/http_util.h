// Request and response helpers shared by the control plane and the compute nodes.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "localsvc/content_coding.h"
#include "localsvc/faults.h"
#include "localsvc/service.h"

namespace nv_localsvc {

void reply_json(httplib::Response& res, int status, const nlohmann::json& body);

/// 401 with a JSON body when the request lacks a valid bearer token.
std::optional<Principal> require_auth(Service& svc, const httplib::Request& req,
                                      httplib::Response& res);

/// The headers worth reporting in the counters (never the Authorization header).
nlohmann::json interesting_headers(const httplib::Request& req);

/// Drops the TCP connection that carries `req` (both directions), without any reply.
void shutdown_connection(int local_port, int remote_port);

/// Shuts down every TCP connection the process holds (at shutdown, once nothing is accepted).
void close_client_connections();

/// The process's connected TCP sockets: `local_port`, `remote_port` and whether `nodelay`
/// (TCP_NODELAY) is set on them.
nlohmann::json connection_sockets();

/// Keeps a connection open after an error status that a handler answered, as HTTP allows (the
/// HTTP library would otherwise close it after every status of 400 or more): the request was
/// read whole, so the next one can follow on the same connection.
void keep_connections_after_errors(httplib::Server& server);

/// Closes the connection after this answer: for a handler that could not read its request
/// whole, whose rest would otherwise be taken for the next request.
void close_connection_after(httplib::Response& res);

/// Counts the request and takes a pending fault for it, then applies the fault's delay.
/// Returns true when the fault already answered the request (dropped connection or a
/// scripted status), in which case the handler must return at once.
bool begin_request(Service& svc, const std::string& endpoint, const std::string& node_id,
                   const httplib::Request& req, httplib::Response& res,
                   std::optional<Fault>* fault);

/// Sends a complete body through the fault's delivery knobs.
void deliver(Service& svc, const httplib::Request& req, httplib::Response& res, int status,
             const std::string& content_type, std::string body,
             const std::optional<Fault>& fault);

/// A body produced piece by piece while the client reads it.
class BodyProducer {
 public:
  enum class Step { kMore, kDone };
  virtual ~BodyProducer() = default;
  /// Writes the next piece; kDone when the body is complete. A false write means the body
  /// must end: return kDone.
  virtual Step step(FaultWriter& out) = 0;
};

/// Streams the producer's output as a chunked body with the fault's delivery knobs, in
/// `coding` (each step's output is flushed to the client as it is made). The delivery knobs
/// count the bytes the producer writes; a caller with a fault passes no coding.
void stream_body(Service& svc, const httplib::Request& req, httplib::Response& res, int status,
                 const std::string& content_type, std::shared_ptr<BodyProducer> producer,
                 const std::optional<Fault>& fault, Coding coding = Coding::kIdentity);

/// The coding for an answer to `req`: none when a fault shapes its delivery, which counts
/// the framed bytes themselves.
Coding answer_coding(const httplib::Request& req, const std::optional<Fault>& fault);

}  // namespace nv_localsvc
