// The ingest transfer verifies the server exactly as the connection's TLS settings say.
#include <gtest/gtest.h>

#include "adbc/statement_ingest_internal.h"
#include "norvale/nv_ingest.h"
#include "tests/core/ingest/ingest_net_util.h"

namespace {

class IngestTlsNetTest : public nv_test::LocalSvcTest {
 public:
  static void SetUpTestSuite() {
    nv_test::LocalSvcOptions opts;
    opts.tls = true;
    StartShared(opts);
  }

 protected:
  // Connects with `tls` and runs a one-batch Parquet land ingest; the summary's SQLSTATE, or
  // "" on success.
  std::string IngestWith(const NVTlsConfig& tls, std::string* message) {
    const std::string token = svc().Login();
    char err[512] = "";
    NVConnection* raw =
        nv_connect(svc().control_plane_url().c_str(), svc().node_url(0).c_str(), nullptr,
                   token.c_str(), nullptr, nullptr, &tls, nullptr, err, sizeof err);
    EXPECT_NE(raw, nullptr) << err;
    if (raw == nullptr) return "connect";
    nv_ingest_test::ConnPtr conn(raw);
    NVIngestConfig cfg{};
    cfg.mode = NV_INGEST_MODE_LAND;
    cfg.payload_format = NV_INGEST_FORMAT_PARQUET;
    cfg.target_location = "tls";
    NVIngestHandle* h = nullptr;
    EXPECT_EQ(nv_ingest_begin(conn.get(), &cfg, &h, err, sizeof err), 0) << err;
    auto bytes = *norvale::adbc::encode_batch_parquet(nv_ingest_test::IdNameBatch(0, 3));
    (void)nv_ingest_push_batch(h, bytes->data(), bytes->size());
    NVIngestSummary s{};
    const int rc = nv_ingest_finish(h, &s);
    *message = s.error_message;
    nv_ingest_summary_free(&s);
    nv_ingest_free(h);
    return rc == 0 ? "" : s.sqlstate;
  }
};

TEST_F(IngestTlsNetTest, ConnectionSettingsDecideVerification) {
  std::string message;
  NVTlsConfig with_ca;
  nv_tls_config_init(&with_ca);
  with_ca.ca_certificate = svc().tls_files().ca_cert.c_str();
  EXPECT_EQ(IngestWith(with_ca, &message), "") << message;

  NVTlsConfig trust;
  nv_tls_config_init(&trust);
  trust.trust_server_certificate = 1;
  EXPECT_EQ(IngestWith(trust, &message), "") << message;

  NVTlsConfig defaults;
  nv_tls_config_init(&defaults);
  EXPECT_EQ(IngestWith(defaults, &message), "08001");
  EXPECT_EQ(message.rfind("ingest transport: ", 0), 0u) << message;

  NVTlsConfig wrong_name = with_ca;
  wrong_name.hostname_in_certificate = "otherhost";
  EXPECT_EQ(IngestWith(wrong_name, &message), "08001") << message;
}

}  // namespace
