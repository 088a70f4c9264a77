// Consistency check of a till's data store (see store_check.h).
#include "support/store_check.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <exception>

#include "manager/uRTServerManager_Counters.h"
#include "platform/digest.h"
#include "platform/files.h"
#include "platform/strings.h"
#include "platform/xml.h"

namespace qx::testing {
namespace {

struct Entry {
  std::string name;
  bool directory = false;
};

std::vector<Entry> ListDirectory(const std::string& aDir) {
  std::vector<Entry> entries;
  DIR* handle = ::opendir(aDir.c_str());
  if (handle == nullptr) return entries;
  while (const dirent* e = ::readdir(handle)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::stat((aDir + "/" + name).c_str(), &st) != 0) continue;
    entries.push_back({name, S_ISDIR(st.st_mode)});
  }
  ::closedir(handle);
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return entries;
}

bool IsTemporary(const std::string& aName) {
  return !aName.empty() && aName[0] == '.' && EndsWithIgnoreCase(aName, ".tmp");
}

class Checker {
 public:
  Checker(std::string aTillId, StoreReport& aReport)
      : tillId_(std::move(aTillId)), report_(aReport) {}

  void Counters(const std::string& aPath, bool aActual) {
    if (!FileExists(aPath)) return;
    kRTSCounters counters;
    try {
      if (!counters.Load(aPath)) {
        Problem(aPath + ": counters do not load");
        return;
      }
    } catch (const std::exception& e) {
      Problem(aPath + ": counters do not parse: " + e.what());
      return;
    }
    if (aActual) {
      report_.haveActualCounters = true;
      report_.actualZRep = counters.CurrentzRep();
      report_.actualnRec = counters.CurrentnRec();
      report_.actualLastFingerPrint = counters.LastFingerPrint();
    }
  }

  // Every document directly in |aDir|, and in its dated subdirectories when
  // |aDated|.
  void Documents(const std::string& aDir, bool aDated) {
    for (const Entry& e : ListDirectory(aDir)) {
      const std::string path = aDir + "/" + e.name;
      if (e.directory) {
        if (aDated) Documents(path, false);
        continue;
      }
      if (IsTemporary(e.name)) {
        ++report_.leftoverTemporaryFiles;
      } else if (EndsWithIgnoreCase(e.name, ".srtd") ||
                 EndsWithIgnoreCase(e.name, ".srtd_duplicate.err")) {
        Document(path);
      }
    }
  }

  void Chains() {
    const StoredReceipt* previous = nullptr;
    for (const auto& [key, receipt] : report_.receipts) {
      if (previous != nullptr && previous->zRep == receipt.zRep) {
        if (receipt.nRec != previous->nRec + 1) {
          Problem(receipt.path + ": receipt number " + std::to_string(receipt.nRec) + " follows " +
                  std::to_string(previous->nRec));
        }
        if (receipt.backLink != previous->seal) {
          Problem(receipt.path + ": back link does not match the seal of " + previous->path);
        }
      }
      previous = &receipt;
    }
  }

 private:
  void Problem(std::string aText) { report_.problems.push_back(std::move(aText)); }

  void Document(const std::string& aPath) {
    std::string bytes;
    try {
      bytes = ReadFileBytes(aPath);
    } catch (const std::exception& e) {
      Problem(aPath + ": " + e.what());
      return;
    }
    if (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0 ||
        bytes.find_first_of("\r\n") != bytes.size() - 2) {
      Problem(aPath + ": not one complete line");
      return;
    }
    const std::string text = bytes.substr(0, bytes.size() - 2);
    XmlDocument doc;
    try {
      doc.LoadXml(text);
    } catch (const std::exception& e) {
      Problem(aPath + ": not well-formed: " + e.what());
      return;
    }
    const std::string kind = doc.DocumentElement().NodeName();
    if (kind == "createDailyClosure") {
      ++report_.closures;
    } else if (kind == "createReceipt") {
      Receipt(aPath, text, doc);
    } else {
      Problem(aPath + ": unknown document " + kind);
    }
  }

  void Receipt(const std::string& aPath, const std::string& aText, XmlDocument& aDoc) {
    StoredReceipt receipt;
    receipt.path = aPath;
    const XmlElement root = aDoc.DocumentElement();
    const XmlElement body = root.ChildNodes().FindByName("receipt");
    const XmlElement security = root.ChildNodes().FindByName("receiptSecurity");
    const XmlElement info = body.IsNull() ? XmlElement()
                                          : body.ChildNodes()
                                                .FindByName("printerFiscalReceipt")
                                                .ChildNodes()
                                                .FindByName("fiscalInformation");
    if (body.IsNull() || security.IsNull() || info.IsNull()) {
      Problem(aPath + ": receipt without its parts");
      return;
    }
    receipt.backLink = body.ChildNodes().FindByName("hash").AttributeText("fingerPrint");
    receipt.seal = security.ChildNodes().FindByName("hash").AttributeText("fingerPrint");
    if (!TryStrToInt(info.AttributeText("zRepNumber"), receipt.zRep) ||
        !TryStrToInt(info.AttributeText("recNumber"), receipt.nRec)) {
      Problem(aPath + ": receipt without numbers");
      return;
    }
    if (info.AttributeText("tillId") != tillId_) Problem(aPath + ": receipt of another till");
    const std::string head = "<createReceipt>";
    const size_t end = aText.rfind("<receiptSecurity>");
    if (aText.compare(0, head.size(), head) != 0 || end == std::string::npos ||
        Sha256Hex(aText.substr(head.size(), end - head.size())) != receipt.seal) {
      Problem(aPath + ": seal is not the digest of the receipt");
    }
    const auto key = std::make_pair(receipt.zRep, receipt.nRec);
    auto [at, inserted] = report_.receipts.emplace(key, receipt);
    if (!inserted) {
      Problem(aPath + ": receipt " + std::to_string(key.first) + "/" + std::to_string(key.second) +
              " also stored as " + at->second.path);
    }
  }

  std::string tillId_;
  StoreReport& report_;
};

}  // namespace

std::string StoreReport::Describe() const {
  std::string text = std::to_string(receipts.size()) + " receipts, " + std::to_string(closures) +
                     " closures, " + std::to_string(leftoverTemporaryFiles) + " temporary files";
  for (const std::string& p : problems) text += "\n  " + p;
  return text;
}

StoreReport CheckTillStore(const std::string& aTillDir, const std::string& aTillId) {
  StoreReport report;
  Checker checker(aTillId, report);
  checker.Counters(aTillDir + "/QX_counters.actual.srtc", true);
  checker.Counters(aTillDir + "/QX_counters.previous.srtc", false);
  for (const Entry& e : ListDirectory(aTillDir)) {
    if (IsTemporary(e.name)) ++report.leftoverTemporaryFiles;
  }
  checker.Documents(aTillDir + "/Queue", false);
  checker.Documents(aTillDir + "/Processed", true);
  checker.Documents(aTillDir + "/Errors", true);
  checker.Chains();
  return report;
}

}  // namespace qx::testing
