// The simulator's fiscal register: the state of the server and its tills, and
// the answer to each fiscal request. Not thread-safe; the simulator guards it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/xml.h"
#include "tools/rtsim/rtsim.h"

namespace qx::rtsim {

// What a request gets: a success with addInfo content, or a refusal.
struct Answer {
  bool success = true;
  std::string code;
  std::string status;
  std::string addInfo;  // markup placed inside addInfo
};

// The kind of a request element (the names of the --help text) and a short
// detail for the log ("data=01", "tillId=T01").
struct RequestKind {
  std::string kind = "unknown";
  std::string detail;
};
RequestKind ClassifyRequest(XmlElement command);

// Which end point serves a kind: true for fpmate.cgi.
bool ServedByFpMate(const std::string& kind);

class FiscalRegister {
 public:
  explicit FiscalRegister(Config config);

  Answer Handle(const std::string& kind, XmlElement command);

  Config& Settings() { return config_; }
  const Config& Settings() const { return config_; }

  std::optional<TillState> Till(const std::string& id) const;
  std::vector<TillState> Tills() const;
  void SetTill(const TillState& till);
  std::optional<ZReport> CurrentReport(const std::string& id) const;
  std::optional<ZReport> ClosedReport(const std::string& id, int32_t zRepNumber) const;
  int32_t ServerZRepNumber() const { return serverZRepNumber_; }
  std::string StateText() const;

 private:
  struct TillRecord {
    TillState state;
    std::map<int32_t, VatTotals> vats;
    std::vector<ZReport> closed;
  };

  TillRecord& TillFor(const std::string& id);
  std::string Today() const;
  ZReport ReportOf(const TillRecord& till) const;
  std::string RateText(int32_t vatId) const;

  Answer ServerInfo();
  Answer HeaderLine(const std::string& data);
  Answer VatDepartment(const std::string& data);
  Answer Clock();
  Answer ZRepNumberCounter();
  Answer PrintZReport();
  Answer TillMap();
  Answer CreateToken(const std::string& tillId);
  Answer TillReport(const std::string& tillId, const std::string& number, bool current);
  Answer CreateReceipt(XmlElement command);
  Answer DailyClosure(const std::string& tillId);
  std::string ReportMarkup(const ZReport& report) const;
  void BookReceipt(TillRecord& till, XmlElement printer, const std::string& docType,
                   Currency total);

  Config config_;
  std::map<std::string, TillRecord> tills_;
  std::vector<std::string> tillOrder_;  // first-seen order, for the till map
  int32_t serverZRepNumber_ = 0;
  Currency serverDailyAmount_;
  uint64_t tokensIssued_ = 0;
};

}  // namespace qx::rtsim
