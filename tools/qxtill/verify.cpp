// The chain verifier. Each stored receipt is re-read from disk, its digest
// recomputed over the cleaned markup of its receipt element, and its amounts
// recomputed by converting its own lines again against the till's cached VAT
// map. No request is sent to any server.
#include "tools/qxtill/verify.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "manager/uRTServerManager.h"
#include "manager/uRTServerManager_Counters.h"
#include "platform/currency.h"
#include "platform/digest.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/strings.h"
#include "platform/xml.h"
#include "rtserver/uRTSEPS20.h"
#include "rtserver/uRTSEPS20_Receipt.h"
#include "rtserver/uRTSEPS20_VATMap.h"

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

std::string ReadDocumentText(const std::string& path) {
  std::string text;
  for (const std::string& line : ReadTextLines(path)) text += line + "\r\n";
  return text;
}

// Every .srtd file of the queue and of the dated processed and errors directories.
std::vector<std::string> ReceiptFiles(const std::string& tillDir) {
  std::vector<std::string> files;
  auto add = [&files](const std::string& dir) {
    if (!DirectoryExists(dir)) return;
    for (auto& f : ListFiles(dir, ".srtd")) files.push_back(f);
  };
  add(JoinPath(tillDir, "Queue"));
  for (const char* filed : {"Processed", "Errors"}) {
    for (const auto& dated : ListSubdirectories(JoinPath(tillDir, filed))) add(dated);
  }
  return files;
}

// The Z report number a daily closure's file name carries ("<till>-<z>-9999.srtd").
std::optional<int32_t> ClosureZRep(const std::string& path) {
  const std::string name = ExtractFileName(path);
  const size_t last = name.rfind('-');
  if (last == std::string::npos || last == 0) return std::nullopt;
  const size_t before = name.rfind('-', last - 1);
  if (before == std::string::npos) return std::nullopt;
  int32_t zRep = 0;
  if (!TryStrToInt(name.substr(before + 1, last - before - 1), zRep)) return std::nullopt;
  return zRep;
}

// Daily closure documents by the Z report number their name carries.
using Closures = std::map<int32_t, std::vector<std::string>>;

