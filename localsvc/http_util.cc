#include "localsvc/http_util.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "localsvc/disconnect_watch.h"

namespace nv_localsvc {

void reply_json(httplib::Response& res, int status, const nlohmann::json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
}

std::optional<Principal> require_auth(Service& svc, const httplib::Request& req,
                                      httplib::Response& res) {
  std::string auth = req.get_header_value("Authorization");
  const std::string prefix = "Bearer ";
  std::optional<Principal> who;
  if (auth.compare(0, prefix.size(), prefix) == 0) who = svc.principal_for(auth.substr(7));
  if (!who) {
    svc.count("auth_rejected");
    reply_json(res, 401,
               {{"message", auth.empty() ? "missing bearer token" : "invalid or expired token"},
                {"error", "unauthorized"},
                {"code", "UNAUTHORIZED"}});
  }
  return who;
}

nlohmann::json interesting_headers(const httplib::Request& req) {
  nlohmann::json out = nlohmann::json::object();
  for (const auto& [k, v] : req.headers) {
    std::string lower;
    for (char c : k) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    if (lower == "authorization") continue;
    out[lower] = v;
  }
  return out;
}

void shutdown_connection(int local_port, int remote_port) {
  for_each_connected_socket([&](int fd, int local, int remote) {
    if (local != local_port || remote != remote_port) return;
    // An RST rather than an orderly close: the client sees the connection die.
    linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    shutdown(fd, SHUT_RDWR);
  });
}

void close_client_connections() {
  for_each_connected_socket([](int fd, int, int) { shutdown(fd, SHUT_RDWR); });
}

nlohmann::json connection_sockets() {
  nlohmann::json out = nlohmann::json::array();
  for_each_connected_socket([&](int fd, int local, int remote) {
    int nodelay = 0;
    socklen_t len = sizeof(nodelay);
    if (getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len) != 0) return;
    out.push_back({{"local_port", local}, {"remote_port", remote}, {"nodelay", nodelay != 0}});
  });
  return out;
}

namespace {

// Set on an error answer that may keep its connection, and on one that must close it; never
// sent.
constexpr const char* kKeepMarker = "X-Localsvc-Keep-Connection";
constexpr const char* kCloseMarker = "X-Localsvc-Close-Connection";

}  // namespace

void close_connection_after(httplib::Response& res) { res.set_header(kCloseMarker, "1"); }

void keep_connections_after_errors(httplib::Server& server) {
  // The library has already decided to close by then ("Connection: close" is set).
  server.set_post_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    if (res.status >= 400 && !res.has_header(kCloseMarker) &&
        req.get_header_value("Connection") != "close") {
      res.set_header(kKeepMarker, "1");
    }
  });
  server.set_header_writer([](httplib::Stream& strm, httplib::Headers& headers) {
    headers.erase(kCloseMarker);
    if (headers.erase(kKeepMarker) > 0) {
      // The library closes after an answer that carries this header.
      headers.erase("Connection");
    }
    return httplib::detail::write_headers(strm, headers);
  });
}

bool begin_request(Service& svc, const std::string& endpoint, const std::string& node_id,
                   const httplib::Request& req, httplib::Response& res,
                   std::optional<Fault>* fault) {
  svc.note_request(endpoint, node_id, interesting_headers(req),
                   {req.local_port, req.remote_port});
  *fault = svc.faults().take(endpoint, node_id);
  if (!*fault) return false;
  const Fault& f = **fault;
  if (f.delay_ms > 0) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(f.delay_ms);
    while (std::chrono::steady_clock::now() < until && !svc.stopping)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (f.close) {
    shutdown_connection(req.local_port, req.remote_port);
    res.status = 500;
    return true;
  }
  if (f.status != 0) {
    if (!f.location.empty()) res.set_header("Location", f.location);
    deliver(svc, req, res, f.status, f.content_type, f.body, *fault);
    return true;
  }
  return false;
}

namespace {

class StringProducer : public BodyProducer {
 public:
  explicit StringProducer(std::string body) : body_(std::move(body)) {}
  Step step(FaultWriter& out) override {
    out.write(body_);
    return Step::kDone;
  }

