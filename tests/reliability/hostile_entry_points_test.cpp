// Hostile input at the entry points, through the test host and the host
// library: till ids that are XML-special, path-special or overlong, and
// receipts that are deeply nested, huge, entity bombs, not XML or overlong.
// Every call returns success or a failure with a message, the host neither
// crashes nor hangs, nothing is created outside the data root (and the log
// directory), and afterwards an ordinary till still opens and signs.
#include <fstream>
#include <set>
#include <sstream>

#include "reliability/reliability_fixture.h"

namespace qx::testing {
namespace {

std::string Repeat(const std::string& aText, size_t aCount) {
  std::string out;
  for (size_t i = 0; i < aCount; ++i) out += aText;
  return out;
}

// Every path below |aDir|, relative to it.
std::set<std::string> Tree(const std::string& aDir) {
  std::set<std::string> paths;
  if (!std::filesystem::exists(aDir)) return paths;
  for (const auto& e : std::filesystem::recursive_directory_iterator(aDir)) {
    paths.insert(std::filesystem::relative(e.path(), aDir).string());
  }
  return paths;
}

class HostileEntryTest : public HostSuite {
 protected:
  std::unique_ptr<ChildProcess> StartFor(const std::string& aTill,
                                         const std::vector<std::string>& aCommands) {
    std::vector<std::string> argv = {HostPath(), LibraryPath(), sim_->BaseAddress(),
                                     std::to_string(sim_->Port()), aTill};
    argv.insert(argv.end(), aCommands.begin(), aCommands.end());
    return std::make_unique<ChildProcess>(argv, ChildEnv(root_), work_);
  }

