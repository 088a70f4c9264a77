// The RT server simulator itself: its fiscal day per till, its replies, the
// control end point, its configuration and the rtsim program.
#include "tools/rtsim/rtsim.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/strings.h"
#include "rtserver/uRTSEPS20.h"

extern char** environ;

namespace qx::rtsim {
namespace {

// A converted receipt as the till submits it: 2 x 1.50 on VAT 1, 10.00 on
// VAT 2, an item discount of 0.50 and a receipt discount of 1.25.
std::string ReceiptText(const std::string& tillId, int recNumber, const std::string& docType,
                        const std::string& recAmount, int zRepNumber = 1) {
  return "<createReceipt><receipt><hash fingerPrint=\"link\"/><printerFiscalReceipt>"
         "<beginFiscalReceipt docType=\"" +
         docType +
         "\"/>"
         "<printRecItem description=\"A\" quantity=\"2\" unitPrice=\"1.50\" vatID=\"1\"/>"
         "<printRecItem description=\"B\" quantity=\"1\" unitPrice=\"10.00\" vatID=\"2\"/>"
         "<printRecItemAdjustment adjustmentType=\"0\" amount=\"0.50\"/>"
         "<printRecSubtotalAdjustment adjustmentType=\"1\" amount=\"1.25\"/>"
         "<printRecTotal payment=\"20.00\" paymentType=\"0\"/>"
         "<fiscalInformation tillId=\"" +
         tillId + "\" zRepNumber=\"" + FormatNumber0000(zRepNumber) + "\" recNumber=\"" +
         std::to_string(recNumber) + "\" recAmount=\"" + recAmount + "\" doctype=\"" + docType +
         "\"/>"
         "<endFiscalReceipt/></printerFiscalReceipt></receipt>"
         "<receiptSecurity><hash fingerPrint=\"seal" +
         std::to_string(recNumber) + "\"/></receiptSecurity></createReceipt>";
}

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_.Start();
    client_.Setup(sim_.BaseAddress(), sim_.Port(), "", "");
  }
  std::string Text(const char* name) {
    return kEPSRTServer_Api::GetChildText(client_.XmlResponseNode(), name);
  }

  Simulator sim_;
  kEPSRTServer client_;
};

TEST_F(SimulatorTest, AFiscalDayFromTokenToClosure) {
  sim_.Configure([](Config& config) {
    config.serialNumber = "99ABC123456";
    config.tokenDate = "20260315";
  });
  sim_.SetTill(ParseTill("T01 z=12 doc=1"));
  ASSERT_TRUE(client_.SendRequest(fpServer, "<createToken><till tillId=\"T01\"/></createToken>"));
  const std::string token = Text("token");
  ASSERT_EQ(token.size(), 49u);
  EXPECT_EQ(token.substr(0, 11), "99ABC123456");
  EXPECT_EQ(token.substr(24),
            "20260315"
            "0012"
            "0001"
            "000000000");
  EXPECT_TRUE(sim_.Till("T01")->dayOpen);

  ASSERT_TRUE(client_.SendRequest(fpServer, ReceiptText("T01", 1, "0", "11.25", 12)));
  ASSERT_TRUE(client_.SendRequest(fpServer, ReceiptText("T01", 2, "1", "3", 12)));
  // A number already booked is refused and changes nothing.
  EXPECT_FALSE(client_.SendRequest(fpServer, ReceiptText("T01", 2, "0", "5", 12)));
  EXPECT_EQ(client_.LastError(), "-14 - Document number 2 already booked");
  const TillState till = *sim_.Till("T01");
  EXPECT_EQ(till.nextDocNumber, 3);
  EXPECT_EQ(till.dailyAmount, ParseCurrency("11.25"));  // refunds are not in the daily amount
  EXPECT_EQ(till.lastFingerPrint, "seal2");

  // The running report books each receipt on its VAT lines, adding up exactly.
  ASSERT_TRUE(client_.SendRequest(
      fpServer,
      "<createReport><fiscalInformation tillId=\"T01\" zRepNumber=\"0\"/></createReport>"));
  EXPECT_EQ(Text("zRepNumber"), "12");
  EXPECT_EQ(Text("recNumber"), "2");
  EXPECT_EQ(Text("dailyAmount"), "11.25");
  XmlElement vatCount = kEPSRTServer_Api::RequireChild(client_.XmlResponseNode(), "vatCount");
  EXPECT_EQ(vatCount.Xml(),
            "<vatCount>2"
            "<vatCount1>vatId=\"1\" vatRate=\"22,00%\" vatSales=\"2.7\" vatRefund=\"0.72\" "
            "vatVoid=\"0\"</vatCount1>"
            "<vatCount2>vatId=\"2\" vatRate=\"10,00%\" vatSales=\"8.55\" vatRefund=\"2.28\" "
            "vatVoid=\"0\"</vatCount2></vatCount>");

  ASSERT_TRUE(client_.SendRequest(
      fpServer, "<createDailyClosure><till tillId=\"T01\" /></createDailyClosure>"));
  EXPECT_FALSE(sim_.Till("T01")->dayOpen);
  EXPECT_EQ(sim_.Till("T01")->zRepNumber, 13);
  EXPECT_FALSE(client_.SendRequest(
      fpServer, "<createDailyClosure><till tillId=\"T01\" /></createDailyClosure>"));
  EXPECT_EQ(client_.LastError(), "-12 - Fiscal day not open");
  EXPECT_FALSE(client_.SendRequest(fpServer, ReceiptText("T01", 3, "0", "5", 12)));
  EXPECT_EQ(client_.LastError(), "-15 - Z report 12 is closed");

  ASSERT_TRUE(client_.SendRequest(
      fpServer, "<createReport><zReport tillId=\"T01\" zRepNumber=\"12\"/></createReport>"));
  EXPECT_EQ(Text("dailyAmount"), "11.25");
  EXPECT_EQ(Text("zRepDate"), "20260315");
  EXPECT_FALSE(client_.SendRequest(
      fpServer, "<createReport><zReport tillId=\"T01\" zRepNumber=\"13\"/></createReport>"));
  EXPECT_EQ(client_.LastError(), "-11 - Z report not found");

  ASSERT_TRUE(client_.SendRequest(fpServer, "<createToken><till tillId=\"T01\"/></createToken>"));
  EXPECT_EQ(Text("token").substr(32),
            "0013"
            "0001"
            "000000000");
}

