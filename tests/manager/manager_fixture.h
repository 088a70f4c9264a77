// Shared set-up of the till manager tests: a temporary data root (QX_SRT_DB),
// a short queue wait, an RT server simulator on a free loopback port, and a
// fresh manager. A new manager over the same data root stands for a restart.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "manager/uRTServerManager.h"
#include "platform/files.h"
#include "tools/rtsim/rtsim.h"

namespace qx::manager_test {

class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qx_manager_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    setenv("QX_SRT_DB", root_.c_str(), 1);
    setenv("QX_QUEUE_WAIT_MS", "50", 1);
    sim_ = std::make_unique<rtsim::Simulator>();
    sim_->Start();
    manager_ = std::make_unique<kRTSManager>();
  }

  void TearDown() override {
    manager_.reset();
    sim_.reset();
    std::filesystem::remove_all(root_);
    unsetenv("QX_SRT_DB");
    unsetenv("QX_QUEUE_WAIT_MS");
  }

  kRTSManager& M() { return *manager_; }
  rtsim::Simulator& Sim() { return *sim_; }

  // Opens the day of |till| against the simulator with the default data root.
  bool Open(const std::string& till = "T01") {
    return manager_->DayOpen("", sim_->BaseAddress(), sim_->Port(), "", "", till);
  }
  // A process restart: the next manager knows only what is on disk.
  void Restart() { manager_ = std::make_unique<kRTSManager>(); }
  // The server stops answering (connections are refused).
  void ServerDown() { sim_->Stop(); }

  // Gives the simulator's till |id| the state a token is made from.
  void SetServerTill(const std::string& id, int32_t zRep, int32_t nextDoc,
                     Currency daily = Currency()) {
    rtsim::TillState till;
    till.id = id;
    till.zRepNumber = zRep;
    till.nextDocNumber = nextDoc;
    till.dailyAmount = daily;
    sim_->SetTill(till);
  }

  // Requests of one kind the simulator received ("createToken", "3216", ...).
  size_t CountRequests(const std::string& kind) const {
    size_t n = 0;
    for (const rtsim::RecordedRequest& r : sim_->Requests()) n += r.kind == kind;
    return n;
  }

  std::string TillDir(const std::string& till = "T01") const { return root_ + "/" + till; }
  std::string QueueDir(const std::string& till = "T01") const { return TillDir(till) + "/Queue"; }
  std::string ActualFile(const std::string& till = "T01") const {
    return TillDir(till) + "/QX_counters.actual.srtc";
  }
  std::string PreviousFile(const std::string& till = "T01") const {
    return TillDir(till) + "/QX_counters.previous.srtc";
  }

  // Writes a previous counters file as a closed day would have left it.
  void WritePreviousDay(const std::string& till, int32_t zRep, const std::string& lastLink) {
    ForceDirectories(TillDir(till));
    kRTSCounters previous;
    previous.New(till);
    previous.SetDataSource(dsServer);
    previous.SetServerSerialNumber("99SIM000001");
    previous.SetFirstFingerPrint("first-of-previous-day");
    previous.SetLastFingerPrint(lastLink);
    previous.SetCurrentzRep(zRep);
    previous.SetCurrentnRec(7);
    previous.SetFullFileName(PreviousFile(till));
    previous.Save();
  }

  // Puts |count| placeholder documents into the queue directory.
  std::vector<std::string> FillQueue(const std::string& till, int count) {
    ForceDirectories(QueueDir(till));
    std::vector<std::string> files;
    for (int i = 1; i <= count; ++i) {
      files.push_back(QueueDir(till) + "/" + till + "-0001-000" + std::to_string(i) + ".srtd");
      WriteFileAtomic(files.back(), "<createReceipt/>\r\n");
    }
    return files;
  }

  // A host receipt: |begin| is the beginFiscalReceipt element (or empty),
  // |lines| the lines before endFiscalReceipt.
  static std::string HostReceipt(const std::string& begin, const std::string& lines) {
    return "<printerFiscalReceipt>" + begin + lines + "<endFiscalReceipt/></printerFiscalReceipt>";
  }
  // A receipt of one item at VAT 1 paid in cash.
  static std::string OneItem(const std::string& begin, const std::string& price) {
    return HostReceipt(begin, "<printRecItem description=\"ITEM\" quantity=\"1\" unitPrice=\"" +
                                  price + "\" vatID=\"1\"/><printRecTotal payment=\"" + price +
                                  "\" paymentType=\"0\"/>");
  }
  static std::string Sale(const std::string& price) {
    return OneItem("<beginFiscalReceipt docType=\"0\"/>", price);
  }

  std::string root_;
  std::unique_ptr<rtsim::Simulator> sim_;
  std::unique_ptr<kRTSManager> manager_;
};

}  // namespace qx::manager_test
