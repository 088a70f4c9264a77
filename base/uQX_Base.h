// The application object: what the library sets up for itself in the host
// process — its log file beside the host executable, the host's /BATCH and
// /DEBUG switches, version information, named settings, a wait window, a
// message dictionary, single-instance locking and the notification-icon record.
//
// gApplication is the one process-wide instance. The core is a static library
// linked into the host library, the tools and the tests alike, so nothing is
// created behind anyone's back: the host library's load hook calls
// CreateApplication() and its unload hook, after stopping the queue pusher,
// calls DestroyApplication(), which writes out every queued log line and ends
// the log thread before returning. A program that links the core directly
// calls them itself or never has a gApplication.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/uQX_Base_Defs.h"
#include "base/uQX_Base_Format.h"
#include "base/uQX_Base_Info.h"
#include "base/uQX_Base_Setup.h"
#include "base/uQX_Base_Wait.h"
#include "log/uQX_LogWriter.h"

namespace qx {

// The process the library runs in: its executable and its arguments.
struct tQX_HostProcess {
  std::string executable;              // full path
  std::vector<std::string> arguments;  // after the program name

  // From /proc/self/exe and /proc/self/cmdline.
  static tQX_HostProcess Current();
  // The executable's directory with a trailing '/'.
  std::string Directory() const;
  // The executable's file name without directory and extension.
  std::string BaseName() const;
};

class tQX_Application {
 public:
  static constexpr char kSingleInstanceRefused[] = "Impossible to enter single instance mode.";

  // Creates the wait window and the settings, the log writer for
  // <host base name>.log in ApplicationLogDirectory (creating the directory),
  // reads /BATCH and /DEBUG, loads the version information and the messages.
  explicit tQX_Application(tQX_HostProcess host = tQX_HostProcess::Current());
  // Removes the notification icon, releases single-instance mode and destroys
  // the companions; the log writer first writes every queued line.
  ~tQX_Application();
  tQX_Application(const tQX_Application&) = delete;
  tQX_Application& operator=(const tQX_Application&) = delete;

  // The text of message |aMessageId| in Language, else in DefaultLanguage,
  // else "Message <id> not found", formatted with |aValues| (FormatText).
  // Raises when the placeholders do not fit the values.
  std::string GetMessage(std::string_view aMessageId) const;
  std::string GetMessage(std::string_view aMessageId,
                         const std::vector<tQX_FormatValue>& aValues) const;
  // Adds message lines "<id>.<language>:<text>" (the text ends at a second
  // colon). Blank lines are skipped; a key already present raises
  // "Duplicates not allowed" and the lines after it are not added.
  void AddMessages(std::string_view text);

  // Writes to the application log; an error also becomes LastError. Any thread.
  void Log(tQX_MessageType aEntryType, std::string_view aMessage);
  // Blocks until every line logged so far is in the file.
  void FlushLog();
  // Writes the queued log lines on the calling thread, without waiting.
  void WriteOutLogHere() noexcept;
  // A relative |aNewDir| is taken below ApplicationLogDirectory; an absolute
  // one as it is. Later lines go to the file there.
  void ChangeLogDirectory(std::string_view aNewDir);
  std::string GetLogDirectory() const;

  // Turning on takes an exclusive lock on "<base name>.lock" in
  // $XDG_RUNTIME_DIR (or /tmp) and keeps it; when another process holds it the
  // user is told "Impossible to enter single instance mode." and termination
  // is requested. Turning off releases it. Setting the current value does nothing.
  void AssignSingleInstance(bool value);

  // Fills the icon record for |aWindow| (callback message 1124, id 1, message
  // and icon flags) and marks the icon as shown.
  void CreateNotifyIcon(uintptr_t aWindow);
  // Clears the record's flags and marks the icon as removed, if shown.
  void DeleteNotifyIcon();

  // Handles pending window events, waits half a second, then requests termination.
  void Terminate();
  // Whether termination was requested; the host decides what to do with it.
  bool Terminated() const { return fTerminated.load(); }

  // In batch mode logs |message| as an error; otherwise shows a modal message
  // box, or, without a display, logs it and writes it to standard error.
  void ShowOrLogMessage(tQX_MessageType kind, std::string_view message);
  // As ShowOrLogMessage, with the wait window hidden meanwhile.
  void UserMessage(tQX_MessageType kind, std::string_view message);