TEST_F(SimulatorTest, ATokenCarriesTheRunningDay) {
  sim_.SetTill(ParseTill("T02 open z=7 doc=15 amount=1234.567"));
  ASSERT_TRUE(client_.SendRequest(fpServer, "<createToken><till tillId=\"T02\"/></createToken>"));
  EXPECT_EQ(Text("token").substr(32),
            "0007"
            "0015"
            "000123457");
}

TEST_F(SimulatorTest, TillMapListsEveryTill) {
  sim_.SetTill(ParseTill("T01 open z=3 doc=5 amount=12.30"));
  sim_.SetTill(ParseTill("T02"));
  ASSERT_TRUE(client_.SendRequest(fpServer, "<createReport><tillMap/></createReport>"));
  XmlElement count = kEPSRTServer_Api::RequireChild(client_.XmlResponseNode(), "tillCount");
  XmlNodeList children = count.ChildNodes();
  ASSERT_EQ(children.Count(), 3u);
  EXPECT_EQ(children.Item(0).Text(), "2");
  EXPECT_EQ(children.Item(1).NodeName(), "tillCount1");
  EXPECT_EQ(children.Item(1).Text(),
            "tillId=\"T01\" dailyOpen=\"1\" tillStatus=\"1\" zRepNumber=\"3\" recNumber=\"4\" "
            "dailyAmount=\"12.3\"");
  EXPECT_EQ(kEPSRTServer_Api::ExtractTextAttribute(children.Item(2), "dailyOpen"), "0");
}

