// The VAT map: reading the departments from the simulator, the fixed exempt
// departments, look-ups and the cache text.
#include "rtserver/uRTSEPS20_VATMap.h"

#include <gtest/gtest.h>

#include "platform/error.h"
#include "tools/rtsim/rtsim.h"

namespace qx {
namespace {

using rtsim::Fault;
using rtsim::FaultKind;

constexpr const char* kTenDepartments =
    "<VATMap>"
    "<VAT><Index>1</Index><Code>2200</Code><Rate>22</Rate></VAT>"
    "<VAT><Index>2</Index><Code>1000</Code><Rate>10</Rate></VAT>"
    "<VAT><Index>3</Index><Code>0500</Code><Rate>5</Rate></VAT>"
    "<VAT><Index>4</Index><Code>0400</Code><Rate>4</Rate></VAT>"
    "<VAT><Index>0</Index><Code>N4</Code><Rate>0</Rate></VAT>"
    "<VAT><Index>10</Index><Code>N1</Code><Rate>0</Rate></VAT>"
    "<VAT><Index>11</Index><Code>N2</Code><Rate>0</Rate></VAT>"
    "<VAT><Index>12</Index><Code>N3</Code><Rate>0</Rate></VAT>"
    "<VAT><Index>13</Index><Code>N5</Code><Rate>0</Rate></VAT>"
    "<VAT><Index>14</Index><Code>N6</Code><Rate>0</Rate></VAT>"
    "</VATMap>";

std::vector<int32_t> Indexes(const kEPSRTServer_VATMap& map) {
  std::vector<int32_t> result;
  for (const auto& vat : map.VATs()) result.push_back(vat->Index());
  return result;
}

class VATMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_.Start();
    client_.Setup(sim_.BaseAddress(), sim_.Port(), "", "");
  }
  void SetRates(std::array<std::string, 9> rates) {
    sim_.Configure([&rates](rtsim::Config& config) { config.vatRates = rates; });
  }

  rtsim::Simulator sim_;
  kEPSRTServer client_;
  kEPSRTServer_VATMap& map_ = client_.VATMap();
};

TEST_F(VATMapTest, ReadsNineDepartmentsThenTheExemptOnes) {
  SetRates({"2200", "1000", "0500", "0400", "0000", "0000", "0000", "0000", "0000"});
  ASSERT_TRUE(client_.GetVATMap());
  EXPECT_EQ(Indexes(map_), (std::vector<int32_t>{1, 2, 3, 4, 0, 10, 11, 12, 13, 14}));
  EXPECT_EQ(map_.VATs()[0]->Rate(), Currency::FromUnits(22));
  EXPECT_EQ(map_.VATs()[3]->Rate(), Currency::FromUnits(4));
  EXPECT_EQ(map_.VATs()[4]->Code(), "N4");
  EXPECT_EQ(map_.Serialize(), kTenDepartments);

  const auto requests = sim_.Requests();
  ASSERT_EQ(requests.size(), 9u);
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].path, "/cgi-bin/fpmate.cgi");
    EXPECT_EQ(requests[i].command, "<printerCommand><directIO command=\"4205\" data=\"0" +
                                       std::to_string(i + 1) + "\"/></printerCommand>");
  }

  // A second Get rebuilds rather than appends.
  ASSERT_TRUE(client_.GetVATMap());
  EXPECT_EQ(map_.VATs().size(), 10u);
}

TEST_F(VATMapTest, FractionalRatesAndNoTaxedDepartment) {
  SetRates({"0000", "0550", "0000", "0000", "0000", "0000", "0000", "0000", "1000"});
  ASSERT_TRUE(map_.Get());
  EXPECT_EQ(Indexes(map_), (std::vector<int32_t>{2, 9, 0, 10, 11, 12, 13, 14}));
  EXPECT_EQ(map_.VATs()[0]->Rate(), ParseCurrency("5.5"));
  EXPECT_EQ(map_.VATs()[0]->Code(), "0550");
  EXPECT_NE(map_.Serialize().find("<Code>0550</Code><Rate>5.5</Rate>"), std::string::npos);

  SetRates({"0000", "0000", "0000", "0000", "0000", "0000", "0000", "0000", "0000"});
  ASSERT_TRUE(map_.Get());
  EXPECT_EQ(Indexes(map_), (std::vector<int32_t>{0, 10, 11, 12, 13, 14}));
}