// Reads one queue document; nullopt for a daily closure (which joins
// |closures|) or an unreadable receipt.
std::optional<StoredReceipt> ReadReceipt(const std::string& path, Closures& closures,
                                         Problems& problems) {
  XmlDocument doc;
  doc.LoadXml(ReadDocumentText(path));
  XmlElement root = doc.DocumentElement();
  if (root.NodeName() == "createDailyClosure") {
    if (auto zRep = ClosureZRep(path)) closures[*zRep].push_back(path);
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
Journal ReadJournal(const std::string& tillDir, Problems& problems) {
  Journal days;
  const std::string dir = JoinPath(tillDir, "Journal");
  if (!DirectoryExists(dir)) return days;
  std::vector<std::string> files = ListFiles(dir, ".srtj");
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    kRTSCounters counters;
    try {
      if (counters.Load(file)) {
        days[counters.CurrentzRep()].push_back({ExtractFileName(file), counters});
        continue;
      }
    } catch (const std::exception&) {
    }
    problems.push_back(ExtractFileName(file) + ": journal copy does not read");
  }
  return days;
}

// The closings of one Z report: its journal copies and the previous counters
// when they hold it, one record per closing time (a copy and the file it was
// copied from are one closing), oldest first.
std::vector<ClosingRecord> ClosingsOf(int32_t zRep, const Journal& journal,
                                      const std::optional<kRTSCounters>& previous) {
  std::vector<ClosingRecord> closings;
  auto add = [&closings](const ClosingRecord& record) {
    for (const auto& known : closings) {
      if (known.counters.LastZRepDate() == record.counters.LastZRepDate()) return;
    }
    closings.push_back(record);
  };
  if (auto copies = journal.find(zRep); copies != journal.end()) {
    for (const auto& copy : copies->second) add(copy);
  }
  if (previous && previous->CurrentzRep() == zRep) {
    add({"QX_counters.previous.srtc", *previous});
  }
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

VerifyResult VerifyTill(const std::string& tillDir, std::ostream& out) {
  VerifyResult result;
  Problems& problems = result.problems;
  if (!DirectoryExists(tillDir)) {
    problems.push_back(tillDir + ": no such till directory");
    out << "FAILED: " << problems.back() << "\n";
    return result;
  }
  kEPSRTServer server;
  const std::string vatFile = JoinPath(tillDir, "vatmap.srtv");
  bool haveVAT = false;
  try {
    haveVAT = FileExists(vatFile) && server.VATMap().Deserialize(ReadDocumentText(vatFile));
  } catch (const std::exception&) {
  }
  std::map<int32_t, std::vector<StoredReceipt>> days;
  Closures closures;
  for (const auto& file : ReceiptFiles(tillDir)) {
    try {
      if (auto r = ReadReceipt(file, closures, problems)) days[r->zRep].push_back(std::move(*r));
    } catch (const std::exception& e) {
      problems.push_back(ExtractFileName(file) + ": " + e.what());
    }
  }
  // A till may stop before its first receipt fetched the VAT map; only
  // receipts need it.
  if (!haveVAT && !days.empty()) {
    problems.push_back("vatmap.srtv: no VAT map to recompute the amounts with");
  }
  auto journal = ReadJournal(tillDir, problems);
  kRTSCounters actual;
  bool haveActual = false;
  try {
    haveActual = actual.Load(JoinPath(tillDir, "QX_counters.actual.srtc"));
  } catch (const std::exception& e) {
    problems.push_back(std::string("QX_counters.actual.srtc: ") + e.what());
  }

  std::optional<kRTSCounters> previous;
  try {
    kRTSCounters counters;
    if (counters.Load(JoinPath(tillDir, "QX_counters.previous.srtc"))) previous = counters;
  } catch (const std::exception& e) {
    problems.push_back(std::string("QX_counters.previous.srtc: ") + e.what());
  }

  // Every Z report that left a trace: receipts, a closure document, a closing record.
  std::set<int32_t> zReps;
  for (const auto& [zRep, day] : days) zReps.insert(zRep);
  for (const auto& [zRep, files] : closures) zReps.insert(zRep);
  for (const auto& [zRep, copies] : journal) zReps.insert(zRep);
  if (previous) zReps.insert(previous->CurrentzRep());

  for (const int32_t zRep : zReps) {
    const size_t before = problems.size();
    std::vector<StoredReceipt>& day = days[zRep];
    std::sort(day.begin(), day.end(), [](const auto& a, const auto& b) { return a.nRec < b.nRec; });
    CheckChain(day, problems);
    for (const auto& r : day) {
      if (!haveVAT) break;
      try {
        CheckAmounts(server, r, problems);
      } catch (const std::exception& e) {
        problems.push_back(ExtractFileName(r.file) + ": its lines do not convert: " + e.what());
      }
    }
    const std::string z = "Z report " + std::to_string(zRep);
    const std::vector<ClosingRecord> closings = ClosingsOf(zRep, journal, previous);
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
        out << z << ": receipt " << day.back().nRec
            << " was queued by a signing that did not finish; the next opening counts it\n";
        counted.pop_back();
      }
      if (!counted.empty()) {
        CheckDayAgainstCounters(counted, actual, "QX_counters.actual.srtc", problems);
      }
    }
    // A closure on its way to the server or accepted by it ends the day: the
    // till must not go on numbering receipts in it. (One the server refused
    // lies in the errors directory and closed nothing.) Until the next
    // opening completes it, a closing cut short after its closure was queued
    // leaves the day open, with no receipt written after the closure.
    if (open && closureFiles != closures.end()) {
      const std::string errorsDir = JoinPath(tillDir, "Errors");
      for (const std::string& file : closureFiles->second) {
        if (file.rfind(errorsDir, 0) == 0) continue;
        if (const StoredReceipt* later = ReceiptNewerThan(day, file)) {
          problems.push_back(z + ": still open although its daily closure " +
                             ExtractFileName(file) + " is queued or delivered, and " +
                             ExtractFileName(later->file) + " was written after it");
        } else {
          out << z << ": closing interrupted once its daily closure " << ExtractFileName(file)
              << " was queued; the next opening completes it\n";
        }
        break;
      }
    }
    const bool recorded = open || !closings.empty();
    if (!recorded && closureCount != 0) {
      // Closed, but no counters copy is kept: the journal keeps the first copy
      // made within a second, and a later closing replaced the previous
      // counters. Its chain is all there is to check.
      out << z << ": closed without a counters copy; totals not compared\n";
    } else if (!recorded) {
      problems.push_back(z +
                         ": neither a journal copy nor the actual or previous counters record "
                         "this day");
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
    for (size_t i = before; i < problems.size(); ++i) out << "  PROBLEM: " << problems[i] << "\n";
    result.receipts += static_cast<int>(day.size());
  }
  result.days = static_cast<int>(days.size());
  out << (result.Ok() ? "VERIFIED" : "FAILED") << ": " << result.receipts << " receipts in "
      << result.days << " Z reports, " << problems.size() << " problems\n";
  for (const auto& p : problems) out << "  " << p << "\n";
  return result;
}

}  // namespace qx
