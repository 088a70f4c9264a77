// Shared set-up of the request-object tests: an in-process RT server
// simulator on a free loopback port and a client pointed at it, with helpers
// to make the simulator answer one request with a given addInfo content and
// to look at the requests it received.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "rtserver/uRTSEPS20.h"
#include "tools/rtsim/rtsim.h"

namespace qx::rtreqtest {

class RtreqTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = std::make_unique<rtsim::Simulator>(rtsim::Config());
    sim_->Start();
    client_.Setup(sim_->BaseAddress(), sim_->Port(), "", "");
  }
  void TearDown() override { sim_->Stop(); }

  // One request of |kind| is answered as a success whose addInfo holds
  // |addInfo|. Faults apply in the order they were added, so several queued
  // for one kind answer successive requests.
  void ReplyOnce(const std::string& kind, const std::string& addInfo) {
    rtsim::Fault fault;
    fault.kind = rtsim::FaultKind::Reply;
    fault.match = kind;
    fault.text = addInfo;
    sim_->AddFault(fault);
  }
  // One request of |kind| is refused with a blocking code.
  void RefuseOnce(const std::string& kind) {
    rtsim::Fault fault;
    fault.kind = rtsim::FaultKind::Refuse;
    fault.match = kind;
    fault.code = "-20";
    fault.status = "Busy";
    sim_->AddFault(fault);
  }
  // One request of |kind| is answered without any element named |element|.
  void OmitOnce(const std::string& kind, const std::string& element) {
    rtsim::Fault fault;
    fault.kind = rtsim::FaultKind::OmitElement;
    fault.match = kind;
    fault.element = element;
    sim_->AddFault(fault);
  }
  // The request texts, as posted inside the envelope's Body, of the requests
  // of |kind| received so far.
  std::vector<std::string> Commands(const std::string& kind) const {
    static const std::string kOpen = "<soapenv:Body>", kClose = "</soapenv:Body>";
    std::vector<std::string> result;
    for (const auto& request : sim_->Requests()) {
      if (request.kind != kind) continue;
      size_t begin = request.body.find(kOpen);
      size_t end = request.body.rfind(kClose);
      if (begin == std::string::npos || end == std::string::npos || end < begin)
        result.push_back(request.body);
      else
        result.push_back(request.body.substr(begin + kOpen.size(), end - begin - kOpen.size()));
    }
    return result;
  }

  std::unique_ptr<rtsim::Simulator> sim_;
  kEPSRTServer client_;
};

}  // namespace qx::rtreqtest
