#include "support/localsvc_fixture.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace nv_test {

namespace {

#ifdef NV_LOCALSVC_PATH
constexpr const char* kServicePath = NV_LOCALSVC_PATH;
#else
constexpr const char* kServicePath = "";
#endif

using CurlPtr = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using SlistPtr = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

size_t append_body(char* data, size_t size, size_t n, void* user) {
  static_cast<std::string*>(user)->append(data, size * n);
  return size * n;
}

bool run_quiet(const std::string& cmd, std::string* err) {
  std::string full = cmd + " >/dev/null 2>&1";
  int rc = std::system(full.c_str());
  if (rc != 0) {
    *err = "command failed (" + std::to_string(rc) + "): " + cmd;
    return false;
  }
  return true;
}

bool write_file(const std::string& path, const std::string& text) {
  std::ofstream f(path);
  f << text;
  return static_cast<bool>(f);
}

}  // namespace

bool SplitFrames(const std::string& body, std::vector<WireFrame>* frames) {
  frames->clear();
  size_t pos = 0;
  while (pos < body.size()) {
    if (body.size() - pos < 8) return false;
    const auto* h = reinterpret_cast<const unsigned char*>(body.data() + pos);
    size_t len = (size_t{h[4]} << 24) | (size_t{h[5]} << 16) | (size_t{h[6]} << 8) | h[7];
    if (body.size() - pos - 8 < len) return false;
    frames->push_back({h[0], body.substr(pos + 8, len)});
    pos += 8 + len;
  }
  return true;
}

bool MakeTestCertificates(TlsFiles* out, std::string* err) {
  char tmpl[] = "/tmp/nv-localsvc-tls-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    *err = "mkdtemp failed";
    return false;
  }
  TlsFiles f;
  f.dir = tmpl;
  f.ca_cert = f.dir + "/ca.pem";
  f.server_cert = f.dir + "/server.pem";
  f.server_key = f.dir + "/server.key";
  f.client_cert = f.dir + "/client.pem";
  f.client_key = f.dir + "/client.key";
  const std::string d = f.dir;
  const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  if (!write_file(d + "/server.ext",
                  "subjectAltName=DNS:localhost,DNS:node.norvale.test,IP:127.0.0.1,IP:::1\n"
                  "extendedKeyUsage=serverAuth\n") ||
      !write_file(d + "/client.ext", "extendedKeyUsage=clientAuth\n")) {
    *err = "cannot write openssl extension files";
    return false;
  }
  bool ok =
      run_quiet("openssl req -x509 " + ec + " -keyout " + d + "/ca.key -out " + f.ca_cert +
                    " -days 2 -subj /CN=norvale-localsvc-test-ca",
                err) &&
      run_quiet("openssl req " + ec + " -keyout " + f.server_key + " -out " + d +
                    "/server.csr -subj /CN=localhost",
                err) &&
      run_quiet("openssl x509 -req -in " + d + "/server.csr -CA " + f.ca_cert + " -CAkey " + d +
                    "/ca.key -CAcreateserial -days 2 -out " + f.server_cert + " -extfile " + d +
                    "/server.ext",
                err) &&
      run_quiet("openssl req " + ec + " -keyout " + f.client_key + " -out " + d +
                    "/client.csr -subj /CN=norvale-test-client",
                err) &&
      run_quiet("openssl x509 -req -in " + d + "/client.csr -CA " + f.ca_cert + " -CAkey " + d +
                    "/ca.key -CAcreateserial -days 2 -out " + f.client_cert + " -extfile " + d +
                    "/client.ext",
                err);
  if (!ok) return false;
  *out = f;
  return true;
}

std::unique_ptr<LocalSvc> LocalSvc::StartEmpty() {
  LocalSvcOptions opts;
  opts.seed_demo = false;
  std::string err;
  auto svc = Start(opts, &err);
  if (svc == nullptr) std::fprintf(stderr, "cannot start the local service: %s\n", err.c_str());
  return svc;
}

