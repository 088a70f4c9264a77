// Receipt processing: a host receipt is converted and sealed by the server
// client's receipt object, written to the till's queue as one line, and
// counted. The queue file is on disk before the counters move on, so the
// fingerprint chain advances only for a queued receipt.
#include <exception>

#include "manager/uRTServerManager.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/strings.h"
#include "platform/xml.h"
#include "rtserver/uRTSEPS20_Receipt.h"
#include "rtserver/uRTSEPS20_VATMap.h"

namespace qx {

namespace {

// The host's document type: beginFiscalReceipt's docType ("0" when empty or
// absent), or the empty text when the receipt has no beginFiscalReceipt.
std::string DocumentType(const XmlDocument& aHostReceipt) {
  try {
    const XmlElement begin =
        aHostReceipt.DocumentElement().ChildNodes().FindByName("beginFiscalReceipt");
    if (begin.IsNull()) return std::string();
    const std::string docType = begin.AttributeText("docType");
    return docType.empty() ? std::string("0") : docType;
  } catch (const std::exception&) {
    return std::string();
  }
}

// Takes an unclaimed queue file back out of the queue: renamed, durably, to
// a name no listing of the queue picks up, then removed. False when it was no
// longer there to take (the delivery thread claimed it) or the rename failed.
bool WithdrawQueuedFile(const std::string& aPath) {
  const std::string withdrawn = aPath + ".withdrawn";
  if (!MoveFileReplace(aPath, withdrawn)) return false;
  DeleteFile(withdrawn);
  return true;
}

// True when the queue holds |aPath|, claimed by the delivery thread or not,
// with exactly |aLine| (its seal makes it this receipt): a write whose
// directory could not be synced is taken back, unless the thread claimed it
// in that very moment or it could not be removed, and then it will be
// delivered and stands.
bool QueuedAsWritten(const std::string& aPath, const std::string& aLine) {
  for (const std::string& path : {aPath, ClaimedQueueFileName(aPath)}) {
    try {
      if (FileExists(path) && ReadFileBytes(path) == aLine + "\r\n") return true;
    } catch (const std::exception&) {
    }
  }
  return false;
}

}  // namespace

bool kRTSManager::ProcessReceipt(const std::string& aXmlReceipt) {
  if (!fDayOpened) {
    AddError("Day not opened");
    return false;
  }
  // The daily closure's queue file carries this number: a receipt numbered so
  // would take its name.
  if (fActualCounters->CurrentnRec() + 1 == kRTSClosureNumber) {
    throw Error("Receipt number 9999 is reserved for the daily closure: close the day first");
  }

  if (VATMap().VATs().empty()) {
    if (LoadVatMap()) {
      fVatMapToCache = true;
    } else if (!LoadVatMapCache()) {
      throw Error("Impossibile to load VAT Map from server and no cached copy found");
    }
  }

  kRTSCounters& counters = *fActualCounters;
  kEPSRTServer_Receipt& receipt = Receipt();
  receipt.SetTillid(counters.TillSerialNumber());
  receipt.SetTokenId(counters.LastFingerPrint());
  receipt.SetZRepNumber(counters.CurrentzRep());
  receipt.SetNRecNumber(counters.CurrentnRec());
  receipt.SetDailyAmount(counters.DailyTotal());

  std::string docType;
  std::string wrapped;
  {
    XmlDocument hostReceipt;
    hostReceipt.LoadXml(aXmlReceipt);
    docType = DocumentType(hostReceipt);
    wrapped = "<createReceipt><receipt>" + hostReceipt.Text() + "</receipt></createReceipt>";
  }
  // A host text that is well-formed on its own may not be inside the wrapper
  // (an XML declaration, a document type): refuse it before the receipt
  // object lets go of the previous receipt.
  // The host's text is well-formed on its own, so the wrapper's own
  // positions would only mislead: name what is not accepted instead.
  try {
    XmlDocument().LoadXml(wrapped);
  } catch (const Error&) {
    throw Error(
        "XML parse error: a receipt is one printerFiscalReceipt element; an XML declaration or a "
        "document type declaration is not accepted");
  }
  receipt.XmlReceipt().Clear();
  receipt.XmlReceipt().LoadXml(wrapped);

  receipt.Process(docType);

  // Everything that can fail is worked out before the queue file is written,
  // so a written file is always followed by its counters.
  const std::string path =
      JoinPath(fDataQueueDir,
               RTSQueueFileName(receipt.Tillid(), receipt.ZRepNumber(), receipt.NRecNumber()));
  Currency sales = counters.DailySales();
  Currency refunds = counters.DailyRefunds();
  Currency voids = counters.DailyVoids();
  if (docType == "3") {
    voids += receipt.TotalAmount();
  } else if (docType == "1") {
    refunds += receipt.TotalAmount();
  } else {
    sales += receipt.TotalAmount();
  }

  // The map the receipt was computed with is on disk before the receipt is,
  // so that whatever a kill leaves, a queued receipt can be checked again.
  if (fVatMapToCache) {
    SaveVatMapCache();
    fVatMapToCache = false;
  }

  // A file of that name is an undelivered document of its own (a counters
  // file restored from a copy would number receipts again): never replace it.
  const std::string line = receipt.CleanXMLReceipt();
  try {
    QueueDocument(path, line);
  } catch (const std::exception&) {
    if (!QueuedAsWritten(path, line)) throw;
  }
  if (fReceiptQueuedHook) fReceiptQueuedHook(path);

  const kRTSCounters before = counters;
  counters.SetDailySales(sales);
  counters.SetDailyRefunds(refunds);
  counters.SetDailyVoids(voids);
  counters.SetLastFingerPrint(receipt.TokenId());
  counters.SetCurrentzRep(receipt.ZRepNumber());
  counters.SetCurrentnRec(receipt.NRecNumber());
  counters.SetDailyTotal(receipt.DailyAmount());
  try {
    counters.Save();
  } catch (const std::exception&) {
    // The host will be told that the receipt failed, so it must not reach
    // the server: take it back out of the queue and keep the counters as they
    // were. Taking it back is a rename, which fails once the delivery thread
    // has claimed the file (a rename of its own): then the receipt stands;
    // the counters in memory hold it, and the next save or a restart's
    // roll-forward brings the file up to date.
    if (!WithdrawQueuedFile(path)) return true;
    counters = before;
    throw;
  }
  fLastIssued = IssuedReceipt{receipt.ZRepNumber(), receipt.NRecNumber(), receipt.VATTotalAmount()};
  return true;
}

}  // namespace qx
