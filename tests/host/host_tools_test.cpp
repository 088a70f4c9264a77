// The host programs against the simulator: the C example and qxtill, each
// run as a child process with the scenario's environment.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "platform/files.h"
#include "support/host_scenario.h"

namespace qx::test {
namespace {

struct ChildRun {
  int exitCode = -1;
  std::string output;
};

ChildRun RunChild(const std::string& aCommand) {
  ChildRun run;
  FILE* pipe = popen((aCommand + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, count);
  const int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

class HostTools : public HostScenario {
 protected:
  std::string Program(const char* aName) const { return std::string(QX_BINARY_DIR) + "/" + aName; }
  std::string OpenArgs() {
    return Server().BaseAddress() + " " + std::to_string(Server().Port()) + " user secret T01";
  }
};

TEST_F(HostTools, TheCHostRunsADay) {
  ChildRun run = RunChild(Program("host_example") + " " + OpenArgs());
  EXPECT_EQ(run.exitCode, 0) << run.output;
  for (const char* line : {"OPENTILL -> 0", "SIGNRECEIPT -> 0", "XREPORT -> 0", "CLOSETILL -> 0"}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
  }
  EXPECT_NE(run.output.find("<VATTotal>0.54</VATTotal>"), std::string::npos) << run.output;
  EXPECT_TRUE(FileExists(TillDir() + "/QX_counters.previous.srtc"));
}

TEST_F(HostTools, QxtillRunsStepsInOneProcess) {
  const std::string receipt = Root() + "/receipt.xml";
  WriteFileAtomic(receipt, SimpleReceipt("0", "12.50"));
  ChildRun run =
      RunChild(Program("qxtill") + " --lib " + BuiltLibraryPath() + " open " + OpenArgs() +
               " sign " + receipt + " " + receipt + " xreport wait-queue 60 close wait-queue 60");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("OPENTILL T01 -> 0"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("<nDoc>2</nDoc>"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("<DailySales>25</DailySales>"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("CLOSETILL -> 0"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("wait-queue " + QueueDir() + " -> empty"), std::string::npos);
  EXPECT_EQ(Server().Till("T01")->zRepNumber, 2);
}

TEST_F(HostTools, QxtillStopsAtTheFirstFailure) {
  ChildRun run = RunChild(Program("qxtill") + " xreport close");
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_NE(run.output.find("XREPORT -> -1\n  error: TILL IS CLOSED\n  result: (null)"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find("CLOSETILL"), std::string::npos);

  ChildRun usage = RunChild(Program("qxtill") + " open 127.0.0.1");
  EXPECT_EQ(usage.exitCode, 2);
  EXPECT_NE(usage.output.find("usage"), std::string::npos);
}

}  // namespace
}  // namespace qx::test