TEST_F(VATMapTest, AFailedExchangeLeavesNoPartialTable) {
  ASSERT_TRUE(map_.Get());
  Fault refusal;
  refusal.match = "4205";
  refusal.after = 5;  // department 6 fails
  refusal.code = "-21";
  sim_.AddFault(refusal);
  EXPECT_FALSE(client_.GetVATMap());
  EXPECT_TRUE(map_.VATs().empty());
  EXPECT_EQ(client_.LastError(), "-21 - Simulated refusal");
  EXPECT_EQ(sim_.Requests().size(), 9u + 6u);
}

TEST_F(VATMapTest, AnUnreadableReplyRaisesAndLeavesNoPartialTable) {
  Fault omit;
  omit.kind = FaultKind::OmitElement;
  omit.match = "4205";
  omit.after = 2;
  omit.element = "responseData";
  sim_.AddFault(omit);
  EXPECT_THROW(map_.Get(), Error);
  EXPECT_TRUE(map_.VATs().empty());

  Fault badRate;
  badRate.kind = FaultKind::Reply;
  badRate.match = "4205";
  badRate.text = "<responseData>01AB00000000</responseData>";
  sim_.AddFault(badRate);
  try {
    map_.Get();
    ADD_FAILURE() << "an unusable rate was taken";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()),
              "The server's VAT map is unusable: department 1 has the rate 'AB00'");
  }
  EXPECT_TRUE(map_.VATs().empty());
}

TEST_F(VATMapTest, LooksUpByIndexAndExactCode) {
  ASSERT_TRUE(map_.Get());
  ASSERT_NE(map_.GetVATbyIndex(0), nullptr);
  EXPECT_EQ(map_.GetVATbyIndex(0)->Code(), "N4");
  EXPECT_EQ(map_.GetVATbyIndex(15), nullptr);
  EXPECT_EQ(map_.GetVATbyIndex(-1), nullptr);
  ASSERT_NE(map_.GetVATbyCode("2200"), nullptr);
  EXPECT_EQ(map_.GetVATbyCode("2200")->Rate(), Currency::FromUnits(22));
  EXPECT_EQ(map_.GetVATbyCode("n4"), nullptr);
}

TEST(VATMapTextTest, RoundTripsAndReadsAnyRoot) {
  kEPSRTServer client;
  kEPSRTServer_VATMap& map = client.VATMap();
  EXPECT_EQ(map.Serialize(), "<VATMap/>");
  ASSERT_TRUE(map.Deserialize(kTenDepartments));
  EXPECT_EQ(map.Serialize(), kTenDepartments);
  EXPECT_EQ(Indexes(map), (std::vector<int32_t>{1, 2, 3, 4, 0, 10, 11, 12, 13, 14}));

  ASSERT_TRUE(map.Deserialize("<VATMap/>"));
  EXPECT_TRUE(map.VATs().empty());

  ASSERT_TRUE(
      map.Deserialize("<Other><VAT><Index>7</Index><Code>0550</Code><Rate>5.5</Rate></VAT><Note/>"
                      "<VAT><Index>12</Index><Code>N3</Code><Rate>0</Rate></VAT></Other>"));
  EXPECT_EQ(Indexes(map), (std::vector<int32_t>{7, 12}));
  EXPECT_EQ(map.VATs()[0]->Rate(), ParseCurrency("5.5"));
}

TEST(VATMapTextTest, BadTextRaisesAndKeepsTheTable) {
  kEPSRTServer client;
  kEPSRTServer_VATMap& map = client.VATMap();
  ASSERT_TRUE(map.Deserialize(kTenDepartments));
  EXPECT_THROW(map.Deserialize("<VATMap><VAT>"), Error);
  EXPECT_THROW(map.Deserialize("<VATMap><VAT><Index>1</Index><Code>2200</Code><Rate>22</Rate>"
                               "</VAT><VAT><Index>2</Index><Code>1000</Code></VAT></VATMap>"),
               Error);
  EXPECT_THROW(map.Deserialize("<VATMap><VAT><Index>x</Index><Code>2200</Code><Rate>22</Rate>"
                               "</VAT></VATMap>"),
               Error);
  EXPECT_THROW(map.Deserialize("<VATMap><VAT><Index>1</Index><Code>2200</Code><Rate>22,5</Rate>"
                               "</VAT></VATMap>"),
               Error);
  EXPECT_EQ(map.Serialize(), kTenDepartments);
}

}  // namespace
}  // namespace qx