  std::string RunFor(const std::string& aTill, const std::vector<std::string>& aCommands) {
    auto child = StartFor(aTill, aCommands);
    child->Wait(std::chrono::seconds(120));
    EXPECT_FALSE(child->TimedOut()) << "hung: " << child->Output();
    EXPECT_TRUE(child->Exited()) << "died of signal " << child->TermSignal();
    EXPECT_NE(child->ExitCode(), kSanitizerExitCode) << "a sanitizer reported in the host";
    for (const std::string& failure : ParseHostLog(child->Output()).failures) {
      EXPECT_TRUE(FailureHasMessage(failure)) << "failure without a message";
    }
    return child->Output();
  }
};

TEST_F(HostileEntryTest, TillIdsStayInsideTheDataRoot) {
  const std::string escape = "qx_escape_" + std::to_string(::getpid());
  const std::vector<std::string> ids = {"..",
                                        ".",
                                        "../" + escape,
                                        "../../" + escape,
                                        "a/b",
                                        "a\\b",
                                        "/" + escape,
                                        "<till>",
                                        "a\"b",
                                        "a|b",
                                        "T&amp;1",
                                        "T'1",
                                        "T\t1",
                                        "T 1 ",
                                        "%s%n%x",
                                        "-rf",
                                        "\xC3\xA8\xE2\x98\x83",
                                        std::string(300, 'L'),
                                        std::string(5000, 'L'),
                                        "T01"};
  for (const std::string& id : ids) {
    const std::string out = RunFor(id, {"open", "sign:1", "xreport", "close"});
    SCOPED_TRACE("till id " + id.substr(0, 40) + ": " + out);
    for (const std::string& path : Tree(work_)) {
      EXPECT_TRUE(path.rfind("db", 0) == 0 || path.rfind("LogFiles", 0) == 0)
          << "created outside the data root: " << path;
    }
    EXPECT_FALSE(std::filesystem::exists("/tmp/" + escape));
    EXPECT_FALSE(std::filesystem::exists("/" + escape));
  }
  // The ordinary till works, and its store is consistent.
  const std::string out = RunFor("T01", {"open", "sign:2"});
  EXPECT_TRUE(ParseHostLog(out).failures.empty()) << out;
  CheckStore(TillDir(), "after hostile till ids");
}

TEST_F(HostileEntryTest, NullOutputPointersAreFailuresNotCrashes) {
  const std::string out = RunFor(kTill, {"nulls", "open", "nulls"});
  size_t rounds = 0;
  for (const std::string& line : SplitLines(out)) {
    if (line.rfind("nulls", 0) != 0) continue;
    ++rounds;
    // Five return codes, one per entry point called with a null output.
    std::istringstream codes(line.substr(5));
    int64_t code = 0;
    size_t count = 0;
    while (codes >> code) {
      ++count;
      EXPECT_NE(code, 0) << line;
    }
    EXPECT_EQ(count, 5u) << line;
  }
  EXPECT_EQ(rounds, 2u) << out;
}

TEST_F(HostileEntryTest, HostileReceiptsAreSignedOrRefused) {
  const std::string item =
      "<printRecItem description=\"X\" quantity=\"1\" unitPrice=\"1.00\" vatID=\"1\"/>";
  const std::string pay = "<printRecTotal payment=\"1.00\" paymentType=\"0\"/>";
  const auto receipt = [](const std::string& aLines) {
    return "<printerFiscalReceipt><beginFiscalReceipt/>" + aLines +
           "<endFiscalReceipt/></printerFiscalReceipt>";
  };
  std::string bomb = "<!DOCTYPE printerFiscalReceipt [<!ENTITY l0 \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    bomb += "<!ENTITY l" + std::to_string(i) + " \"" +
            Repeat("&l" + std::to_string(i - 1) + ";", 10) + "\">";
  }
  bomb += "]>";
  const std::vector<std::pair<std::string, std::string>> receipts = {
      {"deep nesting", receipt(item + Repeat("<x>", 100000) + Repeat("</x>", 100000) + pay)},
      {"entity bomb", bomb + receipt(item + "<printRecMessage message=\"&l9;\"/>" + pay)},
      {"external entity", "<!DOCTYPE p [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>" +
                              receipt(item + "<printRecMessage message=\"&e;\"/>" + pay)},
      {"many lines", receipt(Repeat(item, 20000) + pay)},
      {"overlong text", receipt("<printRecItem description=\"" + std::string(4 << 20, 'D') +
                                "\" quantity=\"1\" unitPrice=\"1.00\" vatID=\"1\"/>" + pay)},
      {"overlong number", receipt("<printRecItem quantity=\"1\" unitPrice=\"" +
                                  std::string(100000, '9') + "\" vatID=\"1\"/>")},
      {"huge amount", receipt("<printRecItem quantity=\"999999999999\" "
                              "unitPrice=\"999999999999\" vatID=\"1\"/>")},
      {"declaration", "<?xml version=\"1.0\"?>" + receipt(item + pay)},
      {"not xml", "this is not a receipt"},
      {"empty", ""},
      {"binary", std::string("\x00\xff\xfe<\x01>\xc3", 7)},
      {"unknown VAT", receipt("<printRecItem quantity=\"1\" unitPrice=\"1\" vatID=\"99\"/>")},
      {"no end", "<printerFiscalReceipt>" + item + "</printerFiscalReceipt>"},
      {"special text", receipt("<printRecMessage message=\"&lt;/receipt&gt;&amp;\"/>"
                               "<printRecMessage><![CDATA[</createReceipt>]]></printRecMessage>" +
                               item + pay)},
  };
  std::vector<std::string> commands = {"open"};
  for (size_t i = 0; i < receipts.size(); ++i) {
    const std::string file = work_ + "/receipt" + std::to_string(i) + ".xml";
    std::ofstream(file, std::ios::binary) << receipts[i].second;
    commands.push_back("signfile:" + file);
  }
  commands.push_back("sign:1");
  const std::string out = RunFor(kTill, commands);
  const std::vector<std::string> lines = SplitLines(out);
  ASSERT_EQ(lines.size(), receipts.size() + 2) << out;
  EXPECT_EQ(lines.back().rfind("signed", 0), 0u) << "an ordinary receipt after them: " << out;
  EXPECT_EQ(out.find("root:"), std::string::npos) << "a file's content reached the output";
  const StoreReport report = CheckStore(TillDir(), "after hostile receipts");
  EXPECT_EQ(report.receipts.size(), ParseHostLog(out).signedReceipts.size());
}

}  // namespace
}  // namespace qx::testing
