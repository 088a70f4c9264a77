// The judgement of a till's store. Each stored receipt is re-read from disk,
// its digest recomputed over the cleaned markup of its receipt element, and
// its amounts recomputed by converting its own lines again against the till's
// cached VAT map. No request is sent to any server, nothing is written.
#include "store/uRTSStoreCheck.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "manager/uRTServerManager.h"
#include "manager/uRTServerManager_Counters.h"
#include "platform/currency.h"
#include "platform/datetime.h"
#include "platform/digest.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/strings.h"
#include "platform/xml.h"
#include "rtserver/uRTSEPS20.h"
#include "rtserver/uRTSEPS20_Receipt.h"
#include "rtserver/uRTSEPS20_VATMap.h"
#include "store/uRTSStoreNames.h"

namespace qx {
namespace {

struct StoredReceipt {
  std::string file;
  int32_t zRep = 0;
  int32_t nRec = 0;
  std::string docType;
  std::string backLink;
  std::string digest;          // as stored in receiptSecurity
  std::string computedDigest;  // over the stored receipt element
  Currency recAmount, recVAT, dailyAmount;
  std::string hostReceipt;  // printerFiscalReceipt without fiscalInformation
};

using Problems = std::vector<std::string>;

std::string StripLineBreaks(std::string text) {
  std::erase_if(text, [](char c) { return c == '\r' || c == '\n' || c == '\t'; });
  return text;
}

// Daily closure documents by the Z report number their name carries.
using Closures = std::map<int32_t, std::vector<std::string>>;

// Reads one queue document; nullopt for a daily closure (which joins
// |closures|) or an unreadable receipt.
std::optional<StoredReceipt> ReadReceipt(const std::string& path, const std::string& text,
                                         Closures& closures, Problems& problems) {
  XmlDocument doc;
  doc.LoadXml(text);
  XmlElement root = doc.DocumentElement();
  if (root.NodeName() == "createDailyClosure") {
    if (auto numbers = DocumentNumbers(ExtractFileName(path)))
      closures[numbers->first].push_back(path);
    return std::nullopt;
  }
  auto fail = [&](const std::string& what) -> std::optional<StoredReceipt> {
    problems.push_back(ExtractFileName(path) + ": " + what);
    return std::nullopt;
  };
  if (root.NodeName() != "createReceipt") return fail("not a receipt document");
  XmlNodeList top = root.ChildNodes();
  XmlElement receipt = top.FindByName("receipt");
  XmlElement security = top.FindByName("receiptSecurity");
  if (!receipt || !security) return fail("receipt or receiptSecurity element missing");
  XmlNodeList parts = receipt.ChildNodes();
  XmlElement backLink = parts.FindByName("hash");
  XmlElement host = parts.FindByName("printerFiscalReceipt");
  XmlElement seal = security.ChildNodes().FindByName("hash");
  if (!backLink || !host || !seal) return fail("hash or printerFiscalReceipt element missing");
  XmlElement info = host.ChildNodes().FindByName("fiscalInformation");
  if (!info) return fail("fiscalInformation element missing");
  const std::string expectedName = info.AttributeText("tillId") + "-" +
                                   info.AttributeText("zRepNumber") + "-" +
                                   info.AttributeText("recNumber") + ".srtd";
  if (UnclaimedQueueFileName(ExtractFileName(path)) != expectedName)
    problems.push_back(ExtractFileName(path) + ": its content is receipt " + expectedName);

  StoredReceipt r;
  r.file = path;
  r.backLink = backLink.AttributeText("fingerPrint");
  r.digest = seal.AttributeText("fingerPrint");
  r.computedDigest = Sha256Hex(StripLineBreaks(receipt.Xml()));
  r.zRep = StrToInt(info.AttributeText("zRepNumber"));
  r.nRec = StrToInt(info.AttributeText("recNumber"));
  r.docType = info.AttributeText("doctype");
  r.recAmount = ParseCurrency(info.AttributeText("recAmount"));
  r.recVAT = ParseCurrency(info.AttributeText("recVAT"));
  r.dailyAmount = ParseCurrency(info.AttributeText("dailyAmount"));
  host.Native().remove_child(info.Native());
  r.hostReceipt = host.Xml();
  return r;
}

// Converts the receipt's own lines again and compares the amounts it states.
void CheckAmounts(kEPSRTServer& server, const StoredReceipt& r, Problems& problems) {
  kEPSRTServer_Receipt& converter = server.Receipt();
  converter.XmlReceipt().LoadXml("<createReceipt><receipt>" + r.hostReceipt +
                                 "</receipt></createReceipt>");
  converter.SetNRecNumber(r.nRec - 1);
  converter.SetZRepNumber(r.zRep);
  converter.SetDailyAmount(Currency());
  converter.Process(r.docType);
  const std::string name = ExtractFileName(r.file);
  if (converter.TotalAmount() != r.recAmount)
    problems.push_back(name + ": recAmount " + FormatFiscal(r.recAmount) + " but its lines total " +
                       FormatFiscal(converter.TotalAmount()));
  if (converter.VATTotalAmount() != r.recVAT)
    problems.push_back(name + ": recVAT " + FormatFiscal(r.recVAT) + " but its lines give " +
                       FormatFiscal(converter.VATTotalAmount()));
}

// A counters record of a closed day: a journal copy or the previous counters.
struct ClosingRecord {
  std::string name;
  kRTSCounters counters;
};
using Journal = std::map<int32_t, std::vector<ClosingRecord>>;

// Every journal copy by Z report number, oldest first (names sort by time).
Journal ReadJournal(const kRTSTillStore& aStore, Problems& problems) {
  Journal days;
  for (const kRTSJournalCopy& copy : aStore.journal) {
    if (copy.readable)
      days[copy.counters.CurrentzRep()].push_back({copy.name, copy.counters});
    else
      problems.push_back(copy.name + ": journal copy does not read");
  }
  return days;
}

// What differs between two records of one closing, or empty.
std::string Disagreement(const kRTSCounters& a, const kRTSCounters& b) {
  std::string what;
  auto add = [&what](bool aDiffers, const std::string& aText) {
    if (aDiffers) what += (what.empty() ? "" : ", ") + aText;
  };
  add(a.CurrentnRec() != b.CurrentnRec(), "receipt number " + std::to_string(a.CurrentnRec()) +
                                              " against " + std::to_string(b.CurrentnRec()));
  add(a.FirstFingerPrint() != b.FirstFingerPrint(), "first fingerprint");
  add(a.LastFingerPrint() != b.LastFingerPrint(), "last fingerprint");
  add(a.DailyTotal() != b.DailyTotal() || a.DailySales() != b.DailySales() ||
          a.DailyRefunds() != b.DailyRefunds() || a.DailyVoids() != b.DailyVoids(),
      "totals");
  return what;
}

// The closings of one Z report: its journal copies and the previous counters
// when they hold it, one record per closing time (a copy and the file it was
// copied from are one closing, and must say the same), oldest first.
std::vector<ClosingRecord> ClosingsOf(int32_t zRep, const Journal& journal,
                                      const std::optional<kRTSCounters>& previous,
                                      Problems& problems) {
  std::vector<ClosingRecord> closings;
  auto add = [&](const ClosingRecord& record) {
    for (const auto& known : closings) {
      if (known.counters.LastZRepDate() != record.counters.LastZRepDate()) continue;
      const std::string differs = Disagreement(record.counters, known.counters);
      if (!differs.empty())
        problems.push_back(record.name + " disagrees with its journal copy " + known.name + ": " +
                           differs);
      return;
    }
    closings.push_back(record);
  };
  if (auto copies = journal.find(zRep); copies != journal.end()) {
    for (const auto& copy : copies->second) add(copy);
  }
  if (previous && previous->CurrentzRep() == zRep) add({kRTSPreviousCountersName, *previous});
  return closings;
}

void CheckChain(const std::vector<StoredReceipt>& day, Problems& problems) {
  for (size_t i = 0; i < day.size(); ++i) {
    const StoredReceipt& r = day[i];
    const std::string name = ExtractFileName(r.file);
    if (r.computedDigest != r.digest)
      problems.push_back(name + ": digest does not match its content");
    if (i == 0) continue;
    const StoredReceipt& prev = day[i - 1];
    if (r.nRec == prev.nRec)
      problems.push_back(name + ": receipt number " + std::to_string(r.nRec) + " repeated");
    else if (r.nRec != prev.nRec + 1)
      problems.push_back(name + ": gap before receipt " + std::to_string(r.nRec) + " (previous " +
                         std::to_string(prev.nRec) + ")");
    if (r.backLink != prev.digest)
      problems.push_back(name + ": back link does not equal the previous receipt's digest");
    const Currency expected = prev.dailyAmount + (r.docType == "0" ? r.recAmount : Currency());
    if (r.dailyAmount != expected)
      problems.push_back(name + ": dailyAmount does not run on from the previous receipt");
  }
}

struct Totals {
  Currency sales, refunds, voids;
};

Totals DayTotals(const std::vector<StoredReceipt>& day) {
  Totals t;
  for (const auto& r : day) {
    if (r.docType == "3")
      t.voids += r.recAmount;
    else if (r.docType == "1")
      t.refunds += r.recAmount;
    else
      t.sales += r.recAmount;
  }
  return t;
}

// The day's receipts against the counters that recorded it.
void CheckDayAgainstCounters(const std::vector<StoredReceipt>& day, const kRTSCounters& c,
                             const std::string& name, Problems& problems) {
  const StoredReceipt& first = day.front();
  const StoredReceipt& last = day.back();
  if (first.backLink != c.FirstFingerPrint())
    problems.push_back(ExtractFileName(first.file) +
                       ": first receipt of the day does not link to the first fingerprint of " +
                       name);
  if (last.digest != c.LastFingerPrint())
    problems.push_back(name + ": last fingerprint differs from the last receipt's digest");
  if (last.nRec != c.CurrentnRec())
    problems.push_back(name + ": receipt number " + std::to_string(c.CurrentnRec()) +
                       " but the last receipt stored is " + std::to_string(last.nRec));
  // A day opened from a server token may start with an amount already booked.
  const Currency start = first.dailyAmount - (first.docType == "0" ? first.recAmount : Currency());
  const Totals t = DayTotals(day);
  auto compare = [&](const char* what, Currency stated, Currency computed) {
    if (stated != computed)
      problems.push_back(name + ": " + what + " " + FormatFiscal(stated) +
                         " but the receipts give " + FormatFiscal(computed));
  };
  compare("DailyTotal", c.DailyTotal(), last.dailyAmount);
  compare("DailySales", c.DailySales(), start + t.sales);
  compare("DailyRefunds", c.DailyRefunds(), t.refunds);
  compare("DailyVoids", c.DailyVoids(), t.voids);
}

// A receipt queued by a signing whose process ended before it saved the
// counters: the last receipt of the open day, one past the counters, linked
// to their last fingerprint. The next opening counts it in.
bool QueuedByUnfinishedSigning(const std::vector<StoredReceipt>& day, const kRTSCounters& c) {
  const StoredReceipt& last = day.back();
  return last.nRec == c.CurrentnRec() + 1 && last.backLink == c.LastFingerPrint() &&
         (day.size() == 1 || day[day.size() - 2].nRec == c.CurrentnRec());
}

// The first receipt file of |day| written after |aClosure|, or null.
const StoredReceipt* ReceiptNewerThan(const std::vector<StoredReceipt>& day,
                                      const std::string& aClosure) {
  try {
    const int64_t closed = FileModifiedUnixMillis(aClosure);
    for (const auto& r : day) {
      if (FileModifiedUnixMillis(r.file) > closed) return &r;
    }
  } catch (const Error&) {
    // A file moved by a live till meanwhile: nothing to compare.
  }
  return nullptr;
}

}  // namespace

namespace {

// A closing makes no journal copy when one of the same name (its second) is
// there already: the closing of another day within the same second. |aClosure|
// was written by the closing a moment before its copy would have been.
bool JournalNameTakenAtClosing(const kRTSTillStore& aStore, int32_t aZRep,
                               const std::string& aClosure) {
  int64_t written = 0;
  try {
    written = FileModifiedUnixMillis(aClosure);
  } catch (const Error&) {
    return false;
  }
  for (const kRTSJournalCopy& copy : aStore.journal) {
    if (copy.readable && copy.counters.CurrentzRep() == aZRep) continue;
    for (int64_t seconds = -1; seconds <= 2; ++seconds) {
      const std::string name =
          FormatDateTime("yyyymmddhhnnss", LocalFromUnixMillis(written + seconds * 1000)) +
          kRTSJournalSuffix;
      if (copy.name == name) return true;
    }
  }
  return false;
}

// The last receipt of the day and its digest; for a day without receipts, the
// last fingerprint its closing recorded.
struct DayEnds {
  std::optional<std::string> lastLink;
  std::optional<std::string> firstLinkIfLocal;  // a day opened from the day before
  std::string firstLinkOwner;
};

}  // namespace

std::vector<std::string> kRTSStoreCheck::Texts(tkRTSFindingLevel aLevel) const {
  std::vector<std::string> texts;
  for (const kRTSFinding& finding : findings) {
    if (finding.level == aLevel) texts.push_back(finding.text);
  }
  return texts;
}

kRTSStoreCheck CheckTillStore(const kRTSTillStore& aStore, std::ostream& out) {
  kRTSStoreCheck result;
  Problems problems;
  auto flush = [&result, &problems] {
    for (std::string& p : problems) result.findings.push_back({tkRTSFindingLevel::flProblem, p});
    problems.clear();
  };
  auto note = [&](const std::string& aText) {
    out << aText << "\n";
    result.findings.push_back({tkRTSFindingLevel::flNote, aText});
  };
  if (!aStore.exists) {
    problems.push_back(aStore.dir + ": no such till directory");
    out << "FAILED: " << problems.back() << "\n";
    flush();
    return result;
  }
  kEPSRTServer server;
  bool haveVAT = false;
  try {
    haveVAT = aStore.haveVatMap && server.VATMap().Deserialize(aStore.vatMapText);
  } catch (const std::exception&) {
  }
  std::map<int32_t, std::vector<StoredReceipt>> days;
  Closures closures;
  for (const kRTSStoredDocument& document : aStore.documents) {
    if (document.modifiedMillis == 0 && !FileExists(document.path)) continue;  // filed meanwhile
    try {
      std::string path;
      const std::string text = ReadStoredDocument(aStore, document, path);
      if (auto r = ReadReceipt(path, text, closures, problems))
        days[r->zRep].push_back(std::move(*r));
    } catch (const std::exception& e) {
      problems.push_back(document.name + ": " + e.what());
    }
  }
  // A closure set aside as a duplicate stands for the day's closure only when
  // the one of its name is gone; beside it, it is no second closing.
  for (const kRTSStoredDocument& document : aStore.setAside) {
    if (document.numbered && document.nRec == kRTSClosureNumber && !closures.count(document.zRep))
      closures[document.zRep].push_back(document.path);
  }
  // A till may stop before its first receipt fetched the VAT map; only
  // receipts need it.
  if (!haveVAT && !days.empty()) {
    problems.push_back(std::string(kRTSVatMapCacheName) +
                       ": no VAT map to recompute the amounts with");
  }
  auto journal = ReadJournal(aStore, problems);
  const bool haveActual = aStore.actual.state == tkRTSCountersState::csLoaded;
  const kRTSCounters& actual = aStore.actual.counters;
  if (aStore.actual.state == tkRTSCountersState::csDamaged)
    problems.push_back(std::string(kRTSActualCountersName) + ": " + aStore.actual.error);
  std::optional<kRTSCounters> previous;
  if (aStore.previous.state == tkRTSCountersState::csLoaded) previous = aStore.previous.counters;
  if (aStore.previous.state == tkRTSCountersState::csDamaged)
    problems.push_back(std::string(kRTSPreviousCountersName) + ": " + aStore.previous.error);
  flush();

  // Every Z report that left a trace: receipts, a closure document, a closing record.
  std::set<int32_t> zReps;
  for (const auto& [zRep, day] : days) zReps.insert(zRep);
  for (const auto& [zRep, files] : closures) zReps.insert(zRep);
  for (const auto& [zRep, copies] : journal) zReps.insert(zRep);
  if (previous) zReps.insert(previous->CurrentzRep());
  if (haveActual) zReps.insert(actual.CurrentzRep());
  std::map<int32_t, DayEnds> ends;

  std::optional<int32_t> earlier;
  for (const int32_t zRep : zReps) {
    std::vector<StoredReceipt>& day = days[zRep];
    std::sort(day.begin(), day.end(), [](const auto& a, const auto& b) { return a.nRec < b.nRec; });
    const std::string z = "Z report " + std::to_string(zRep);
    // The server numbers a till's days one after the other: a number with no
    // trace at all between two that have one is a day removed.
    if (earlier && zRep != *earlier + 1) {
      const std::string from = std::to_string(*earlier + 1), to = std::to_string(zRep - 1);
      const bool one = zRep == *earlier + 2;
      problems.push_back((one ? "Z report " + from : "Z reports " + from + " to " + to) +
                         ": missing; no receipt, closure or counters record " +
                         (one ? "it" : "them") + " although Z reports " + std::to_string(*earlier) +
                         " and " + std::to_string(zRep) + " are stored");
    }
    earlier = zRep;
    CheckChain(day, problems);
    for (const auto& r : day) {
      if (!haveVAT) break;
      try {
        CheckAmounts(server, r, problems);
      } catch (const std::exception& e) {
        problems.push_back(ExtractFileName(r.file) + ": its lines do not convert: " + e.what());
      }
    }
    const std::vector<ClosingRecord> closings = ClosingsOf(zRep, journal, previous, problems);
    const auto closureFiles = closures.find(zRep);
    const size_t closureCount = closureFiles == closures.end() ? 0 : closureFiles->second.size();
    if (closings.size() > 1) {
      std::string names;
      for (const auto& c : closings) names += (names.empty() ? "" : ", ") + c.name;
      problems.push_back(z + ": closed " + std::to_string(closings.size()) + " times (" + names +
                         ")");
    }
    if (closureCount > 1) {
      problems.push_back(z + ": " + std::to_string(closureCount) +
                         " daily closure documents for one day");
    }
    // A closing queues the day's closure before it records the closing, so a
    // recorded closing without its closure document lost a file.
    if (!closings.empty() && closureCount == 0) {
      problems.push_back(z + ": closed (" + closings.front().name +
                         ") but its daily closure document is missing");
    }
    // Each closing is checked against the receipts it had seen; a receipt
    // numbered after the first closing belongs to a day the server had closed.
    for (const auto& [name, counters] : closings) {
      std::vector<StoredReceipt> seen;
      for (const auto& r : day) {
        if (r.nRec <= counters.CurrentnRec()) seen.push_back(r);
      }
      if (!seen.empty()) {
        CheckDayAgainstCounters(seen, counters, name, problems);
      } else if (counters.LastFingerPrint() != counters.FirstFingerPrint() ||
                 counters.DailyRefunds() != Currency() || counters.DailyVoids() != Currency()) {
        problems.push_back(name + ": records receipts of " + z + " that are not stored");
      }
    }
    if (!closings.empty()) {
      for (const auto& r : day) {
        if (r.nRec > closings.front().counters.CurrentnRec())
          problems.push_back(ExtractFileName(r.file) + ": numbered in " + z +
                             " after its closure (" + closings.front().name + ")");
      }
    }
    const bool open = haveActual && actual.CurrentzRep() == zRep;
    if (open && !day.empty()) {
      std::vector<StoredReceipt> counted = day;
      if (QueuedByUnfinishedSigning(day, actual)) {
        note(z + ": receipt " + std::to_string(day.back().nRec) +
             " was queued by a signing that did not finish; the next opening counts it");
        counted.pop_back();
      }
      if (!counted.empty()) {
        CheckDayAgainstCounters(counted, actual, kRTSActualCountersName, problems);
      }
    }
    // A closure on its way to the server or accepted by it ends the day: the
    // till must not go on numbering receipts in it. (One the server refused
    // lies in the errors directory and closed nothing.) Until the next
    // opening completes it, a closing cut short after its closure was queued
    // leaves the day open, with no receipt written after the closure.
    if (open && closureFiles != closures.end()) {
      const std::string errorsDir = JoinPath(aStore.dir, kRTSErrorsFolder);
      for (const std::string& file : closureFiles->second) {
        if (file.rfind(errorsDir, 0) == 0) continue;
        if (const StoredReceipt* later = ReceiptNewerThan(day, file)) {
          problems.push_back(z + ": still open although its daily closure " +
                             ExtractFileName(file) + " is queued or delivered, and " +
                             ExtractFileName(later->file) + " was written after it");
        } else {
          note(z + ": closing interrupted once its daily closure " + ExtractFileName(file) +
               " was queued; the next opening completes it");
        }
        break;
      }
    }
    const bool recorded = open || !closings.empty();
    if (!recorded && closureCount != 0) {
      // The journal keeps the first copy made within a second: a day closed in
      // the same second as another has no copy of its own, and a later closing
      // replaced the previous counters. Any other closed day without a record
      // lost its journal copy, and with it the check of its totals and last
      // receipt.
      if (JournalNameTakenAtClosing(aStore, zRep, closureFiles->second.front())) {
        note(z +
             ": closed in the same second as another day, without a counters copy; totals "
             "not compared");
      } else {
        problems.push_back(z +
                           ": closed, but its journal copy is missing; its totals and last "
                           "receipt cannot be checked");
      }
    } else if (!recorded) {
      problems.push_back(z +
                         ": neither a journal copy nor the actual or previous counters record "
                         "this day");
    }
    DayEnds& end = ends[zRep];
    if (!day.empty())
      end.lastLink = day.back().digest;
    else if (!closings.empty())
      end.lastLink = closings.front().counters.LastFingerPrint();
    for (const auto& [name, counters] : closings) {
      if (counters.DataSource() == dsLocal) {
        end.firstLinkIfLocal = counters.FirstFingerPrint();
        end.firstLinkOwner = name;
      }
    }
    if (open && actual.DataSource() == dsLocal) {
      end.firstLinkIfLocal = actual.FirstFingerPrint();
      end.firstLinkOwner = kRTSActualCountersName;
    }
    // A day opened without the server continues the chain of the day before.
    if (const auto before = ends.find(zRep - 1);
        before != ends.end() && end.firstLinkIfLocal && before->second.lastLink &&
        *end.firstLinkIfLocal != *before->second.lastLink) {
      problems.push_back(z + ": opened from the day before (" + end.firstLinkOwner +
                         "), but its first fingerprint is not the last of Z report " +
                         std::to_string(zRep - 1));
    }

    const Totals t = DayTotals(day);
    out << z << (open ? " (open)" : " (closed)") << ": " << day.size() << " receipts";
    if (!day.empty()) {
      out << ", numbers " << day.front().nRec << " to " << day.back().nRec;
    }
    out << "; sales " << FormatTwoDecimals(t.sales) << ", refunds " << FormatTwoDecimals(t.refunds)
        << ", voids " << FormatTwoDecimals(t.voids) << "\n";
    if (!day.empty()) {
      out << "  first link " << day.front().backLink << "\n"
          << "  last link  " << day.back().digest << "\n";
    }
    for (const std::string& p : problems) out << "  PROBLEM: " << p << "\n";
    flush();
    result.receipts += static_cast<int>(day.size());
    ++result.days;
  }

  // Documents the server never booked: each needs a person.
  for (const kRTSStoredDocument& document : aStore.setAside) {
    const std::string queued = document.name.substr(0, document.name.rfind(kRTSSetAsideMark));
    result.findings.push_back(
        {tkRTSFindingLevel::flWarning,
         document.Where() + ": set aside, a document named " + queued +
             " was queued or delivered before; compare the two (Processed/), keep a copy, "
             "then move this one out of the queue"});
  }
  for (const kRTSStoredDocument& document : aStore.documents) {
    if (document.place != tkRTSDocumentPlace::dpErrors) continue;
    if (document.resolved) {
      result.findings.push_back(
          {tkRTSFindingLevel::flNote,
           document.Where() + ": refused by the server, resolved by support"});
      continue;
    }
    result.findings.push_back(
        {tkRTSFindingLevel::flWarning,
         document.Where() +
             ": refused by the server, not booked; settle it with the RT server's vendor or the "
             "accountant, then mark it with 'qxtill resolve TILLDIR " +
             document.name + "'"});
  }
  for (const kRTSFinding& finding : result.findings) {
    if (finding.level == tkRTSFindingLevel::flWarning) out << "WARNING: " << finding.text << "\n";
  }
  return result;
}

}  // namespace qx
