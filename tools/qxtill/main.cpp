// qxtill's command line: the table of steps and the run that executes them in
// order, stopping at the first failure. A new step is one entry in kSteps.
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "platform/process.h"
#include "tools/qxtill/qxtill.h"
#include "tools/qxtill/status.h"

namespace qx::qxtill {
namespace {

constexpr int kVariadic = -1;

struct StepEntry {
  const char* name;
  const char* synopsis;
  int minArgs;
  int maxArgs;  // kVariadic: any number from minArgs on
  StepFunction run;
};

constexpr StepEntry kSteps[] = {
    {"open", "open ADDRESS PORT USER PASSWORD TILLID", 5, 5, StepOpen},
    {"sign", "sign FILE...", 1, kVariadic, StepSign},
    {"xreport", "xreport", 0, 0, StepXReport},
    {"close", "close", 0, 0, StepClose},
    {"wait-queue", "wait-queue [TIMEOUT-SECONDS]", 0, 1, StepWaitQueue},
    {"verify", "verify TILLDIR", 1, 1, StepVerify},
};

const StepEntry* FindStep(const std::string& aName) {
  for (const StepEntry& step : kSteps) {
    if (aName == step.name) return &step;
  }
  return nullptr;
}

void PrintUsage(FILE* aOut) {
  std::fprintf(aOut,
               "usage: qxtill [--lib LIBRARY] STEP [ARGS...] [STEP [ARGS...]]...\n"
               "Loads the driver library (default: %s beside qxtill, else the installed one)\n"
               "and runs the steps in order in one process, stopping at the first failure.\n"
               "Steps:\n",
               LibraryFileName());
  for (const StepEntry& step : kSteps) std::fprintf(aOut, "  %s\n", step.synopsis);
  std::fprintf(
      aOut,
      "A step's arguments run up to the next step name. The data root is $QX_SRT_DB\n"
      "(default %s); a till's queue is <root>/<till>/Queue.\n"
      "\n"
      "usage: qxtill status [--json | --prometheus] [--max-age MINUTES] [--critical-age MINUTES]\n"
      "                     [--max-open HOURS] [--log-dir DIR] [DATAROOT|TILLDIR...]\n"
      "Reads each till's store (default: the data root) and the pusher's log (default:\n"
      "$QX_LOG_DIR/RTPusher, else <data root>/LogFiles/RTPusher), changes nothing, and\n"
      "prints \"QXTILL <STATE> - summary | perfdata\", then each till: exit 0 OK,\n"
      "1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n"
      "usage: qxtill verify TILLDIR    (alone: exits 0 verified, 1 warnings, 2 damage, 3 none)\n"
      "usage: qxtill resolve TILLDIR DOCUMENT [NOTE...]   (a refused document was dealt with)\n",
      SystemDataRoot().c_str());
}

struct PlannedStep {
  const StepEntry* entry;
  std::vector<std::string> args;
};

// Splits the arguments into steps; false (with a message) on a usage error.
bool PlanSteps(const std::vector<std::string>& aWords, std::vector<PlannedStep>& aPlan) {
  for (const std::string& word : aWords) {
    if (const StepEntry* entry = FindStep(word)) {
      aPlan.push_back({entry, {}});
    } else if (aPlan.empty()) {
      std::fprintf(stderr, "qxtill: unknown step '%s'\n", word.c_str());
      return false;
    } else {
      aPlan.back().args.push_back(word);
    }
  }
  if (aPlan.empty()) {
    std::fprintf(stderr, "qxtill: no step given\n");
    return false;
  }
  for (const PlannedStep& step : aPlan) {
    const int count = static_cast<int>(step.args.size());
    if (count < step.entry->minArgs ||
        (step.entry->maxArgs != kVariadic && count > step.entry->maxArgs)) {
      std::fprintf(stderr, "qxtill: wrong arguments; usage: %s\n", step.entry->synopsis);
      return false;
    }
  }
  return true;
}

// |aArgs| are the words after the program name, in UTF-8 on every system.
int Run(const std::vector<std::string>& aArgs) {
  // The status report is a command of its own: it loads no library.
  // So are the verifier alone and the acknowledgement of a refused document.
  using Command = int (*)(const std::vector<std::string>&, std::ostream&, std::ostream&);
  const std::pair<const char*, Command> commands[] = {
      {"status", RunStatus}, {"verify", RunVerify}, {"resolve", RunResolve}};
  for (const auto& [name, command] : commands) {
    if (aArgs.empty() || aArgs[0] != name) continue;
    // "verify" followed by another step runs as a step.
    if (aArgs[0] == std::string("verify") && aArgs.size() != 2) break;
    try {
      return command(std::vector<std::string>(aArgs.begin() + 1, aArgs.end()), std::cout,
                     std::cerr);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "qxtill: %s\n", error.what());
      return StateExitCode(State::kUnknown);
    }
  }
  Session session;
  session.libraryPath = DefaultLibraryPath();
  std::vector<std::string> words;
  for (size_t i = 0; i < aArgs.size(); ++i) {
    if (aArgs[i] == "--help" || aArgs[i] == "-h") {
      PrintUsage(stdout);
      return 0;
    }
    if (aArgs[i] == "--lib" && words.empty()) {
      if (++i == aArgs.size()) {
        std::fprintf(stderr, "qxtill: --lib needs a path\n");
        return 2;
      }
      session.libraryPath = aArgs[i];
      continue;
    }
    words.push_back(aArgs[i]);
  }
  std::vector<PlannedStep> plan;
  if (!PlanSteps(words, plan)) {
    PrintUsage(stderr);
    return 2;
  }
  int status = 0;
  try {
    for (const PlannedStep& step : plan) {
      if (!step.entry->run(session, step.args)) {
        status = 1;
        break;
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "qxtill: %s\n", error.what());
    status = 1;
  }
  UnloadDriverLibrary(session.library);
  return status;
}

}  // namespace
}  // namespace qx::qxtill

// The arguments as the system gives them in full: on Windows the wide command
// line, whose paths the ANSI code page of argv could not all hold.
int main() { return qx::qxtill::Run(qx::ProgramArguments()); }
