// Day opening: a till's fiscal day is resumed from its actual counters file,
// or started from a server token once the queue has drained, or carried on
// from the previous day's counters when the server cannot give a token.
#include <chrono>
#include <system_error>
#include <thread>

#include "manager/uRTServerManager.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/strings.h"
#include "platform/xml.h"
#include "rtserver/uRTSEPS20_Info.h"
#include "rtserver/uRTSEPS20_Till.h"

namespace qx {

namespace {

XmlElement Child(const XmlElement& parent, const char* name) {
  return parent.IsNull() ? XmlElement() : parent.ChildNodes().FindByName(name);
}

}  // namespace

struct kRTSManager::QueuedReceipt {
  std::string digest;
  std::string docType;
  Currency total;
  Currency dailyAmount;
};

bool kRTSManager::DayOpen(const std::string& aDataRootDir, const std::string& aAddress,
                          int32_t aPort, const std::string& aUser, const std::string& aPassword,
                          const std::string& aTillId) {
  // Whatever this opening meets, no receipt is signed until it has succeeded:
  // a failed or raising opening must not leave an earlier day (or another
  // till's) open behind new paths.
  fDayOpened = false;
  Init(aDataRootDir, aAddress, aPort, aUser, aPassword, aTillId);
  RemoveLeftovers();

  // The receipt header lines: asked of the server once per process, from the
  // cache when the server does not give them.
  if (ServerInfo().Headers().empty()) {
    if (LoadServerHeaders()) {
      SaveHeadersCache();
    } else {
      LoadHeadersCache();
    }
  }

  if (FileExists(fActualCountersFullFileName)) {
    if (fActualCounters->Load(fActualCountersFullFileName)) {
      RollForwardQueuedReceipts();
      // A day whose closure is already queued is over: finish its closing
      // and start the next, so that no receipt follows the closure.
      if (ClosingInterrupted()) {
        CompleteClosing();
        if (!StartNewDay(aTillId)) return false;
      }
    }
  } else if (!StartNewDay(aTillId)) {
    return false;
  }

  if (fActualCounters->LastFingerPrint().empty()) {
    AddError("Unable to obtain fingerprint or token");
    fDayOpened = false;
    return false;
  }
  fDayOpened = true;
  return true;
}

bool kRTSManager::StartNewDay(const std::string& aTillId) {
  kRTSCounters& actual = *fActualCounters;
  const kRTSCounters& previous = *fPreviousCounters;
  actual.Clear();
  actual.SetFullFileName(fActualCountersFullFileName);
  actual.SetTillSerialNumber(aTillId);
  const bool previousLoaded = fPreviousCounters->Load(fPreviousCountersFullFileName);

  // The server refused the last day's closure: its Z report is still open
  // there, and a new day would number receipts into it (from the server's
  // token) or past it. Nothing is signed until support has settled it.
  if (previousLoaded) {
    const std::string refused = RefusedClosure(previous.CurrentzRep());
    if (!refused.empty()) {
      const std::string zRep = std::to_string(previous.CurrentzRep());
      AddError("The RT server refused the daily closure of Z report " + zRep + " (" + refused +
               "): support must close Z report " + zRep +
               " on the RT server, then move that closure into the Processed folder of the "
               "same date");
      return false;
    }
  }

  WaitForQueueToDrain();

  // A token is asked for only when everything of the earlier days has been
  // delivered, so the server's numbering follows the till's own.
  const kEPSRTServer_Token* token = nullptr;
  if (DataQueueLength() == 0 && fServer->CreateToken(aTillId)) {
    token = fServer->TokenMap().GetToken(aTillId);
  }
  // A server whose running Z report is one the till has closed has not
  // booked that closure: numbering from its token would put receipts into a
  // closed Z report.
  if (token != nullptr && previousLoaded && token->ZRepNumber() <= previous.CurrentzRep()) {
    const std::string zRep = std::to_string(previous.CurrentzRep());
    AddError("The RT server has not closed Z report " + zRep +
             ", which this till has closed: support must close Z report " + zRep +
             " on the RT server");
    return false;
  }
  if (token != nullptr) {
    actual.SetDataSource(dsServer);
    actual.SetFirstFingerPrint(token->Token());
    actual.SetLastFingerPrint(token->Token());
    actual.SetServerSerialNumber(token->ServerSerialNumber());
    actual.SetTillSerialNumber(token->TillId());
  } else if (previousLoaded) {
    actual.SetDataSource(dsLocal);
    actual.SetServerSerialNumber(previous.ServerSerialNumber());
    actual.SetFirstFingerPrint(previous.LastFingerPrint());
    actual.SetLastFingerPrint(previous.LastFingerPrint());
  } else {
    // The server answered, but refused the user and password: saying it was
    // not available would send support after the network.
    const std::string& refusal = fServer->LastError();
    if (StartsWith(refusal, "Http error: 401") || StartsWith(refusal, "Http error: 403"))
      throw Error("The RT server refused the till's credentials (" + refusal +
                  "): check the user and password given to OPENTILL");
    throw Error("Server not available and no actual or previous counters");
  }

  if (token != nullptr && DataQueueLength() == 0) {
    actual.SetCurrentzRep(token->ZRepNumber());
    actual.SetCurrentnRec(token->NextDocumentNumber() - 1);
    actual.SetDailyTotal(token->DailyAmount());
    actual.SetDailySales(token->DailyAmount());
  } else {
    actual.SetCurrentzRep(previous.CurrentzRep() + 1);
    actual.SetCurrentnRec(0);
    actual.SetDailyTotal(Currency());
  }
  actual.Save();
  return true;
}

std::string kRTSManager::RefusedClosure(int32_t aZRepNumber) const {
  const std::string name = RTSQueueFileName(fTillId, aZRepNumber, kRTSClosureNumber);
  for (const std::string& dated : ReadSubdirectories(fDataErrorsDir)) {
    const std::string path = JoinPath(dated, name);
    if (FileExists(path)) return path;
  }
  return std::string();
}

// Waits in steps while the pusher keeps delivering: ends when the queue is
// empty, or after a step in which nothing left it. The count before each
// pause is compared with the count after it.
void kRTSManager::WaitForQueueToDrain() {
  const std::chrono::milliseconds step(QueueWaitMillis());
  int32_t count = DataQueueLength();
  while (count > 0) {
    std::this_thread::sleep_for(step);
    const int32_t after = DataQueueLength();
    if (after >= count) break;
    count = after;
  }
}

// A receipt is queued before its counters are saved. When the process ended
// between the two, the queue (or the pusher's processed or errors filing)
// holds a receipt the counters do not know: take it into the counters as
// receipt processing would have, so no number is issued twice and no link of
// the chain is dropped.
void kRTSManager::RollForwardQueuedReceipts() {
  kRTSCounters& counters = *fActualCounters;
  QueuedReceipt receipt;
  while (FindNextQueuedReceipt(receipt)) {
    if (receipt.docType == "3") {
      counters.SetDailyVoids(counters.DailyVoids() + receipt.total);
    } else if (receipt.docType == "1") {
      counters.SetDailyRefunds(counters.DailyRefunds() + receipt.total);
    } else {
      counters.SetDailySales(counters.DailySales() + receipt.total);
    }
    counters.SetLastFingerPrint(receipt.digest);
    counters.SetCurrentnRec(counters.CurrentnRec() + 1);
    counters.SetDailyTotal(receipt.dailyAmount);
    counters.Save();
  }
}

bool kRTSManager::FindNextQueuedReceipt(QueuedReceipt& aReceipt) const {
  const kRTSCounters& counters = *fActualCounters;
  std::string name;
  try {
    name = RTSQueueFileName(counters.TillSerialNumber(), counters.CurrentzRep(),
                            counters.CurrentnRec() + 1);
  } catch (const Error&) {
    return false;
  }
  // The pusher may move the file on while we look: the queue is searched
  // first and the dated directories listed only afterwards, so a file moved
  // in between is found at its new place.
  if (ReadQueuedReceipt(JoinPath(fDataQueueDir, name), aReceipt)) return true;
  if (ReadQueuedReceipt(JoinPath(fDataQueueDir, ClaimedQueueFileName(name)), aReceipt)) return true;
  for (const std::string* filed : {&fDataProcessedDir, &fDataErrorsDir}) {
    // A folder that cannot be listed fails the opening: a receipt filed
    // there and not counted would have its number issued again.
    for (const std::string& dated : ReadSubdirectories(*filed)) {
      if (ReadQueuedReceipt(JoinPath(dated, name), aReceipt)) return true;
    }
  }
  return false;
}

bool kRTSManager::ReadQueuedReceipt(const std::string& aPath, QueuedReceipt& aReceipt) const {
  const kRTSCounters& counters = *fActualCounters;
  if (!FileExists(aPath)) return false;
  std::string bytes;
  try {
    bytes = ReadFileBytes(aPath);
  } catch (const Error&) {
    if (!FileExists(aPath)) return false;  // moved on meanwhile
    throw;  // there but unreadable: the counters cannot be rolled forward
  }
  try {
    XmlDocument doc;
    doc.LoadXml(bytes);
    const XmlElement root = doc.DocumentElement();
    if (root.IsNull() || root.NodeName() != "createReceipt") return false;
    const XmlElement body = Child(root, "receipt");
    const XmlElement backLink = Child(body, "hash");
    const XmlElement seal = Child(Child(root, "receiptSecurity"), "hash");
    const XmlElement info = Child(Child(body, "printerFiscalReceipt"), "fiscalInformation");
    if (backLink.IsNull() || seal.IsNull() || info.IsNull()) return false;
    if (backLink.AttributeText("fingerPrint") != counters.LastFingerPrint() ||
        info.AttributeText("tillId") != counters.TillSerialNumber() ||
        StrToInt(info.AttributeText("zRepNumber")) != counters.CurrentzRep() ||
        StrToInt(info.AttributeText("recNumber")) != counters.CurrentnRec() + 1) {
      return false;
    }
    const std::string digest = seal.AttributeText("fingerPrint");
    if (digest.size() != 64) return false;
    aReceipt.digest = digest;
    aReceipt.docType = info.AttributeText("doctype");
    aReceipt.total = ParseCurrency(info.AttributeText("recAmount"));
    aReceipt.dailyAmount = ParseCurrency(info.AttributeText("dailyAmount"));
    return true;
  } catch (const Error&) {
    // Not a receipt of ours: it cannot continue the chain.
    return false;
  }
}

}  // namespace qx