TEST_F(SimulatorTest, PrinterCommandsAnswerTheirFixedLayouts) {
  sim_.Configure([](Config& config) {
    config.headerLines = {"  CENTRED TITLE", std::string(45, 'x'), ""};
    config.clock = "1503261745";
  });
  const auto header = [this](const char* line) {
    EXPECT_TRUE(
        client_.SendRequest(fpMate, std::string("<printerCommand><directIO command=\"3216\" "
                                                "data=\"") +
                                        line + "\"/></printerCommand>"));
    return Text("responseData");
  };
  EXPECT_EQ(header("01"), "01  CENTRED TITLE" + std::string(25, ' '));
  EXPECT_EQ(header("02"), "02" + std::string(45, 'x'));
  EXPECT_EQ(header("03"), "03" + std::string(40, ' '));
  EXPECT_EQ(header("16"), "16" + std::string(40, ' '));

  ASSERT_TRUE(client_.SendRequest(
      fpMate, "<printerCommand><directIO command=\"4201\" data=\"\"/></printerCommand>"));
  EXPECT_EQ(Text("responseData"), "1503261745");

  ASSERT_TRUE(
      client_.SendRequest(fpMate, "<printerFiscalReport><printZReport/></printerFiscalReport>"));
  EXPECT_EQ(Text("zRepNumber"), "1");
  ASSERT_TRUE(client_.SendRequest(
      fpMate, "<printerCommand><directIO command=\"2050\" data=\"2700\"/></printerCommand>"));
  EXPECT_EQ(kEPSRTServer_Api::CopyText(Text("responseData"), 16, 9), "000000001");

  ASSERT_TRUE(client_.SendRequest(fpServer, "<createReport><serverInfo/></createReport>"));
  EXPECT_EQ(Text("rtZRepNumber"), "1");
  EXPECT_EQ(Text("rtExpiryCD"), "20301231");
}

TEST_F(SimulatorTest, RefusesUnknownRequestsAndWrongEndPoints) {
  EXPECT_FALSE(client_.SendRequest(fpMate, "<createReport><serverInfo/></createReport>"));
  EXPECT_EQ(client_.LastError(), "-13 - Request not served at this end point");
  EXPECT_FALSE(client_.SendRequest(fpServer,
                                   "<printerCommand><directIO command=\"9999\" "
                                   "data=\"\"/></printerCommand>"));
  EXPECT_EQ(client_.LastError(), "-9 - Unknown request");
  EXPECT_FALSE(client_.SendRequest(fpServer, "<createReceipt><receipt/></createReceipt>"));
  EXPECT_EQ(client_.LastError(), "-10 - Receipt without fiscal information");
  // A receipt that cannot be read changes nothing.
  EXPECT_FALSE(client_.SendRequest(fpServer, ReceiptText("T09", 1, "0", "abc")));
  EXPECT_FALSE(sim_.Till("T09").has_value());
}

TEST_F(SimulatorTest, FaultsApplyByKindCountAndOrder) {
  Fault refusal;
  refusal.match = "serverInfo";
  refusal.count = 2;
  refusal.code = "-6";
  sim_.AddFault(refusal);
  const char* info = "<createReport><serverInfo/></createReport>";
  const char* map = "<createReport><tillMap/></createReport>";
  EXPECT_TRUE(client_.SendRequest(fpServer, map));  // another kind passes
  EXPECT_FALSE(client_.SendRequest(fpServer, info));
  EXPECT_FALSE(client_.SendRequest(fpServer, info));
  EXPECT_TRUE(client_.SendRequest(fpServer, info));

  Fault forever;
  forever.kind = FaultKind::HttpStatus;
  forever.httpStatus = 500;
  forever.count = -1;
  sim_.AddFault(forever);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(client_.SendRequest(fpServer, map));
  EXPECT_EQ(client_.LastError(), "Http error: 500: Internal Server Error");
  sim_.ClearFaults();
  EXPECT_TRUE(client_.SendRequest(fpServer, map));
}

