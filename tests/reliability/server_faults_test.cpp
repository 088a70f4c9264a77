// Server fault suite: every misbehaviour of the simulator (refusals of each
// class, HTTP errors, dropped connections, replies that are not XML or are
// cut short, SOAP faults, replies missing an element, slow replies) against
// the entry points that talk to the server and against the pusher. No entry
// point may crash or hang, each call succeeds or fails with a message, and
// once the server behaves again the same pusher delivers the whole queue:
// every document ends exactly once under processed or errors, in order.
#include <iostream>
#include <set>

#include "reliability/reliability_fixture.h"

namespace qx::testing {
namespace {

using rtsim::Fault;
using rtsim::FaultKind;

struct Case {
  std::string name;
  Fault fault;
};

Fault Make(FaultKind aKind) {
  Fault fault;
  fault.kind = aKind;
  return fault;
}

Fault Refusal(const char* aCode) {
  Fault fault = Make(FaultKind::Refuse);
  fault.code = aCode;
  return fault;
}

Fault Http(int aStatus) {
  Fault fault = Make(FaultKind::HttpStatus);
  fault.httpStatus = aStatus;
  return fault;
}

Fault Garbage(std::string aText) {
  Fault fault = Make(FaultKind::Garbage);
  fault.text = std::move(aText);
  return fault;
}

Fault Omit(const char* aElement) {
  Fault fault = Make(FaultKind::OmitElement);
  fault.element = aElement;
  return fault;
}

std::vector<Case> Cases() {
  Fault slow = Make(FaultKind::Delay);
  slow.delayMs = 300;
  Fault emptyInfo = Make(FaultKind::Reply);
  return {
      {"refusal -20 (blocking)", Refusal("-20")},
      {"refusal -5 (blocking)", Refusal("-5")},
      {"refusal -21 (not blocking)", Refusal("-21")},
      {"refusal -9 (not blocking)", Refusal("-9")},
      {"refusal with a code that is no number", Refusal("x")},
      {"HTTP 503", Http(503)},
      {"HTTP 500", Http(500)},
      {"HTTP 401", Http(401)},
      {"dropped connection", Make(FaultKind::Drop)},
      {"reply that is not XML", Make(FaultKind::Garbage)},
      {"reply cut short",
       Garbage("<?xml version=\"1.0\" encoding=\"utf-8\"?><soapenv:Envelope "
               "xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Body>"
               "<response success=\"tr")},
      {"empty reply", Garbage("")},
      {"SOAP fault", Make(FaultKind::SoapFault)},
      {"reply without Body", Omit("soapenv:Body")},
      {"reply without response", Omit("response")},
      {"reply without addInfo", Omit("addInfo")},
      {"reply without responseData", Omit("responseData")},
      {"reply without token", Omit("token")},
      {"reply without tillId", Omit("tillId")},
      {"reply without zRepNumber", Omit("zRepNumber")},
      {"reply without dailyAmount", Omit("dailyAmount")},
      {"reply without vatCount", Omit("vatCount")},
      {"success with an empty addInfo", emptyInfo},
      {"slow replies", slow},
  };
}

class ServerFaultTest : public HostSuite {
 protected:
  // The documents the server received, one entry per distinct document in
  // the order of first sending; fails the test when a document is sent
  // again after a later one, or receipts go out of number order.
  void CheckDeliveryOrder(const std::string& aWhere) {
    std::vector<std::string> order;
    for (const rtsim::RecordedRequest& request : sim_->Requests()) {
      if (request.kind != "createReceipt" && request.kind != "createDailyClosure") continue;
      if (!order.empty() && order.back() == request.command) continue;
      EXPECT_EQ(std::find(order.begin(), order.end(), request.command), order.end())
          << aWhere << ": a document was sent again after a later one";
      order.push_back(request.command);
    }
  }

  // Every document ended once: the queue is empty and the store consistent.
  void CheckDelivered(const std::string& aRoot, const std::string& aWhere) {
    EXPECT_TRUE(ListFiles(aRoot + "/" + kTill + "/Queue", ".srtd").empty())
        << aWhere << ": documents left in the queue";
    CheckStore(aRoot + "/" + kTill, aWhere);
    CheckDeliveryOrder(aWhere);
  }

  // Calls either succeed or fail with a message: an X report whose request
  // failed carries that request's error.
  void CheckCalls(const std::string& aOutput, const std::string& aWhere) {
    for (const std::string& failure : ParseHostLog(aOutput).failures) {
      EXPECT_TRUE(FailureHasMessage(failure)) << aWhere << ": no message: " << failure;
    }
  }
};

TEST_F(ServerFaultTest, EntryPointsAndPusherSurviveEveryFaultMode) {
  int cases = 0;
  for (const Case& c : Cases()) {
    if (HasFailure()) break;
    // Entry points against a server that misbehaves all the time: a day with
    // receipts resumed in a new process, its X report and closing, and the
    // next day opened.
    const std::string root = work_ + "/persistent-" + std::to_string(cases);
    sim_->ClearFaults();
    sim_->ClearRequests();
    std::string out = RunHost({"open", "sign:2"}, root);
    ASSERT_TRUE(ParseHostLog(out).failures.empty()) << out;
    Fault always = c.fault;
    always.count = -1;
    sim_->AddFault(always);
    out = RunHost({"open", "sign:2", "xreport", "close", "open", "sign:1"}, root);
    CheckCalls(out, c.name);
    // The server recovers; the pusher of the next process delivers everything.
    sim_->ClearFaults();
    out = RunHost({"open", "sign:1", "drain:60"}, root);
    EXPECT_NE(out.find("drained"), std::string::npos) << c.name << ": " << out;
    CheckDelivered(root, c.name + " (all the time)");

    // The pusher meets a passing fault on the first requests it makes and
    // must recover by itself within the same process.
    const std::string passingRoot = work_ + "/passing-" + std::to_string(cases);
    sim_->ClearRequests();
    out = RunHost({"open", "sign:1"}, passingRoot);
    Fault passing = c.fault;
    passing.match = "createReceipt";
    passing.count = 3;
    sim_->AddFault(passing);
    out =
        RunHost({"open", "sign:3", "drain:60", "close", "open", "sign:1", "drain:60"}, passingRoot);
    CheckCalls(out, c.name);
    EXPECT_EQ(ParseHostLog(out).failures.size(), 0u) << c.name << ": " << out;
    sim_->ClearFaults();
    CheckDelivered(passingRoot, c.name + " (passing)");
    ++cases;
  }
  std::cout << "server faults: " << cases << " fault modes, each all the time against the entry "
            << "points and passing against the pusher; 0 documents lost or repeated" << std::endl;
}

}  // namespace
}  // namespace qx::testing
