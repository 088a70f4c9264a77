// Named settings and the version information read from string tables.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "base/uQX_Base_Info.h"
#include "base/uQX_Base_Setup.h"
#include "platform/datetime.h"
#include "platform/error.h"

namespace qx {
namespace {

TEST(Setup, NamesAreCaseInsensitiveAndKeepTheirFirstSpelling) {
  tQX_Setup setup;
  setup.SetValue("Port", 8080);
  EXPECT_EQ(std::any_cast<int>(setup.GetValue("PORT")), 8080);
  setup.SetValue("pORT", std::string("9000"));
  ASSERT_EQ(setup.List().size(), 1u);
  EXPECT_EQ(setup.List()[0]->Name(), "Port");
  EXPECT_EQ(std::any_cast<std::string>(setup.GetValue("port")), "9000");
  EXPECT_FALSE(setup.GetValue("Host").has_value());
}

TEST(Setup, DefineEmptiesAnExistingSettingInPlace) {
  tQX_Setup setup;
  setup.SetValue("First", 1);
  setup.SetValue("Second", 2.5);
  setup.SetValue("Third", std::string("x"));
  setup.Define("SECOND");
  setup.Define("Fourth");
  ASSERT_EQ(setup.List().size(), 4u);
  EXPECT_EQ(setup.List()[1]->Name(), "Second");
  EXPECT_FALSE(setup.List()[1]->Value().has_value());
  EXPECT_EQ(setup.List()[3]->Name(), "Fourth");
  EXPECT_EQ(std::any_cast<int>(setup.GetValue("first")), 1);
}

// A string table given as id -> line.
tQX_StringLoader Table(std::map<int32_t, std::string> lines) {
  return [lines = std::move(lines)](int32_t id) {
    const auto it = lines.find(id);
    return it == lines.end() ? std::string() : it->second;
  };
}

TEST(ApplicationInfo, ReadsTheLibraryTableWithTheBuildVersion) {
  tQX_ApplicationInfo info;
  info.Load();
  EXPECT_EQ(info.Description(), "QXRS_VURUV90_20 fiscal driver library for RT server tills");
  EXPECT_NE(info.Copyright().find("2026 QXRS developers"), std::string::npos);
  EXPECT_EQ(info.Version(), QX_VERSION);
  ASSERT_EQ(info.History().size(), 2u);
  EXPECT_EQ(info.History()[0]->Text(), std::vector<std::string>{"Rilascio Iniziale"});
  EXPECT_EQ(info.History()[1]->Version(), QX_VERSION);
  EXPECT_EQ(info.History()[1]->Text(),
            (std::vector<std::string>{
                "Gestione Intestazione Scontrino per stampa su stampanti non fiscali",
                "Correzione anomalia in calcolo IVA in caso di sconti subtotale"}));
  for (const auto& entry : info.History()) {
    EXPECT_FALSE(entry->Author().empty());
    EXPECT_GT(entry->ReleaseDate(), EncodeDate(2026, 1, 1));
  }
  EXPECT_EQ(info.ReleaseDate(), info.History()[1]->ReleaseDate());
  EXPECT_LT(info.History()[0]->ReleaseDate(), info.History()[1]->ReleaseDate());
  EXPECT_EQ(info.BuildVersionString(),
            "[" QX_VERSION " - " + FormatShortDate(info.ReleaseDate()) + "]");
}

TEST(ApplicationInfo, ReadsKeysValuesAndDates) {
  tQX_ApplicationInfo info;
  info.Load(Table({
      {10000, "$author=ignored before any version"},
      {10001, "$appdescription=Driver = fiscal"},  // the value runs past a second "="
      {10002, "$VERSION=2.1"},
      {10003, "$RELEASEDATE=05/xx/2024"},  // month not a number: January
      {10004, "$TEXT=first"},
      {10005, "$PTEXT=second"},
      {10006, "$UNKNOWN=ignored"},
      {10007, "$VERSION=2.2"},  // no release date after it
      {10008, "$AUTHOR=AB"},
  }));
  EXPECT_EQ(info.Description(), "Driver = fiscal");
  ASSERT_EQ(info.History().size(), 2u);
  EXPECT_EQ(info.History()[0]->Author(), "");
  EXPECT_EQ(info.History()[0]->ReleaseDate(), EncodeDate(2024, 1, 5));
  EXPECT_EQ(info.History()[0]->Text(), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(info.History()[1]->ReleaseDate(), 0.0);  // 1899-12-30
  EXPECT_EQ(info.History()[1]->Author(), "AB");
  EXPECT_EQ(info.Version(), "2.2");
  EXPECT_EQ(info.ReleaseDate(), EncodeDate(2024, 1, 5));
}

TEST(ApplicationInfo, TenMissingIdsGoOnAndElevenStop) {
  tQX_ApplicationInfo ten;
  ten.Load(Table({{10000, "$VERSION=1"}, {10011, "$VERSION=2"}}));
  EXPECT_EQ(ten.Version(), "2");

  tQX_ApplicationInfo eleven;
  eleven.Load(Table({{10000, "$VERSION=1"}, {10012, "$VERSION=2"}}));
  EXPECT_EQ(eleven.Version(), "1");

  tQX_ApplicationInfo empty;
  empty.Load(Table({{9999, "$VERSION=0"}, {10011, "$VERSION=1"}}));
  EXPECT_EQ(empty.Version(), "");
  EXPECT_TRUE(empty.History().empty());
}

TEST(ApplicationInfo, ImpossibleReleaseDateRaisesAndLongLinesAreCut) {
  tQX_ApplicationInfo info;
  EXPECT_THROW(info.Load(Table({{10000, "$VERSION=1"}, {10001, "$RELEASEDATE=31/02/2024"}})),
               Error);

  tQX_ApplicationInfo cut;
  cut.Load(Table({{10000, "$COPYRIGHT=" + std::string(2000, 'c')}}));
  EXPECT_EQ(cut.Copyright().size(), 1023u - 11);
}

}  // namespace
}  // namespace qx
