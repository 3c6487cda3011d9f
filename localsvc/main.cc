// norvale-localsvc: a local Norvale service for development and tests. One process serves the
// control plane and the compute nodes, each on its own port, over one DuckDB database. On
// start it prints one JSON line on stdout describing where everything listens.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "localsvc/compute_node.h"
#include "localsvc/connection_threads.h"
#include "localsvc/control_plane.h"
#include "localsvc/http_util.h"
#include "localsvc/seed.h"
#include "localsvc/service.h"

namespace {

using nv_localsvc::Options;
using nv_localsvc::Service;

std::unique_ptr<httplib::Server> make_server(const Options& o) {
  std::unique_ptr<httplib::Server> s;
  if (o.tls_cert.empty()) {
    s = std::make_unique<httplib::Server>();
  } else {
    s = std::make_unique<httplib::SSLServer>(
        o.tls_cert.c_str(), o.tls_key.c_str(),
        o.tls_client_ca.empty() ? nullptr : o.tls_client_ca.c_str());
  }
  const size_t threads = static_cast<size_t>(o.threads);
  s->new_task_queue = [threads] { return new nv_localsvc::ConnectionThreads(threads, 4096); };
  // Slow readers and slow uploaders are part of what this service is for.
  s->set_read_timeout(300, 0);
  s->set_write_timeout(300, 0);
  s->set_payload_max_length(static_cast<size_t>(1) << 40);
  // Answers are written in several pieces (headers, chunks, the last chunk); with Nagle's
  // algorithm the last small piece waits for the client's delayed acknowledgement (~40 ms).
  // Accepted sockets inherit the option from the listening one.
  s->set_tcp_nodelay(true);
  // Clients keep their connections for as many requests as they like, and as long as
  // production services keep them.
  s->set_keep_alive_max_count(static_cast<size_t>(1) << 30);
  s->set_keep_alive_timeout(static_cast<time_t>(o.keep_alive_seconds));
  nv_localsvc::keep_connections_after_errors(*s);
  if (o.log_requests) {
    s->set_logger([](const httplib::Request& req, const httplib::Response& res) {
      std::fprintf(stderr, "norvale-localsvc: %s:%d %s %s -> %d\n", req.local_addr.c_str(),
                   req.local_port, req.method.c_str(), req.path.c_str(), res.status);
    });
  }
  return s;
}

int run(int argc, char** argv) {
  Options opts;
  std::string err;
  bool help = false;
  if (!nv_localsvc::parse_options(argc, argv, &opts, &err, &help)) {
    std::cerr << "norvale-localsvc: " << err << "\n" << nv_localsvc::usage_text();
    return 2;
  }
  if (help) {
    std::cout << nv_localsvc::usage_text();
    return 0;
  }

  // Signals are taken by one thread with sigwait; every other thread inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Service svc(opts);
  if (!svc.open_database(&err)) {
    std::cerr << "norvale-localsvc: cannot open database: " << err << "\n";
    return 1;
  }
  if (!opts.seed.empty()) {
    arrow::Status st = nv_localsvc::seed_demo(svc.db());
    if (!st.ok()) {
      std::cerr << "norvale-localsvc: seeding failed: " << st.ToString() << "\n";
      return 1;
    }
  }
  std::string land = opts.land_dir;
  if (land.empty()) {
    char tmpl[] = "/tmp/norvale-localsvc-land-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      std::cerr << "norvale-localsvc: cannot create a land directory\n";
      return 1;
    }
    land = tmpl;
  }
  svc.set_land_dir(land);

  auto control = make_server(opts);
  if (!control->is_valid()) {
    std::cerr << "norvale-localsvc: TLS certificate or key could not be loaded\n";
    return 1;
  }
  int cp_port = opts.port == 0 ? control->bind_to_any_port(opts.host)
                               : (control->bind_to_port(opts.host, opts.port) ? opts.port : -1);
  if (cp_port <= 0) {
    std::cerr << "norvale-localsvc: cannot listen on " << opts.host << ":" << opts.port << "\n";
    return 1;
  }
  const std::string scheme = opts.tls_cert.empty() ? "http://" : "https://";
  std::string host = (opts.host == "0.0.0.0") ? "127.0.0.1" : opts.host == "::" ? "::1" : opts.host;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";  // IPv6 literal in a URL

  std::vector<std::unique_ptr<httplib::Server>> node_servers;
  for (int i = 0; i < opts.nodes; ++i) {
    auto s = make_server(opts);
    int want = i < static_cast<int>(opts.node_ports.size()) ? opts.node_ports[i]
               : opts.port == 0                             ? 0
                                                            : opts.port + 1 + i;
    int port = want == 0 ? s->bind_to_any_port(opts.host)
                         : (s->bind_to_port(opts.host, want) ? want : -1);
    if (port <= 0) {
      std::cerr << "norvale-localsvc: cannot listen on " << opts.host << ":" << want << "\n";
      return 1;
    }
    nv_localsvc::NodeInfo n;
    n.id = "node-" + std::to_string(i + 1);
    n.entity_ref = "local-node-" + std::to_string(i + 1);
    n.port = port;
    n.url = scheme + host + ":" + std::to_string(port);
    svc.nodes().push_back(n);
    node_servers.push_back(std::move(s));
  }
  nv_localsvc::register_control_plane(*control, svc);
  for (size_t i = 0; i < node_servers.size(); ++i)
    nv_localsvc::register_compute_node(*node_servers[i], svc, i);

  std::vector<std::thread> listeners;
  listeners.emplace_back([&] { control->listen_after_bind(); });
  for (auto& s : node_servers) listeners.emplace_back([&s] { s->listen_after_bind(); });
  for (auto& s : node_servers) s->wait_until_ready();
  control->wait_until_ready();

  nlohmann::json line = {{"control_plane_url", scheme + host + ":" + std::to_string(cp_port)},
                         {"admin_token", svc.admin_token()},
                         {"pid", static_cast<int64_t>(getpid())},
                         {"land_dir", land},
                         {"tls", !opts.tls_cert.empty()}};
  line["nodes"] = nlohmann::json::array();
  for (const auto& n : svc.nodes())
    line["nodes"].push_back({{"url", n.url}, {"entity_ref", n.entity_ref}, {"id", n.id}});
  std::cout << line.dump() << std::endl;

  int sig = 0;
  sigwait(&stop_signals, &sig);
  svc.stopping = true;
  svc.drop_active_connections();
  control->stop();
  for (auto& s : node_servers) s->stop();
  // Clients keep idle connections open for a minute; their threads end once those close.
  nv_localsvc::close_client_connections();
  for (auto& t : listeners) t.join();
  if (opts.land_dir.empty()) rmdir(land.c_str());  // our own temporary directory, when unused
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "norvale-localsvc: " << e.what() << "\n";
    return 1;
  }
}
