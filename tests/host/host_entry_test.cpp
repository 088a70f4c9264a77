// The host boundary: OLE strings, the exported names, the calls made before
// any OPENTILL and the handling of null output pointers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "platform/files.h"
#include "support/host_scenario.h"

namespace qx::test {
namespace {

using BSTR = HostLibrary::BSTR;

TEST(HostOleStrings, LayoutAndNullHandling) {
  HostLibrary library;
  BSTR text = library.SysAllocString(u"Caff\u00e8 \U0001F600");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(library.SysStringLen(text), 8u);  // the emoji is a surrogate pair
  EXPECT_EQ(library.SysStringByteLen(text), 16u);
  uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<char*>(text) - 4, 4);
  EXPECT_EQ(prefix, 16u);
  EXPECT_EQ(text[8], u'\0');
  EXPECT_EQ(library.Take(text), "Caff\u00e8 \U0001F600");

  // Length from the prefix: an embedded zero is part of the text.
  BSTR embedded = library.SysAllocStringLen(u"a\0b", 3);
  EXPECT_EQ(library.SysStringLen(embedded), 3u);
  library.SysFreeString(embedded);

  BSTR zeroed = library.SysAllocStringLen(nullptr, 4);
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(std::u16string(zeroed, 4), std::u16string(4, u'\0'));
  library.SysFreeString(zeroed);

  EXPECT_EQ(library.SysAllocString(nullptr), nullptr);
  EXPECT_EQ(library.SysStringLen(nullptr), 0u);
  EXPECT_EQ(library.SysStringByteLen(nullptr), 0u);
  library.SysFreeString(nullptr);
}

TEST(HostExports, OnlyEntryPointsAndStringFunctions) {
  FILE* pipe = popen(("nm -D --defined-only " + BuiltLibraryPath()).c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> names;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    char name[1024];
    char kind;
    if (std::sscanf(line, "%*s %c %1023s", &kind, name) == 2) names.insert(name);
  }
  ASSERT_EQ(pclose(pipe), 0);
  // Sanitizer builds add their own interface symbols; ignore those.
  std::erase_if(names, [](const std::string& name) { return name.rfind("__", 0) == 0; });
  EXPECT_EQ(names, (std::set<std::string>{"CLOSETILL", "OPENTILL", "SIGNRECEIPT", "XREPORT",
                                          "SysAllocString", "SysAllocStringLen", "SysFreeString",
                                          "SysStringByteLen", "SysStringLen"}));
}

class HostEntry : public HostScenario {};

TEST_F(HostEntry, EveryCallBeforeOpenTillIsRefused) {
  HostCall sign = Library().Sign(SimpleReceipt("0", "1.00"));
  EXPECT_EQ(sign.code, 65535);
  EXPECT_EQ(sign.error, "TILL IS CLOSED");
  EXPECT_EQ(sign.result, std::nullopt);
  for (HostCall call : {Library().Close(), Library().XReport()}) {
    EXPECT_EQ(call.code, -1);
    EXPECT_EQ(call.error, "TILL IS CLOSED");
    EXPECT_EQ(call.result, std::nullopt);
  }
  // Nothing but the folder of the logs, made at load.
  for (const auto& entry : std::filesystem::directory_iterator(Root() + "/db")) {
    EXPECT_EQ(entry.path().string(), LogDir());
  }
  EXPECT_TRUE(Server().Requests().empty());
}

TEST_F(HostEntry, NullOutputPointerFailsAndWritesNothing) {
  HostLibrary& library = Library();
  BSTR sentinel = library.Alloc("untouched");
  BSTR address = library.Alloc(Server().BaseAddress());
  BSTR till = library.Alloc(kTill);
  EXPECT_EQ(library.OPENTILL(address, Server().Port(), nullptr, nullptr, till, nullptr), -1);
  EXPECT_FALSE(std::filesystem::exists(TillDir()));  // nothing was opened

  BSTR kept = sentinel;
  EXPECT_EQ(library.SIGNRECEIPT(nullptr, nullptr, &kept), 65535);
  EXPECT_EQ(kept, sentinel);
  EXPECT_EQ(library.SIGNRECEIPT(nullptr, &kept, nullptr), 65535);
  EXPECT_EQ(kept, sentinel);
  EXPECT_EQ(library.CLOSETILL(nullptr, &kept), -1);
  EXPECT_EQ(kept, sentinel);
  EXPECT_EQ(library.XREPORT(&kept, nullptr), -1);
  EXPECT_EQ(kept, sentinel);
  for (BSTR text : {sentinel, address, till}) library.SysFreeString(text);
}

TEST_F(HostEntry, OutputsAreSetToNullOnEntry) {
  ASSERT_EQ(OpenTill().code, 0);
  HostLibrary& library = Library();
  // The host passes variables holding strings it still owns elsewhere; the
  // library overwrites them without releasing them.
  BSTR held = library.Alloc("held by the host");
  BSTR result = held, error = held;
  ASSERT_EQ(library.XREPORT(&result, &error), 0);
  EXPECT_EQ(error, nullptr);
  ASSERT_NE(result, nullptr);
  EXPECT_NE(result, held);
  library.SysFreeString(result);
  EXPECT_EQ(library.Take(held), "held by the host");
}

TEST_F(HostEntry, OpenTillTwiceStartsOneDayAndOnePusher) {
  HostCall first = OpenTill();
  EXPECT_EQ(first.code, 0);
  EXPECT_EQ(first.error, std::nullopt);
  HostCall second = OpenTill();
  EXPECT_EQ(second.code, 0);
  EXPECT_EQ(second.error, std::nullopt);
  EXPECT_EQ(RequestCount("createToken"), 1u);
  Unload();  // writes out the pusher's log
  std::string log;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(LogDir())) {
    if (entry.is_regular_file()) log += ReadFileBytes(entry.path().string());
  }
  size_t starts = 0;
  for (size_t at = log.find("****** START"); at != std::string::npos;
       at = log.find("****** START", at + 1)) {
    ++starts;
  }
  EXPECT_EQ(starts, 1u);
}

