// The library's exported entry points (OPENTILL, SIGNRECEIPT, CLOSETILL,
// XREPORT), the single till manager behind them, and the load and unload
// hooks. Strings are converted at this boundary only; no exception leaves it.
#include "include/QXRS_VURUV90_20.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "base/uQX_Base.h"
#include "host/QXRS_VURUV90_20_Results.h"
#include "host/QXRS_VURUV90_20_Strings.h"
#include "manager/uRTServerManager.h"
#include "platform/currency.h"
#include "platform/error.h"
#include "platform/http.h"
#include "platform/process.h"

namespace qx {
namespace {

constexpr int32_t kSuccess = 0;
constexpr int32_t kFailure = -1;
// SIGNRECEIPT's failure: a 16-bit -1 widened with zeros.
constexpr int32_t kSignFailure = 0xFFFF;
constexpr char kTillClosed[] = "TILL IS CLOSED";

// The process-wide till manager: created by the first OPENTILL, kept until
// the library is unloaded. A plain pointer on purpose: a static smart pointer
// would be destroyed by the exit handlers before the unload step runs when a
// host exits without dlclose, leaving that step a dangling manager. The unload
// step alone frees it.
kRTSManager* gManager = nullptr;

// Held by every entry point for the whole call: the till manager, its store
// and its counters serve one call at a time, so a host that calls from two
// threads at once gets its calls one after the other, in the order they take
// the lock, instead of two receipts with one number.
//
// A gate rather than a plain mutex so that the unload step can give up after
// a bounded wait.
class EntryGate {
 public:
  // Waits until no call is inside; false when |aLimit| passed first.
  bool Enter(std::chrono::milliseconds aLimit) {
    std::unique_lock<std::mutex> lock(fLock);
    if (!fLeft.wait_for(lock, aLimit, [this] { return !fBusy; })) return false;
    fBusy = true;
    return true;
  }
  void Enter() {
    std::unique_lock<std::mutex> lock(fLock);
    fLeft.wait(lock, [this] { return !fBusy; });
    fBusy = true;
  }
  void Leave() {
    {
      std::lock_guard<std::mutex> lock(fLock);
      fBusy = false;
    }
    fLeft.notify_one();
  }

