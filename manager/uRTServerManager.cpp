// The till manager's core: construction, configuration, the data store's
// layout, the error list, the queue listings, the forwarding operations and
// the two local caches (receipt header lines and VAT map).
#include "manager/uRTServerManager.h"

#include <cstdlib>
#include <mutex>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/logfile.h"
#include "platform/process.h"
#include "platform/strings.h"
#include "rtserver/uRTSEPS20_Info.h"
#include "rtserver/uRTSEPS20_VATMap.h"

namespace qx {

namespace {

constexpr char kHeadersCacheName[] = "headers.srth";
constexpr char kVatMapCacheName[] = "vatmap.srtv";
// The file in the till directory whose lock marks the store's one owner; it
// holds the owner's process id.
constexpr char kOwnerLockName[] = "QX_owner.lock";
constexpr int64_t kDefaultQueueWaitMillis = 5000;

// Splits a text into lines at CR LF, LF or CR; a final break adds no line.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace

void CheckPathComponent(const std::string& aName) {
  CheckPathCharacters(aName);
  if (aName == "." || aName == ".." || aName.find_first_of("/\\") != std::string::npos) {
    throw Error("Invalid characters in path");
  }
}

void CheckTillId(const std::string& aTillId) {
  CheckPathComponent(aTillId);
  const std::string problem = FolderNameProblem(aTillId);
  if (!problem.empty()) {
    throw Error("Till id \"" + aTillId + "\" cannot name a folder on this system: " + problem);
  }
  const std::string logFolder = DataRootLogFolder();
  if (!logFolder.empty() && EqualsIgnoreCase(aTillId, logFolder)) {
    throw Error("Till id " + aTillId + " is reserved: the folder " + logFolder +
                " of the data root holds the logs");
  }
}

std::string RTSQueueFileName(const std::string& aTillId, int32_t aZRepNumber, int32_t aNRecNumber) {
  CheckPathComponent(aTillId);
  return aTillId + "-" + FormatNumber0000(aZRepNumber) + "-" + FormatNumber0000(aNRecNumber) +
         ".srtd";
}

namespace {
constexpr std::string_view kClaimMark = ".sending";
constexpr size_t kExtensionLength = 5;  // ".srtd"
}  // namespace

std::string ClaimedQueueFileName(const std::string& aQueueFileName) {
  if (aQueueFileName.size() < kExtensionLength) return aQueueFileName + std::string(kClaimMark);
  const size_t extension = aQueueFileName.size() - kExtensionLength;
  return aQueueFileName.substr(0, extension) + std::string(kClaimMark) +
         aQueueFileName.substr(extension);
}

bool IsClaimedQueueFileName(std::string_view aFileName) {
  const size_t marked = kClaimMark.size() + kExtensionLength;
  return aFileName.size() > marked &&
         aFileName.substr(aFileName.size() - marked, kClaimMark.size()) == kClaimMark;
}

std::string UnclaimedQueueFileName(const std::string& aFileName) {
  if (!IsClaimedQueueFileName(aFileName)) return aFileName;
  const size_t extension = aFileName.size() - kExtensionLength;
  return aFileName.substr(0, extension - kClaimMark.size()) + aFileName.substr(extension);
}

std::optional<QueuedDocumentKey> ParseQueueFileName(std::string_view aFileName) {
  if (!EndsWithIgnoreCase(aFileName, ".srtd")) return std::nullopt;
  std::string_view stem = aFileName.substr(0, aFileName.size() - kExtensionLength);
  if (IsClaimedQueueFileName(aFileName)) stem.remove_suffix(kClaimMark.size());
  const size_t last = stem.rfind('-');
  if (last == std::string_view::npos || last == 0) return std::nullopt;
  const size_t middle = stem.rfind('-', last - 1);
  if (middle == std::string_view::npos || middle == 0) return std::nullopt;
  QueuedDocumentKey key;
  key.tillId = stem.substr(0, middle);
  if (!TryStrToInt(stem.substr(middle + 1, last - middle - 1), key.zRepNumber) ||
      !TryStrToInt(stem.substr(last + 1), key.number)) {
    return std::nullopt;
  }
  return key;
}

void QueueDocument(const std::string& aPath, const std::string& aLine) {
  // The delivery thread claims only a file that is there, so a claimed twin
  // checked before the write cannot appear once the write has succeeded.
  const std::string claimed = ClaimedQueueFileName(aPath);
  if (FileExists(claimed)) throw Error("File already exists \"" + claimed + "\"");
  WriteTextLinesNoReplace(aPath, {aLine});
}

kRTSManager::kRTSManager()
    : fActualCounters(std::make_unique<kRTSCounters>()),
      fPreviousCounters(std::make_unique<kRTSCounters>()) {
  fActualCounters->SetCounterType(ctActual);
  fPreviousCounters->SetCounterType(ctPrevious);
  SetServer(std::make_unique<kEPSRTServer>());
}

// The queue pusher must be stopped before anything it uses goes; then the
// owned objects are freed in the order: counters, error list, server client.
kRTSManager::~kRTSManager() {
  StopPusher();
  fActualCounters.reset();
  fPreviousCounters.reset();
  fErrors.clear();
  fServer.reset();
}

std::string kRTSManager::DefaultDataRootDir() {
  const std::string root = EnvironmentText("QX_SRT_DB");
  return root.empty() ? SystemDataRoot() : root;
}

int64_t kRTSManager::QueueWaitMillis() {
  const std::string text = EnvironmentText("QX_QUEUE_WAIT_MS");
  if (text.empty()) return kDefaultQueueWaitMillis;
  int32_t value = 0;
  return TryStrToInt(text, value) && value >= 0 ? value : kDefaultQueueWaitMillis;
}

// A running pusher delivers one till's queue to one server. When an opening
// names another till or another server, the pusher is stopped before either
// changes (a submission in progress ends first) and started again on the new
// ones: no document of one till reaches the server named for another, and the
// earlier till's documents wait in its own queue until it is opened again.
//
// The till's store has one owner: its lock is taken before anything of the
// store is touched, and the lock of a till left behind is handed back only
// once its pusher has stopped.
bool kRTSManager::Init(const std::string& aDataRootDir, const std::string& aAddress, int32_t aPort,
                       const std::string& aUser, const std::string& aPassword,
                       const std::string& aTillId) {
  const bool retarget =
      fPusher != nullptr && !Targets(aDataRootDir, aAddress, aPort, aUser, aPassword, aTillId);
  std::unique_ptr<OwnerLock> taken = TakeStore(aDataRootDir, aTillId);
  if (retarget) StopPusher();
  if (taken) fOwnerLock = std::move(taken);
  SetupDataDirectories(aDataRootDir, aTillId);
  fServer->Setup(aAddress, aPort, aUser, aPassword);
  fTillId = aTillId;
  // The receipt header lines and the VAT map belong to one till and its
  // server: another till or server fetches (or reads from its own store)
  // its own.
  const std::string cachesOwner = fDataTillDir + "\n" + aAddress + "\n" + std::to_string(aPort);
  if (cachesOwner != fCachesOwner) {
    std::lock_guard<std::recursive_mutex> hold(fServer->Lock());
    ServerInfo().Headers().clear();
    VATMap().VATs().clear();
    fCachesOwner = cachesOwner;
  }
  if (retarget) StartPusher();
  return true;
}

std::unique_ptr<OwnerLock> kRTSManager::TakeStore(const std::string& aDataRootDir,
                                                  const std::string& aTillId) {
  const std::string root = aDataRootDir.empty() ? DefaultDataRootDir() : aDataRootDir;
  CheckPathCharacters(root);
  CheckTillId(aTillId);
  const std::string tillDir = JoinPath(root, aTillId);
  // Where the file system ignores case, "t01" would open the folder of till
  // "T01": two tills at the server sharing one store.
  const std::string stored = aTillId.empty() ? std::string() : StoredName(tillDir);
  if (!stored.empty() && stored != aTillId) {
    throw Error("Till id " + aTillId + " names the folder of till " + stored + " on this system");
  }
  const std::string lockPath = JoinPath(tillDir, kOwnerLockName);
  if (fOwnerLock && fOwnerLock->Path() == lockPath) return nullptr;  // held already
  std::string failure;
  if (!ForceDirectories(tillDir, &failure)) throw Error(failure);
  std::string holder;
  std::unique_ptr<OwnerLock> lock = OwnerLock::TryTake(lockPath, holder);
  if (!lock) {
    throw Error("Till " + aTillId + " is in use by process " + holder + " (its data store \"" +
                tillDir + "\" is locked)");
  }
  return lock;
}

void kRTSManager::RemoveLeftovers() const {
  // Written by a process that was cut short: a temporary file of an atomic
  // write, or a receipt taken back whose removal did not happen. Neither is
  // listed as queued; both are removed under the owner's lock, where no
  // write of another process can be in flight.
  for (const std::string* dir : {&fDataTillDir, &fDataQueueDir, &fJournalDir}) {
    std::vector<std::string> leftovers;
    try {
      leftovers = ListFiles(*dir, ".tmp");
      if (dir == &fDataQueueDir) {
        for (const std::string& file : ListFiles(*dir, ".withdrawn")) leftovers.push_back(file);
      }
    } catch (const Error&) {
      continue;  // a folder that cannot be listed shows up where it matters
    }
    for (const std::string& file : leftovers) {
      const std::string name = ExtractFileName(file);
      if (EndsWithIgnoreCase(name, ".tmp") && !StartsWith(name, ".")) continue;  // not ours
      DeleteFile(file);
    }
  }
}

bool kRTSManager::Targets(const std::string& aDataRootDir, const std::string& aAddress,
                          int32_t aPort, const std::string& aUser, const std::string& aPassword,
                          const std::string& aTillId) const {
  // Raises, before a running pusher is touched, for a root or till id that
  // the data store's layout refuses.
  const std::string root = aDataRootDir.empty() ? DefaultDataRootDir() : aDataRootDir;
  CheckPathCharacters(root);
  CheckTillId(aTillId);
  if (JoinPath(JoinPath(root, aTillId), "Queue") != fDataQueueDir) return false;
  std::lock_guard<std::recursive_mutex> hold(fServer->Lock());
  const kEPSRTServer_Setup& setup = fServer->SetupInfo();
  // A port of 0 is turned into the scheme's own by the first request.
  const int32_t schemePort = StartsWithIgnoreCase(aAddress, "https://") ? 443 : 80;
  const bool samePort = setup.Port() == aPort || (aPort == 0 && setup.Port() == schemePort);
  return setup.BaseAddress() == aAddress && samePort && setup.User() == aUser &&
         setup.Password() == aPassword;
}

bool kRTSManager::Setup(const std::string& aAddress, int32_t aPort, const std::string& aUser,
                        const std::string& aPassword) {
  return fServer->Setup(aAddress, aPort, aUser, aPassword);
}

// Every path is computed (and so validated) before any field changes or any
// directory is created: a till id that is not a single path component would
// otherwise put the store outside the data root.
void kRTSManager::SetupDataDirectories(const std::string& aDataRootDir,
                                       const std::string& aTillId) {
  const std::string root = aDataRootDir.empty() ? DefaultDataRootDir() : aDataRootDir;
  CheckPathCharacters(root);
  CheckTillId(aTillId);
  const std::string tillDir = JoinPath(root, aTillId);
  const std::string queueDir = JoinPath(tillDir, "Queue");
  const std::string processedDir = JoinPath(tillDir, "Processed");
  const std::string errorsDir = JoinPath(tillDir, "Errors");
  const std::string journalDir = JoinPath(tillDir, "Journal");

  fDataRootDir = root;
  fDataTillDir = tillDir;
  // Assigned directly: a running pusher keeps the directories it started
  // with; only the setters reach it.
  fDataQueueDir = queueDir;
  fDataProcessedDir = processedDir;
  fDataErrorsDir = errorsDir;
  fJournalDir = journalDir;

  // A directory that cannot be created shows up at the first write into it.
  for (const std::string* dir :
       {&fDataTillDir, &fDataQueueDir, &fDataProcessedDir, &fDataErrorsDir, &fJournalDir}) {
    ForceDirectories(*dir);
  }

  fActualCountersFullFileName = JoinPath(fDataTillDir, "QX_counters.actual.srtc");
  fPreviousCountersFullFileName = JoinPath(fDataTillDir, "QX_counters.previous.srtc");
}

std::string kRTSManager::LastError() const {
  return fErrors.empty() ? std::string() : fErrors.back();
}

std::vector<std::string> kRTSManager::GetQueuedFiles() const {
  return ListFiles(fDataQueueDir, ".srtd");
}

std::vector<std::string> kRTSManager::GetErrorsFiles() const {
  return ListFiles(fDataErrorsDir, ".srtd");
}

int32_t kRTSManager::DataQueueLength() const {
  return static_cast<int32_t>(GetQueuedFiles().size());
}

int32_t kRTSManager::DataErrorLength() const {
  return static_cast<int32_t>(GetErrorsFiles().size());
}

bool kRTSManager::LoadServerInfo() { return fServer->GetServerInfo(); }
bool kRTSManager::LoadServerHeaders() { return fServer->GetServerHeaders(); }
bool kRTSManager::LoadTillMap() { return fServer->GetTillMap(); }
bool kRTSManager::LoadServerDateTime() { return fServer->GetDateTime(); }
bool kRTSManager::LoadServerZRep() { return fServer->GetZRepNumber(); }
bool kRTSManager::LoadVatMap() { return fServer->GetVATMap(); }
bool kRTSManager::PrintServerZReport() { return fServer->PrintServerZReport(); }
bool kRTSManager::LoadActualTillZRep() {
  std::lock_guard<std::recursive_mutex> hold(fServer->Lock());
  if (fServer->GetTillCurrentZReport(fTillId)) return true;
  const std::string& message = fServer->LastError();
  AddError(message.empty() ? std::string("RT Server request failed") : message);
  return false;
}
bool kRTSManager::LoadHistoricTillZRep(int32_t aZRepNumber) {
  return fServer->GetTillHistoricZReport(fTillId, aZRepNumber);
}

bool kRTSManager::SaveHeadersCache() {
  const std::vector<std::string>& headers = ServerInfo().Headers();
  if (headers.empty()) return false;
  WriteTextLinesAtomic(JoinPath(fDataTillDir, kHeadersCacheName), headers);
  return true;
}

bool kRTSManager::LoadHeadersCache() {
  const std::string path = JoinPath(fDataTillDir, kHeadersCacheName);
  if (!FileExists(path)) return false;
  ServerInfo().Headers() = ReadTextLines(path);
  return true;
}

bool kRTSManager::SaveVatMapCache() {
  WriteTextLinesAtomic(JoinPath(fDataTillDir, kVatMapCacheName), SplitLines(VATMap().Serialize()));
  return true;
}

bool kRTSManager::LoadVatMapCache() {
  const std::string path = JoinPath(fDataTillDir, kVatMapCacheName);
  if (!FileExists(path)) return false;
  std::string text;
  for (const std::string& line : ReadTextLines(path)) text += line + "\r\n";
  std::string problem;
  try {
    if (VATMap().Deserialize(text)) return true;
    problem = "no VAT department in it";
  } catch (const Error& e) {
    problem = e.what();
  }
  // Not the same as no copy at all: the file must be replaced.
  throw Error("VAT map cache \"" + path + "\" is damaged (" + problem +
              "): remove it and let the till fetch the VAT map from the server again");
}

}  // namespace qx