// A refused opening leaves its cause, the server's status and reason, in the
// application log in the data root, not beside the host nor in its folder.
TEST_F(HostEntry, RefusedCredentialsAreNamedInTheApplicationLog) {
  Server().Configure([](rtsim::Config& config) {
    config.user = "someone";
    config.password = "else";
  });
  const HostCall open = OpenTill();
  EXPECT_EQ(open.code, -1);
  Unload();  // writes out the application log
  EXPECT_FALSE(std::filesystem::exists(Root() + "/LogFiles"));
  std::string log;
  for (const auto& entry : std::filesystem::directory_iterator(LogDir())) {
    if (entry.is_regular_file()) log += ReadFileBytes(entry.path().string());
  }
  EXPECT_NE(log.find("OPENTILL failed: " + open.error.value_or("?") +
                     " (server: Http error: 401: Unauthorized)"),
            std::string::npos)
      << open.error.value_or("") << "\n"
      << log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
}

TEST_F(HostEntry, OpenTillWithAPathOrTheLogFolderAsTillIdFails) {
  HostCall open = OpenTill("../escape");
  EXPECT_EQ(open.code, -1);
  EXPECT_EQ(open.error, "Invalid characters in path");
  EXPECT_FALSE(std::filesystem::exists(Root() + "/escape"));

  // The logs' folder is no till, whatever the case.
  ASSERT_EQ(OpenTill().code, 0);
  for (const char* id : {"LogFiles", "logfiles", "LOGFILES"}) {
    open = OpenTill(id);
    EXPECT_EQ(open.code, -1) << id;
    EXPECT_EQ(open.error, "Till id " + std::string(id) +
                              " is reserved: the folder LogFiles of the data root holds the logs");
  }
  EXPECT_FALSE(std::filesystem::exists(LogDir() + "/Queue"));
  ASSERT_EQ(OpenTill().code, 0);
  EXPECT_EQ(Library().Sign(SimpleReceipt("0", "1.00")).code, 0);
  EXPECT_TRUE(WaitForEmptyQueue());
}

TEST_F(HostEntry, FirstOpeningWithoutServerOrCountersReportsTheError) {
  Server().Stop();
  HostCall open = OpenTill();
  EXPECT_EQ(open.code, -1);
  EXPECT_EQ(open.error, "Server not available and no actual or previous counters");
  EXPECT_FALSE(std::filesystem::exists(TillDir() + "/QX_counters.actual.srtc"));
}

}  // namespace
}  // namespace qx::test
