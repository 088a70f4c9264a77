// The receipt object against the RT server simulator: the VAT map fetched on
// demand by the conversion, and the submission of a sealed receipt.
#ifdef QX_HAVE_RTSIM

#include <gtest/gtest.h>

#include "platform/error.h"
#include "receipt/receipt_fixture.h"
#include "tools/rtsim/rtsim.h"

namespace qx::testing {
namespace {

class ReceiptServerTest : public ReceiptTest {
 protected:
  void SetUp() override {
    sim_.Start();
    server_.Setup(sim_.BaseAddress(), sim_.Port(), "", "");
    server_.VATMap().Deserialize("<VATMap/>");
  }

  rtsim::Simulator sim_;
};

TEST_F(ReceiptServerTest, EmptyVATMapIsFetchedFromTheServer) {
  Convert(WorkedReceiptText());
  EXPECT_EQ(server_.VATMap().VATs().size(), 10u);
  EXPECT_EQ(Attr("recVAT"), "1.27");
  EXPECT_EQ(sim_.Requests().size(), 9u);

  // A map in place is not asked for again.
  sim_.ClearRequests();
  Prime();
  Convert(WorkedReceiptText());
  EXPECT_TRUE(sim_.Requests().empty());
}

TEST_F(ReceiptServerTest, NoVATMapNoConversion) {
  rtsim::Fault fault;
  fault.kind = rtsim::FaultKind::HttpStatus;
  fault.match = "4205";
  fault.after = 3;
  sim_.AddFault(fault);
  Load(WorkedReceiptText());
  const std::string before = receipt_.CleanXMLReceipt();
  try {
    receipt_.Process("0");
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "VAT Map not available");
  }
  EXPECT_EQ(receipt_.NRecNumber(), 4);
  EXPECT_EQ(receipt_.TokenId(), kFirstLink);
  EXPECT_EQ(receipt_.CleanXMLReceipt(), before);
}

TEST_F(ReceiptServerTest, PrintSubmitsTheSealedReceipt) {
  Convert(WorkedReceiptText());
  const std::string document = receipt_.CleanXMLReceipt();
  sim_.ClearRequests();
  ASSERT_TRUE(receipt_.Print(document)) << server_.LastError();

  const auto requests = sim_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/cgi-bin/fpserver.cgi");
  EXPECT_EQ(requests[0].kind, "createReceipt");
  EXPECT_NE(requests[0].body.find("<soapenv:Body>" + document + "</soapenv:Body>"),
            std::string::npos);
  const std::optional<rtsim::TillState> till = sim_.Till("T01");
  ASSERT_TRUE(till);
  EXPECT_EQ(till->lastFingerPrint, receipt_.TokenId());
  EXPECT_EQ(till->dailyAmount, Amount("11.25"));
}

TEST_F(ReceiptServerTest, RefusedPrintReportsTheServersReason) {
  rtsim::Fault fault;
  fault.match = "createReceipt";
  fault.code = "-3";
  fault.status = "Busy";
  sim_.AddFault(fault);
  EXPECT_FALSE(receipt_.Print("<createReceipt><receipt/></createReceipt>"));
  EXPECT_EQ(server_.LastError(), "-3 - Busy");
  EXPECT_EQ(server_.LastErrorType(), et_Blocking);
}

}  // namespace
}  // namespace qx::testing

#endif  // QX_HAVE_RTSIM