  tQX_Setup& Setup() { return *fSetup; }
  tQX_Wait& Wait() { return *fWait; }
  const tQX_NotifyIconData& IconData() const { return fIconData; }
  void SetIconData(const tQX_NotifyIconData& value) { fIconData = value; }
  bool NotifyIcon() const { return fNotifyIcon; }
  void SetNotifyIcon(bool value) { fNotifyIcon = value; }
  bool HideOnMinimize() const { return fHideOnMinimize; }
  void SetHideOnMinimize(bool value) { fHideOnMinimize = value; }
  std::string LastError() const;
  bool IsBatch() const { return fIsBatch; }
  bool IsDebug() const { return fIsDebug; }
  bool SingleInstance() const { return fSingleInstance; }
  const std::string& DefaultLanguage() const { return fDefaultLanguage; }
  void SetDefaultLanguage(std::string value) { fDefaultLanguage = std::move(value); }
  const std::string& Language() const { return fLanguage; }
  void SetLanguage(std::string value) { fLanguage = std::move(value); }
  tQX_ApplicationInfo& Info() { return *fInfo; }
  void SetInfo(std::unique_ptr<tQX_ApplicationInfo> value) { fInfo = std::move(value); }
  const tQX_HostProcess& Host() const { return fHost; }
  // The lock file single-instance mode uses.
  std::string SingleInstanceLockPath() const;

 private:
  // Fills the dictionary from the library's raw-data resource of that name;
  // leaves it unchanged when there is none.
  void LoadMessages(std::string_view resourceName);
  void ReleaseSingleInstance();

  const tQX_HostProcess fHost;
  std::unique_ptr<tQX_Setup> fSetup;
  std::unique_ptr<tQX_Wait> fWait;
  tQX_NotifyIconData fIconData;
  bool fNotifyIcon = false;
  bool fHideOnMinimize = false;
  std::unique_ptr<tQX_LogWriter> fLogger;
  mutable std::mutex fLastErrorLock;  // Log may be called from any thread
  std::string fLastError;             // guarded by fLastErrorLock
  bool fIsBatch = false;
  bool fIsDebug = false;
  bool fSingleInstance = false;
  intptr_t fSingleInstanceLock = -1;  // the held single-instance claim, or -1
  std::string fDefaultLanguage;
  std::string fLanguage;
  std::map<std::string, std::string> fMessages;
  std::unique_ptr<tQX_ApplicationInfo> fInfo;
  std::atomic<bool> fTerminated{false};
};

// The process-wide application object; null until CreateApplication. A plain
// pointer on purpose: a static smart pointer would be destroyed by the exit
// handlers of a host that exits without unloading the library, before the
// library's unload step; only DestroyApplication frees the object.
extern tQX_Application* gApplication;

// Creates gApplication for the current process unless it exists. A failure is
// written to standard error and leaves gApplication null; false then.
bool CreateApplication() noexcept;
// Destroys gApplication: every queued log line is written and the log thread
// has ended when this returns.
void DestroyApplication() noexcept;
// Blocks until every line logged to the application log so far is written.
void DrainApplicationLog() noexcept;

// The host executable's directory with a trailing '/'.
std::string GetAppDirectory();
// The host executable's file name without directory and extension.
std::string GetAppBaseName();
// Looks for the switch |name| among the host's arguments (after the program
// name): an argument matches when, in lower case, it equals the name or
// starts with the name followed by ':' or '='. The first match gives the whole
// argument (|whole|) or what follows the ':' or '='; no match gives "".
std::string FindCommandLineSwitch(std::string_view name, bool whole);
std::string FindCommandLineSwitch(const std::vector<std::string>& arguments, std::string_view name,
                                  bool whole);
// Field |index| (from 1) of |text| split at |separator|, or with |toEnd|
// everything from that field's start to the end; "" when there are fewer fields.
std::string GetField(std::string_view text, int index, char separator, bool toEnd);
// gApplication's ShowOrLogMessage and UserMessage; without gApplication a
// message box, or standard error when there is no display.
void ShowOrLogMessage(tQX_MessageType kind, std::string_view message);
void UserMessage(tQX_MessageType kind, std::string_view message);

}  // namespace qx
