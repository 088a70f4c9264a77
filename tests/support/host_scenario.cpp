// The end-to-end host scenario fixture.
#include "support/host_scenario.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "manager/uRTServerManager.h"
#include "platform/files.h"
#include "platform/xml.h"

namespace qx::test {

void HostScenario::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qxhost.XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  root_ = pattern;
  previousDir_ = std::filesystem::current_path().string();
  // The host runs in a folder of its own, which the library leaves alone: its
  // logs go to the data root.
  std::filesystem::current_path(root_);
  setenv("QX_SRT_DB", (root_ + "/db").c_str(), 1);
  setenv("QX_PUSHER_PAUSE_MS", "20", 1);
  setenv("QX_QUEUE_WAIT_MS", "200", 1);
  if (!locale_.empty()) setenv("LC_ALL", locale_.c_str(), 1);
  server_ = std::make_unique<rtsim::Simulator>();
  server_->Start();
}

void HostScenario::TearDown() {
  library_.reset();
  if (server_) server_->Stop();
  server_.reset();
  if (!locale_.empty()) unsetenv("LC_ALL");
  std::filesystem::current_path(previousDir_);
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

HostLibrary& HostScenario::Library() {
  if (!library_) library_ = std::make_unique<HostLibrary>();
  return *library_;
}

void HostScenario::Unload() { library_.reset(); }

HostCall HostScenario::OpenTill(const std::string& aTillId) {
  return Library().Open(server_->BaseAddress(), server_->Port(), "user", "secret", aTillId);
}

std::string HostScenario::TillDir(const std::string& aTillId) const {
  return root_ + "/db/" + aTillId;
}

std::string HostScenario::QueueDir(const std::string& aTillId) const {
  return TillDir(aTillId) + "/Queue";
}

std::vector<std::string> HostScenario::FileNames(const std::string& aDir,
                                                 const std::string& aExtension) {
  std::vector<std::string> names;
  if (!DirectoryExists(aDir)) return names;
  for (const std::string& path : ListFiles(aDir, aExtension))
    names.push_back(ExtractFileName(path));
  std::sort(names.begin(), names.end());
  return names;
}

bool HostScenario::WaitForEmptyQueue(std::chrono::seconds aTimeout, const std::string& aTillId) {
  const auto deadline = std::chrono::steady_clock::now() + aTimeout;
  while (!FileNames(QueueDir(aTillId), ".srtd").empty()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::optional<std::string> HostScenario::FindDocument(const std::string& aName,
                                                      const std::string& aTillId) const {
  std::error_code error;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(TillDir(aTillId), error)) {
    // A queued document the delivery thread holds has its claimed name.
    if (entry.is_regular_file() && UnclaimedQueueFileName(entry.path().filename()) == aName) {
      return entry.path().string();
    }
  }
  return std::nullopt;
}

std::optional<std::string> HostScenario::FiledDocument(const std::string& aName,
                                                       const std::string& aTillId) {
  if (!WaitForEmptyQueue(std::chrono::seconds(60), aTillId)) return std::nullopt;
  return FindDocument(aName, aTillId);
}

size_t HostScenario::RequestCount(const std::string& aKind) const {
  size_t count = 0;
  for (const rtsim::RecordedRequest& request : server_->Requests()) count += request.kind == aKind;
  return count;
}

std::optional<std::string> ElementText(const std::string& aXml, const std::string& aName) {
  XmlDocument document;
  document.LoadXml(aXml);
  pugi::xml_node node =
      document.DocumentElement().Native().find_node([&](pugi::xml_node candidate) {
        return candidate.type() == pugi::node_element && aName == candidate.name();
      });
  if (!node) return std::nullopt;
  return std::string(node.text().get());
}

std::string ReadTestData(const std::string& aName) {
  return ReadFileBytes(std::string(QX_SOURCE_DIR) + "/tests/data/" + aName);
}

std::string SimpleReceipt(const std::string& aDocType, const std::string& aAmount) {
  const std::string docType = aDocType.empty() ? "" : " docType=\"" + aDocType + "\"";
  return "<printerFiscalReceipt><beginFiscalReceipt operator=\"1\"" + docType +
         "/><printRecItem operator=\"1\" description=\"ITEM\" quantity=\"1\" unitPrice=\"" +
         aAmount +
         "\" department=\"1\" vatID=\"1\"/><printRecTotal operator=\"1\" "
         "description=\"CASH\" payment=\"" +
         aAmount +
         "\" paymentType=\"0\"/>"
         "<endFiscalReceipt operator=\"1\"/></printerFiscalReceipt>";
}

}  // namespace qx::test