 private:
  std::string body_;
};

bool needs_streaming(const std::optional<Fault>& f) {
  return f && (f->trickle_bps > 0 || f->cut_after_bytes >= 0 || f->reset_after_bytes >= 0 ||
               f->stall_after_bytes >= 0);
}

}  // namespace

void deliver(Service& svc, const httplib::Request& req, httplib::Response& res, int status,
             const std::string& content_type, std::string body,
             const std::optional<Fault>& fault) {
  if (!needs_streaming(fault)) {
    svc.count("bytes_sent", static_cast<int64_t>(body.size()));
    res.status = status;
    res.set_content(std::move(body), content_type);
    return;
  }
  stream_body(svc, req, res, status, content_type,
              std::make_shared<StringProducer>(std::move(body)), fault);
}

namespace {

struct StreamState {
  std::shared_ptr<BodyProducer> producer;
  httplib::DataSink* sink = nullptr;
  std::unique_ptr<FaultWriter> writer;
  uint64_t counted = 0;
  std::unique_ptr<Service::ConnectionGuard> guard;
  std::unique_ptr<Encoder> encoder;  // null: the body goes out as written
  std::string pending;               // what the producer wrote in this step, before coding
  uint64_t coded_bytes = 0;          // bytes on the wire when coded
};

// Codes what the step wrote and sends it; false when the client is gone.
bool send_coded(StreamState& st, bool last) {
  const std::string out = st.encoder->Encode(st.pending, last);
  st.pending.clear();
  st.coded_bytes += out.size();
  return out.empty() || st.sink->write(out.data(), out.size());
}

}  // namespace

Coding answer_coding(const httplib::Request& req, const std::optional<Fault>& fault) {
  return fault ? Coding::kIdentity : choose_coding(req);
}

void stream_body(Service& svc, const httplib::Request& req, httplib::Response& res, int status,
                 const std::string& content_type, std::shared_ptr<BodyProducer> producer,
                 const std::optional<Fault>& fault, Coding coding) {
  auto st = std::make_shared<StreamState>();
  st->producer = std::move(producer);
  st->encoder = make_encoder(coding);
  int lp = req.local_port, rp = req.remote_port;
  st->guard = std::make_unique<Service::ConnectionGuard>(svc, lp, rp);
  Service* s = &svc;
  StreamState* raw = st.get();
  st->writer = std::make_unique<FaultWriter>(
      fault ? &*fault : nullptr,
      [raw](const char* d, size_t n) {
        if (!raw->encoder) return raw->sink->write(d, n);
        raw->pending.append(d, n);
        return true;
      },
      [lp, rp]() { shutdown_connection(lp, rp); }, [s]() { return s->stopping.load(); });
  res.status = status;
  if (st->encoder) res.set_header("Content-Encoding", coding_token(coding));
  res.set_chunked_content_provider(
      content_type,
      [st, s](size_t, httplib::DataSink& sink) {
        st->sink = &sink;
        BodyProducer::Step step = BodyProducer::Step::kDone;
        try {
          step = st->producer->step(*st->writer);
        } catch (const std::exception&) {
          return false;
        }
        if (st->encoder && !s->stopping && !st->writer->failed()) {
          try {
            if (!send_coded(*st, step == BodyProducer::Step::kDone || st->writer->cut())) {
              return false;
            }
          } catch (const std::exception&) {
            return false;
          }
        }
        uint64_t sent = st->encoder ? st->coded_bytes : st->writer->bytes();
        s->count("bytes_sent", static_cast<int64_t>(sent - st->counted));
        st->counted = sent;
        if (st->writer->cut()) {
          sink.done();
          return true;
        }
        if (s->stopping || st->writer->failed()) return false;
        if (step == BodyProducer::Step::kDone) {
          // A writer that failed (reset or peer gone) ends the transfer without a clean end.
          if (st->writer->failed()) return false;
          sink.done();
        }
        return true;
      },
      [st](bool) {
        st->producer.reset();
        st->guard.reset();
      });
}

}  // namespace nv_localsvc