TEST_F(SimulatorTest, ADelayedReplyStillArrivesAndStopCutsALongOneShort) {
  Fault delay;
  delay.kind = FaultKind::Delay;
  delay.delayMs = 50;
  sim_.AddFault(delay);
  EXPECT_TRUE(client_.SendRequest(fpServer, "<createReport><serverInfo/></createReport>"));

  delay.delayMs = 600000;
  sim_.AddFault(delay);
  bool result = true;
  std::thread waiting([this, &result] {
    result = client_.SendRequest(fpServer, "<createReport><serverInfo/></createReport>");
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (sim_.Requests().size() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  sim_.Stop();
  waiting.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(client_.LastError().rfind("Http error: 0: ", 0), 0u);
}

TEST_F(SimulatorTest, ControlEndPointSetsFaultsAndShowsState) {
  httplib::Client control("127.0.0.1", sim_.Port());
  auto reply = control.Post(
      "/rtsim/fault",
      httplib::Params{
          {"kind", "refuse"}, {"match", "createToken"}, {"code", "-20"}, {"status", "Busy"}});
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  EXPECT_FALSE(client_.SendRequest(fpServer, "<createToken><till tillId=\"T05\"/></createToken>"));
  EXPECT_EQ(client_.LastError(), "-20 - Busy");
  EXPECT_EQ(client_.LastErrorType(), et_Blocking);

  reply = control.Post("/rtsim/fault", httplib::Params{{"kind", "sideways"}});
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 400);
  EXPECT_NE(reply->body.find("sideways"), std::string::npos);

  reply = control.Post("/rtsim/till", httplib::Params{{"till", "T05 open z=4 doc=9"}});
  ASSERT_TRUE(reply);
  EXPECT_EQ(sim_.Till("T05")->nextDocNumber, 9);
  reply = control.Post("/rtsim/config", httplib::Params{{"no-headers", "1"}, {"header", "ONE"}});
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  ASSERT_TRUE(client_.SendRequest(
      fpMate, "<printerCommand><directIO command=\"3216\" data=\"01\"/></printerCommand>"));
  EXPECT_EQ(Text("responseData"), "01ONE" + std::string(37, ' '));

  reply = control.Get("/rtsim/state");
  ASSERT_TRUE(reply);
  EXPECT_NE(reply->body.find("till T05 dayOpen=1 zRepNumber=4 nextDocNumber=9"), std::string::npos);
  reply = control.Get("/rtsim/requests");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, "/cgi-bin/fpserver.cgi createToken\n/cgi-bin/fpmate.cgi 3216\n");
  reply = control.Post("/rtsim/reset", httplib::Params{});
  ASSERT_TRUE(reply);
  EXPECT_TRUE(sim_.Requests().empty());
}

TEST_F(SimulatorTest, LogsOneLinePerRequest) {
  std::vector<std::string> lines;
  std::mutex mutex;
  sim_.SetLogSink([&](const std::string& line) {
    std::lock_guard lock(mutex);
    lines.push_back(line);
  });
  client_.SendRequest(fpServer, "<createToken><till tillId=\"T01\"/></createToken>");
  std::lock_guard lock(mutex);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("POST /cgi-bin/fpserver.cgi createToken tillId=T01 -> ok"),
            std::string::npos);
}

TEST(SimulatorConfigTest, OptionsAndFile) {
  Config config;
  SetConfigValue(config, "listen", "127.0.0.1:8123");
  EXPECT_EQ(config.port, 8123);
  SetConfigValue(config, "vat", "5:0550");
  EXPECT_EQ(config.vatRates[4], "0550");
  SetConfigValue(config, "header", "\"  SPACED  \"");
  EXPECT_EQ(config.headerLines.back(), "  SPACED  ");
  SetConfigValue(config, "till", "T01 open z=3");
  SetConfigValue(config, "till", "T01 closed z=4");
  ASSERT_EQ(config.tills.size(), 1u);
  EXPECT_EQ(config.tills[0].zRepNumber, 4);
  EXPECT_THROW(SetConfigValue(config, "vat", "10:2200"), Error);
  EXPECT_THROW(SetConfigValue(config, "listen", "host:http"), Error);
  EXPECT_THROW(SetConfigValue(config, "keep-alive", "0"), Error);
  EXPECT_THROW(SetConfigValue(config, "colour", "red"), Error);
  EXPECT_THROW(ParseTill("T01 sometimes"), Error);

  const std::string path = ::testing::TempDir() + "/rtsim_config_test.conf";
  {
    std::ofstream file(path);
    file << "# a test server\r\nserial = 99XYZ000042\r\n\r\nno-headers = 1\nheader = SHOP\n"
            "user = u\npassword = p\n";
  }
  Config fromFile;
  LoadConfigFile(fromFile, path);
  EXPECT_EQ(fromFile.serialNumber, "99XYZ000042");
  EXPECT_EQ(fromFile.headerLines, std::vector<std::string>{"SHOP"});
  EXPECT_EQ(fromFile.user, "u");
  {
    std::ofstream file(path);
    file << "serial = 1\nbogus\n";
  }
  try {
    LoadConfigFile(fromFile, path);
    ADD_FAILURE() << "no error";
  } catch (const Error& error) {
    EXPECT_NE(std::string(error.what()).find(":2:"), std::string::npos) << error.what();
  }
  std::remove(path.c_str());

  EXPECT_THROW(ParseFault({{"kind", "omit"}}), Error);
  EXPECT_THROW(ParseFault({{"match", "tillMap"}}), Error);
  const Fault fault = ParseFault({{"kind", "delay"}, {"ms", "250"}, {"after", "2"}});
  EXPECT_EQ(fault.kind, FaultKind::Delay);
  EXPECT_EQ(fault.delayMs, 250);
  EXPECT_EQ(fault.after, 2);
}

