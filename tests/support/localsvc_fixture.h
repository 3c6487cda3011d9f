// Starts the local Norvale service (norvale-localsvc) for network tests and talks to its admin
// endpoint. Typical use:
//
//   class MyNetTest : public nv_test::LocalSvcTest {};
//   TEST_F(MyNetTest, Works) { auto token = svc().Login(); ... svc().control_plane_url() ... }
//
// A suite that needs other options defines its own SetUpTestSuite calling StartShared(opts).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace nv_test {

/// Throw-away certificates made with the openssl command.
struct TlsFiles {
  std::string dir;
  std::string ca_cert;      // PEM of the CA that signed both certificates below
  std::string server_cert;  // for localhost and 127.0.0.1
  std::string server_key;
  std::string client_cert;  // for mutual TLS
  std::string client_key;
};

/// Makes a CA, a server certificate (localhost, 127.0.0.1) and a client certificate in a new
/// temporary directory. False with a message when openssl fails.
bool MakeTestCertificates(TlsFiles* out, std::string* err);

struct LocalSvcOptions {
  int nodes = 1;
  bool seed_demo = true;
  bool tls = false;                  // serve https with certificates from MakeTestCertificates
  bool require_client_cert = false;  // with tls: demand a client certificate
  int64_t token_ttl_seconds = 0;     // 0: the service's default
  std::vector<std::string> extra_args;
  std::string binary;  // empty: this build's norvale-localsvc (benchmarks compare another)
};

struct LocalSvcNode {
  std::string url;
  std::string entity_ref;
  std::string id;
};

struct HttpReply {
  long status = 0;     // 0 when the transfer failed
  std::string body;
  int curl_code = 0;   // CURLcode of the transfer
  std::string error;   // curl's error text when the transfer failed
};

/// Splits a framed body (application/vnd.norvale.stream.v1) into frames.
struct WireFrame {
  uint8_t type = 0;
  std::string payload;
};
/// False when the body ends inside a frame (the frames before it are still returned).
bool SplitFrames(const std::string& body, std::vector<WireFrame>* frames);

class LocalSvc {
 public:
  static constexpr const char* kUser = "alice";
  static constexpr const char* kPassword = "alice-secret";
  static constexpr const char* kClientId = "etl-bot";
  static constexpr const char* kClientSecret = "etl-bot-secret";

  /// Starts the service on free loopback ports and waits for its JSON line. Null with a
  /// message on failure.
  static std::unique_ptr<LocalSvc> Start(const LocalSvcOptions& opts, std::string* err);
  /// For benchmarks: a service without the demo data; null after saying why on standard error.
  static std::unique_ptr<LocalSvc> StartEmpty();
  ~LocalSvc();
  LocalSvc(const LocalSvc&) = delete;
  LocalSvc& operator=(const LocalSvc&) = delete;

  /// SIGTERM, then waits; returns the exit status (or -1). Called by the destructor.
  int Stop();
  pid_t pid() const { return pid_; }

  const std::string& control_plane_url() const { return control_plane_url_; }
  const std::vector<LocalSvcNode>& nodes() const { return nodes_; }
  const std::string& node_url(size_t i = 0) const { return nodes_.at(i).url; }
  const std::string& admin_token() const { return admin_token_; }
  const std::string& land_dir() const { return land_dir_; }
  bool tls() const { return tls_on_; }
  /// Certificates, when started with tls.
  const TlsFiles& tls_files() const { return tls_files_; }

  /// One HTTP request through libcurl. With TLS the service's CA is trusted and the client
  /// certificate is presented. Extra headers are "Name: value" lines.
  HttpReply Http(const std::string& method, const std::string& url, const std::string& body,
                 const std::string& bearer = {},
                 const std::vector<std::string>& headers = {}) const;

  /// Password login; the session token, or empty on failure.
  std::string Login(const std::string& user = kUser, const std::string& pass = kPassword) const;

  /// Runs SQL on the first node with the admin token; false with the error text when the
  /// answer is not 200 or carries an ERROR frame.
  bool Sql(const std::string& sql, std::string* err = nullptr) const;

  /// Admin endpoint: schedules a fault (JSON object, see localsvc/README.md).
  void AddFault(const nlohmann::json& fault) const;
  /// Removes every pending fault and resets the counters.
  void ClearFaults() const;
  /// All counters ("requests.query", "logins", "confirms", "bytes_sent", ...).
  nlohmann::json Counters() const;
  /// One counter, 0 when absent.
  int64_t Counter(const std::string& name) const;
  /// Waits until the counter reaches `at_least` or the time is up; its last value.
  int64_t AwaitCounter(const std::string& name, int64_t at_least, int timeout_seconds = 60) const;
  /// The service's resident memory in bytes (from /proc).
  int64_t ResidentBytes() const;

 private:
  LocalSvc() = default;
  pid_t pid_ = -1;
  std::string control_plane_url_;
  std::vector<LocalSvcNode> nodes_;
  std::string admin_token_;
  std::string land_dir_;
  bool tls_on_ = false;
  TlsFiles tls_files_;
};

/// A test fixture with one service per test suite; faults and counters are cleared before
/// each test.
class LocalSvcTest : public ::testing::Test {
 public:
  static void SetUpTestSuite() { StartShared(LocalSvcOptions{}); }
  static void TearDownTestSuite();

 protected:
  void SetUp() override;
  /// Starts the shared service (replacing a running one) with these options.
  static void StartShared(const LocalSvcOptions& opts);
  static LocalSvc& svc() { return *shared_; }

 private:
  static std::unique_ptr<LocalSvc> shared_;
  static std::string start_error_;
};

}  // namespace nv_test