 private:
  std::mutex fLock;
  std::condition_variable fLeft;
  bool fBusy = false;
};

// Never destroyed, like the manager: the exit handlers run before the unload
// step, which still needs the gate. It lives in the library's own storage
// rather than on the heap, so an unloaded library leaves nothing behind.
EntryGate& Gate() {
  alignas(EntryGate) static unsigned char storage[sizeof(EntryGate)];
  static EntryGate* const gate = new (storage) EntryGate();
  return *gate;
}

// Holds the gate for one entry point call.
struct InsideEntry {
  InsideEntry() { Gate().Enter(); }
  ~InsideEntry() { Gate().Leave(); }
  InsideEntry(const InsideEntry&) = delete;
  InsideEntry& operator=(const InsideEntry&) = delete;
};

// What an entry point hands back, before conversion to the host's strings.
struct Outcome {
  bool ok = false;
  std::string error;
  std::optional<std::string> result;
};

Outcome Failed(std::string aError) { return Outcome{false, std::move(aError), std::nullopt}; }
Outcome Succeeded(std::optional<std::string> aResult = std::nullopt) {
  return Outcome{true, std::string(), std::move(aResult)};
}

std::string MessageOf(const std::exception_ptr& aError) {
  try {
    std::rethrow_exception(aError);
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "Unknown error";
  }
}

// Runs |aBody| and stores its outcome in the host's variables: the result
// document (when |aResult| is given and there is one) and the error text
// (null when empty). A raised error becomes a failure with its message.
// Returns the success flag.
template <typename Body>
bool Deliver(Body&& aBody, BSTR* aResult, BSTR* aError) {
  const InsideEntry serialise;
  Outcome outcome;
  try {
    outcome = aBody();
  } catch (...) {
    outcome.ok = false;
    outcome.result.reset();
    try {
      outcome.error = MessageOf(std::current_exception());
    } catch (...) {  // no memory even for the message
    }
  }
  try {
    if (aResult != nullptr && outcome.result) *aResult = ToBstr(*outcome.result);
    if (!outcome.error.empty()) *aError = ToBstr(outcome.error);
  } catch (...) {
    // Out of memory for the outputs: hand back nothing but the failure.
    if (aResult != nullptr) {
      SysFreeString(*aResult);
      *aResult = nullptr;
    }
    return false;
  }
  return outcome.ok;
}

// The application log says why an opening failed, down to the server's own
// answer (an HTTP status and reason, a refused certificate, no connection).
void LogOpeningFailure(const kRTSManager& aManager, const std::string& aError) {
  if (gApplication == nullptr) return;
  std::string message = "OPENTILL failed: " + aError;
  const std::string& server = aManager.Server().LastError();
  if (!server.empty()) message += " (server: " + server + ")";
  gApplication->Log(let_error, message);
}

Outcome OpenTill(const std::string& aAddress, int32_t aPort, const std::string& aUser,
                 const std::string& aPassword, const std::string& aTillId) {
  if (!gManager) {
    auto manager = std::make_unique<kRTSManager>();
    manager->Init("", aAddress, aPort, aUser, aPassword, aTillId);
    gManager = manager.release();
  }
  if (!gManager->PusherRunning()) gManager->StartPusher();
  try {
    if (gManager->DayOpen("", aAddress, aPort, aUser, aPassword, aTillId)) return Succeeded();
  } catch (...) {
    LogOpeningFailure(*gManager, MessageOf(std::current_exception()));
    throw;
  }
  LogOpeningFailure(*gManager, gManager->LastError());
  return Failed(gManager->LastError());
}

// |aRefusal|, when not empty, refuses the text before it reaches the manager.
Outcome SignReceipt(const std::string& aXmlReceipt, const std::string& aRefusal = {}) {
  if (!gManager) return Failed(kTillClosed);
  Outcome outcome;
  try {
    if (!aRefusal.empty()) throw qx::Error(aRefusal);
    outcome.ok = gManager->ProcessReceipt(aXmlReceipt);
    if (!outcome.ok) outcome.error = gManager->LastError();
  } catch (...) {
    outcome = Failed(MessageOf(std::current_exception()));
  }
  // The document is returned on failure as well, with the values of before.
  outcome.result = SignResultDocument(*gManager, outcome.ok);
  return outcome;
}

Outcome CloseTill() {
  if (!gManager) return Failed(kTillClosed);
  // Differences found by the closing stay in the error list; they are not
  // the host's failure.
  if (!gManager->DayClose()) return Failed(gManager->LastError());
  return Succeeded(DayResultDocument(gManager->PreviousCounters()));
}

Outcome XReport() {
  if (!gManager) return Failed(kTillClosed);
  Outcome outcome;
  try {
    // The report itself is not shown; a failed request only sets the result.
    outcome.ok = gManager->LoadActualTillZRep();
    if (!outcome.ok) outcome.error = gManager->LastError();
  } catch (...) {
    outcome = Failed(MessageOf(std::current_exception()));
  }
  // The running figures are returned whether or not the server answered.
  outcome.result = DayResultDocument(gManager->ActualCounters());
  return outcome;
}

// The library's start: the user's locale is read once, here, and the
// application object (its log beside the host executable) is created.
__attribute__((constructor)) void LoadLibrary() {
  try {
    LocaleDecimalSeparator();
  } catch (...) {
  }
  CreateApplication();
}

// The library's end: the pusher is stopped (its pause interrupted) and the
// logs are written out, the application's last, so that no thread of the
// library outlives dlclose.
__attribute__((destructor)) void UnloadLibrary() {
  // Where this step runs under a lock the threads need to end, it must not
  // wait for them. There the threads hold the library while they run, so
  // this step comes at the end of the process, which has ended them: the
  // document a delivery was sending stays queued for the next start, and the
  // log lines still queued are written here when no thread held them.
  if (!UnloadMayWaitForThreads()) {
    if (gManager) gManager->WriteOutPusherLogHere();
    if (gApplication) gApplication->WriteOutLogHere();
    return;
  }
  // A call still running on another thread (a host that unloads or exits
  // meanwhile) keeps what it uses; the end of the process takes it. Its
  // server exchange ends by its deadline, so the wait is bounded.
  if (!Gate().Enter(std::chrono::milliseconds(HttpDeadlineMillis() + 1000))) return;
  try {
    if (gManager) {
      gManager->StopPusher();
      delete gManager;
      gManager = nullptr;
    }
  } catch (...) {
  }
  Gate().Leave();
  DestroyApplication();
}

}  // namespace
}  // namespace qx

extern "C" {

int32_t QXRS_CALL OPENTILL(BSTR aAddress, int32_t aPort, BSTR aUser, BSTR aPassword, BSTR aTillId,
                           BSTR* aError) {
  using namespace qx;
  if (aError == nullptr) return kFailure;
  *aError = nullptr;
  const bool ok = Deliver(
      [&] {
        return OpenTill(FromBstr(aAddress), aPort, FromBstr(aUser), FromBstr(aPassword),
                        FromBstr(aTillId));
      },
      nullptr, aError);
  return ok ? kSuccess : kFailure;
}

int32_t QXRS_CALL SIGNRECEIPT(BSTR aXmlReceipt, BSTR* aResult, BSTR* aError) {
  using namespace qx;
  if (aResult == nullptr || aError == nullptr) return kSignFailure;
  *aResult = nullptr;
  *aError = nullptr;
  const bool ok = Deliver(
      [&] { return SignReceipt(FromBstr(aXmlReceipt), UnpairedSurrogateProblem(aXmlReceipt)); },
      aResult, aError);
  return ok ? kSuccess : kSignFailure;
}

int32_t QXRS_CALL CLOSETILL(BSTR* aResult, BSTR* aError) {
  using namespace qx;
  if (aResult == nullptr || aError == nullptr) return kFailure;
  *aResult = nullptr;
  *aError = nullptr;
  return Deliver(CloseTill, aResult, aError) ? kSuccess : kFailure;
}

int32_t QXRS_CALL XREPORT(BSTR* aResult, BSTR* aError) {
  using namespace qx;
  if (aResult == nullptr || aError == nullptr) return kFailure;
  *aResult = nullptr;
  *aError = nullptr;
  return Deliver(XReport, aResult, aError) ? kSuccess : kFailure;
}

}  // extern "C"
