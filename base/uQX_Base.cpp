// The application object and the process-wide gApplication.
#include "base/uQX_Base.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>
#include <utility>

#include "base/uQX_Base_MessageBox.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/logfile.h"
#include "platform/process.h"
#include "platform/strings.h"

namespace qx {

tQX_Application* gApplication = nullptr;

namespace {

// The library's raw-data resources by name. It carries none: the message
// dictionary starts empty and is filled by AddMessages when wanted.
std::optional<std::string_view> FindRawResource(std::string_view /*name*/) { return std::nullopt; }

void WriteToStandardError(tQX_MessageType kind, std::string_view message) {
  const std::string line =
      std::string(kind == let_error ? "Error: " : "") + std::string(message) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

tQX_Application::tQX_Application(tQX_HostProcess host) : fHost(std::move(host)) {
  fWait = std::make_unique<tQX_Wait>();
  fSetup = std::make_unique<tQX_Setup>();
  fLogger = std::make_unique<tQX_LogWriter>(fHost.BaseName(),
                                            ApplicationLogDirectory(fHost.Directory()), 0, false);
  fIsBatch = !FindCommandLineSwitch(fHost.arguments, "/BATCH", true).empty();
  fIsDebug = !FindCommandLineSwitch(fHost.arguments, "/DEBUG", true).empty();
  fInfo = std::make_unique<tQX_ApplicationInfo>();
  fInfo->Load();
  LoadMessages("MESSAGES");
}

tQX_Application::~tQX_Application() {
  DeleteNotifyIcon();
  ReleaseSingleInstance();
  fSetup.reset();
  fLogger.reset();  // writes out the queued lines first
  fWait.reset();
  fMessages.clear();
  fInfo.reset();
}

void tQX_Application::LoadMessages(std::string_view resourceName) {
  const std::optional<std::string_view> resource = FindRawResource(resourceName);
  if (!resource) return;
  AddMessages(*resource);
}

void tQX_Application::AddMessages(std::string_view text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + ((end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ? 2 : 1);
    if (line.empty()) continue;
    const std::string key = GetField(line, 1, ':', false);
    if (!fMessages.emplace(key, GetField(line, 2, ':', false)).second) {
      throw Error("Duplicates not allowed");
    }
  }
}

std::string tQX_Application::GetMessage(std::string_view aMessageId) const {
  return GetMessage(aMessageId, {});
}

std::string tQX_Application::GetMessage(std::string_view aMessageId,
                                        const std::vector<tQX_FormatValue>& aValues) const {
  const std::string id(aMessageId);
  std::string text;
  if (auto it = fMessages.find(id + "." + fLanguage); it != fMessages.end()) {
    text = it->second;
  } else if (auto fallback = fMessages.find(id + "." + fDefaultLanguage);
             fallback != fMessages.end()) {
    text = fallback->second;
  } else {
    text = "Message " + id + " not found";
  }
  return FormatText(text, aValues);
}

void tQX_Application::Log(tQX_MessageType aEntryType, std::string_view aMessage) {
  if (aEntryType == let_error) {
    std::lock_guard<std::mutex> guard(fLastErrorLock);
    fLastError = aMessage;
  }
  fLogger->Write(aEntryType, aMessage);
}

void tQX_Application::FlushLog() { fLogger->Flush(); }

void tQX_Application::WriteOutLogHere() noexcept {
  if (fLogger) fLogger->WriteOutHere();
}

std::string tQX_Application::LastError() const {
  std::lock_guard<std::mutex> guard(fLastErrorLock);
  return fLastError;
}

std::string tQX_Application::GetLogDirectory() const { return fLogger->Directory(); }

void tQX_Application::ChangeLogDirectory(std::string_view aNewDir) {
  if (StartsWith(aNewDir, "/")) {
    fLogger->AssignDirectory(aNewDir);
  } else {
    fLogger->AssignDirectory(JoinPath(ApplicationLogDirectory(fHost.Directory()), aNewDir));
  }
}

std::string tQX_Application::SingleInstanceLockPath() const {
  return InstanceClaimName(fHost.BaseName());
}

void tQX_Application::AssignSingleInstance(bool value) {
  if (value == fSingleInstance) return;
  fSingleInstance = value;
  if (!value) {
    ReleaseSingleInstance();
    return;
  }
  fSingleInstanceLock = ClaimInstance(SingleInstanceLockPath());
  if (fSingleInstanceLock != kNoInstanceClaim) return;
  UserMessage(let_error, kSingleInstanceRefused);
  fTerminated.store(true);
}

void tQX_Application::ReleaseSingleInstance() {
  ReleaseInstance(std::exchange(fSingleInstanceLock, kNoInstanceClaim));
}

void tQX_Application::CreateNotifyIcon(uintptr_t aWindow) {
  fIconData = tQX_NotifyIconData{};
  fIconData.cbSize = sizeof(tQX_NotifyIconData);
  fIconData.hWnd = aWindow;
  fIconData.uCallbackMessage = kNotifyIconCallbackMessage;
  fIconData.uID = 1;
  fIconData.hIcon = 0;  // the library has no application icon of its own
  fIconData.uFlags = kNifMessage | kNifIcon;
  fNotifyIcon = true;
}

void tQX_Application::DeleteNotifyIcon() {
  if (!fNotifyIcon) return;
  fIconData.uFlags = 0;
  fNotifyIcon = false;
}

void tQX_Application::Terminate() {
  fWait->ProcessMessages();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  fTerminated.store(true);
}

void tQX_Application::ShowOrLogMessage(tQX_MessageType kind, std::string_view message) {
  if (fIsBatch) {
    Log(let_error, message);
    return;
  }
  if (ShowMessageBox(kind, message)) return;
  Log(kind, message);
  WriteToStandardError(kind, message);
}

void tQX_Application::UserMessage(tQX_MessageType kind, std::string_view message) {
  const bool shown = fWait->Started();
  if (shown) fWait->Stop();
  ShowOrLogMessage(kind, message);
  if (shown) fWait->Start();
}

bool CreateApplication() noexcept {
  if (gApplication) return true;
  try {
    gApplication = std::make_unique<tQX_Application>().release();
    return true;
  } catch (const std::exception& e) {
    WriteToStandardError(let_error, std::string("Application start failed: ") + e.what());
  } catch (...) {
    WriteToStandardError(let_error, "Application start failed");
  }
  return false;
}

void DestroyApplication() noexcept { delete std::exchange(gApplication, nullptr); }

void DrainApplicationLog() noexcept {
  if (gApplication) gApplication->FlushLog();
}

void ShowOrLogMessage(tQX_MessageType kind, std::string_view message) {
  if (gApplication) {
    gApplication->ShowOrLogMessage(kind, message);
  } else if (!ShowMessageBox(kind, message)) {
    WriteToStandardError(kind, message);
  }
}

void UserMessage(tQX_MessageType kind, std::string_view message) {
  if (gApplication) {
    gApplication->UserMessage(kind, message);
  } else {
    ShowOrLogMessage(kind, message);
  }
}

}  // namespace qx