std::unique_ptr<LocalSvc> LocalSvc::Start(const LocalSvcOptions& opts, std::string* err) {
  std::string dummy;
  if (err == nullptr) err = &dummy;
  const std::string binary = opts.binary.empty() ? kServicePath : opts.binary;
  if (binary.empty()) {
    *err = "NV_LOCALSVC_PATH was not defined when the test support library was built";
    return nullptr;
  }
  std::unique_ptr<LocalSvc> svc(new LocalSvc());
  std::vector<std::string> args = {binary,
                                   "--port",
                                   "0",
                                   "--nodes",
                                   std::to_string(opts.nodes),
                                   "--user",
                                   std::string(kUser) + ":" + kPassword,
                                   "--client",
                                   std::string(kClientId) + ":" + kClientSecret,
                                   "--threads",
                                   "8"};
  if (opts.seed_demo) args.insert(args.end(), {"--seed", "demo"});
  if (opts.token_ttl_seconds > 0)
    args.insert(args.end(), {"--token-ttl", std::to_string(opts.token_ttl_seconds)});
  if (opts.tls) {
    if (!MakeTestCertificates(&svc->tls_files_, err)) return nullptr;
    args.insert(args.end(), {"--tls-cert", svc->tls_files_.server_cert, "--tls-key",
                             svc->tls_files_.server_key});
    if (opts.require_client_cert)
      args.insert(args.end(), {"--tls-client-ca", svc->tls_files_.ca_cert});
  }
  args.insert(args.end(), opts.extra_args.begin(), opts.extra_args.end());

  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    *err = "pipe failed";
    return nullptr;
  }
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    *err = "fork failed";
    return nullptr;
  }
  if (pid == 0) {
    // The service must not outlive a test binary that crashed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(out_pipe[1], STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  svc->pid_ = pid;

  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{out_pipe[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t n = read(out_pipe[0], buf, sizeof(buf));
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  close(out_pipe[0]);
  nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  if (!j.is_object() || !j.contains("control_plane_url")) {
    *err = "service did not print its start line (got '" + line + "')";
    svc->Stop();
    return nullptr;
  }
  svc->control_plane_url_ = j["control_plane_url"].get<std::string>();
  svc->admin_token_ = j["admin_token"].get<std::string>();
  svc->land_dir_ = j.value("land_dir", "");
  svc->tls_on_ = j.value("tls", false);
  for (const auto& n : j["nodes"])
    svc->nodes_.push_back({n["url"].get<std::string>(), n["entity_ref"].get<std::string>(),
                           n["id"].get<std::string>()});
  return svc;
}

LocalSvc::~LocalSvc() { Stop(); }

int LocalSvc::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  pid_t r = 0;
  while ((r = waitpid(pid_, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (r == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    status = -1;
  }
  pid_ = -1;
  if (!tls_files_.dir.empty()) {
    int rc = std::system(("rm -rf '" + tls_files_.dir + "'").c_str());
    (void)rc;
    tls_files_.dir.clear();
  }
  return status;
}

HttpReply LocalSvc::Http(const std::string& method, const std::string& url,
                         const std::string& body, const std::string& bearer,
                         const std::vector<std::string>& headers) const {
  HttpReply reply;
  CurlPtr curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) {
    reply.error = "curl_easy_init failed";
    return reply;
  }
  SlistPtr list(nullptr, &curl_slist_free_all);
  auto add = [&](const std::string& h) {
    curl_slist* next = curl_slist_append(list.get(), h.c_str());
    if (next != nullptr) {
      (void)list.release();
      list.reset(next);
    }
  };
  add("Content-Type: application/json");
  if (!bearer.empty()) add("Authorization: Bearer " + bearer);
  for (const auto& h : headers) add(h);
  char errbuf[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 120L);
  curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &append_body);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &reply.body);
  if (method == "POST") {
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  } else if (method != "GET") {
    curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
    if (!body.empty()) {
      curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
      curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
  }
  if (tls_on_) {
    curl_easy_setopt(curl.get(), CURLOPT_CAINFO, tls_files_.ca_cert.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_SSLCERT, tls_files_.client_cert.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_SSLKEY, tls_files_.client_key.c_str());
  }
  CURLcode rc = curl_easy_perform(curl.get());
  reply.curl_code = static_cast<int>(rc);
  if (rc != CURLE_OK) {
    reply.error = errbuf[0] != '\0' ? errbuf : curl_easy_strerror(rc);
    return reply;
  }
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &reply.status);
  return reply;
}

std::string LocalSvc::Login(const std::string& user, const std::string& pass) const {
  nlohmann::json body = {{"grant_type", "password"}, {"username", user}, {"password", pass}};
  HttpReply r = Http("POST", control_plane_url_ + "/api/v1/auth/token", body.dump());
  if (r.status != 200) return {};
  nlohmann::json j = nlohmann::json::parse(r.body, nullptr, false);
  if (!j.is_object() || !j.contains("session_token")) return {};
  return j["session_token"].get<std::string>();
}

bool LocalSvc::Sql(const std::string& sql, std::string* err) const {
  nlohmann::json body = {{"sql", sql}};
  HttpReply r = Http("POST", node_url(0) + "/api/v1/query/stream/binary", body.dump(),
                     admin_token_);
  std::string dummy;
  if (err == nullptr) err = &dummy;
  if (r.status != 200) {
    *err = "HTTP " + std::to_string(r.status) + ": " + r.body + r.error;
    return false;
  }
  std::vector<WireFrame> frames;
  if (!SplitFrames(r.body, &frames)) {
    *err = "truncated response";
    return false;
  }
  for (const auto& f : frames) {
    if (f.type == 4) {
      *err = f.payload;
      return false;
    }
  }
  return true;
}

void LocalSvc::AddFault(const nlohmann::json& fault) const {
  HttpReply r = Http("POST", control_plane_url_ + "/api/v1/admin/faults", fault.dump(),
                     admin_token_);
  EXPECT_EQ(r.status, 200) << "fault rejected: " << r.body << r.error;
}

void LocalSvc::ClearFaults() const {
  HttpReply r = Http("DELETE", control_plane_url_ + "/api/v1/admin/faults", {}, admin_token_);
  EXPECT_EQ(r.status, 200) << r.body << r.error;
}

nlohmann::json LocalSvc::Counters() const {
  HttpReply r = Http("GET", control_plane_url_ + "/api/v1/admin/faults", {}, admin_token_);
  nlohmann::json j = nlohmann::json::parse(r.body, nullptr, false);
  if (r.status != 200 || !j.is_object()) {
    ADD_FAILURE() << "counters unavailable: " << r.body << r.error;
    return nlohmann::json::object();
  }
  return j["counters"];
}

int64_t LocalSvc::Counter(const std::string& name) const {
  nlohmann::json c = Counters();
  auto it = c.find(name);
  return (it != c.end() && it->is_number_integer()) ? it->get<int64_t>() : 0;
}

int64_t LocalSvc::AwaitCounter(const std::string& name, int64_t at_least,
                               int timeout_seconds) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  for (;;) {
    const int64_t value = Counter(name);
    if (value >= at_least || std::chrono::steady_clock::now() >= deadline) return value;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int64_t LocalSvc::ResidentBytes() const {
  std::ifstream f("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      std::istringstream in(line.substr(6));
      int64_t kb = 0;
      in >> kb;
      return kb * 1024;
    }
  }
  return -1;
}

std::unique_ptr<LocalSvc> LocalSvcTest::shared_;
std::string LocalSvcTest::start_error_;

void LocalSvcTest::StartShared(const LocalSvcOptions& opts) {
  shared_.reset();
  start_error_.clear();
  shared_ = LocalSvc::Start(opts, &start_error_);
}

void LocalSvcTest::TearDownTestSuite() { shared_.reset(); }

void LocalSvcTest::SetUp() {
  ASSERT_NE(shared_, nullptr) << "local service did not start: " << start_error_;
  shared_->ClearFaults();
}

}  // namespace nv_test