// A fresh self-signed certificate for 127.0.0.1 and its key, written as PEM
// files; the test deletes them again.
void WriteSelfSignedCertificate(const std::string& aCert, const std::string& aKey) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  ASSERT_NE(key, nullptr);
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX context;
  X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* san =
      X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "IP:127.0.0.1");
  X509_add_ext(cert, san, -1);
  X509_EXTENSION_free(san);
  ASSERT_GT(X509_sign(cert, key, EVP_sha256()), 0);
  FILE* out = std::fopen(aCert.c_str(), "w");
  PEM_write_X509(out, cert);
  std::fclose(out);
  out = std::fopen(aKey.c_str(), "w");
  PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(out);
  X509_free(cert);
  EVP_PKEY_free(key);
}

// HTTPS with a shop's own certificate: refused while nothing trusts it,
// trusted once QX_TLS_CA_FILE names it.
TEST(SimulatorTlsTest, OwnCertificateIsTrustedOnlyThroughTheKnob) {
  const std::string dir = ::testing::TempDir() + "qx_rtsim_tls";
  ForceDirectories(dir);
  Config config;
  SetConfigValue(config, "cert", dir + "/cert.pem");
  SetConfigValue(config, "key", dir + "/key.pem");
  WriteSelfSignedCertificate(config.certFile, config.keyFile);
  Simulator sim(config);
  sim.Start();
  ASSERT_EQ(sim.BaseAddress(), "https://127.0.0.1");
  kEPSRTServer client;
  client.Setup(sim.BaseAddress(), sim.Port(), "", "");
  const std::string request = "<createReport><serverInfo/></createReport>";

  unsetenv("QX_TLS_CA_FILE");
  EXPECT_FALSE(client.SendRequest(fpServer, request));
  EXPECT_NE(client.LastError().find("certificate"), std::string::npos) << client.LastError();
  EXPECT_NE(client.LastError().find("QX_TLS_CA_FILE"), std::string::npos) << client.LastError();

  setenv("QX_TLS_CA_FILE", (dir + "/missing.pem").c_str(), 1);
  EXPECT_FALSE(client.SendRequest(fpServer, request));
  EXPECT_NE(client.LastError().find("missing.pem"), std::string::npos) << client.LastError();

  setenv("QX_TLS_CA_FILE", config.certFile.c_str(), 1);
  EXPECT_TRUE(client.SendRequest(fpServer, request)) << client.LastError();
  unsetenv("QX_TLS_CA_FILE");
  sim.Stop();
  DeleteFile(config.certFile);
  DeleteFile(config.keyFile);
}

// The program: prints where it listens, serves, and ends on SIGTERM.
TEST(RtsimProgramTest, StartsAnnouncesAndStopsOnSignal) {
  const std::string program = std::string(QX_BINARY_DIR) + "/rtsim";
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<std::string> args = {program, "--listen", "127.0.0.1:0", "--serial", "99PRG000001"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);

  std::string line;
  char c = 0;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  ASSERT_EQ(line.rfind("listening on http://127.0.0.1:", 0), 0u) << line;
  const int port = std::stoi(line.substr(line.rfind(':') + 1));

  kEPSRTServer client;
  client.Setup("http://127.0.0.1", port, "", "");
  EXPECT_TRUE(client.SendRequest(fpServer, "<createReport><serverInfo/></createReport>"));
  EXPECT_EQ(kEPSRTServer_Api::GetChildText(client.XmlResponseNode(), "rtSerialNumber"),
            "99PRG000001");

  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  close(out[0]);
}

TEST(RtsimProgramTest, HelpDocumentsTheControlEndPoint) {
  const std::string help = HelpText();
  for (const char* topic : {"--listen", "--user", "--header", "--vat", "--till", "--config",
                            "/rtsim/fault", "/rtsim/state", "kind=refuse", "drop", "omit"}) {
    EXPECT_NE(help.find(topic), std::string::npos) << topic;
  }
}

}  // namespace
}  // namespace qx::rtsim
