// A fixture for end-to-end host scenarios: a simulated RT server on a free
// loopback port, a fresh data root (QX_SRT_DB), short pusher and queue
// pauses, and the driver library loaded through dlopen on first use. The
// library is unloaded (its pusher stopped) before the server goes away.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/host_library.h"
#include "tools/rtsim/rtsim.h"

namespace qx::test {

class HostScenario : public ::testing::Test {
 protected:
  static constexpr char kTill[] = "T01";

  // |aLocale|: LC_ALL for the library, set before anything runs (the library
  // reads it once, when loaded); empty leaves the environment's.
  explicit HostScenario(std::string aLocale = std::string()) : locale_(std::move(aLocale)) {}

  void SetUp() override;
  void TearDown() override;

  // The library, loaded on first use with the environment as it is then.
  HostLibrary& Library();
  // Unloads the library: a restart of the host.
  void Unload();

  rtsim::Simulator& Server() { return *server_; }
  HostCall OpenTill(const std::string& aTillId = kTill);

  const std::string& Root() const { return root_; }
  // Where the library logs: the data root's LogFiles.
  std::string LogDir() const { return root_ + "/db/LogFiles"; }
  std::string TillDir(const std::string& aTillId = kTill) const;
  std::string QueueDir(const std::string& aTillId = kTill) const;
  // Names (not paths) of the files directly in |aDir| ending in |aExtension|, sorted.
  static std::vector<std::string> FileNames(const std::string& aDir, const std::string& aExtension);
  // Waits until the till's queue holds no document; false after |aTimeout|.
  bool WaitForEmptyQueue(std::chrono::seconds aTimeout = std::chrono::seconds(60),
                         const std::string& aTillId = kTill);
  // The path of the named document anywhere below the till directory
  // (queue, processed, errors), nullopt when there is none; a queued
  // document being delivered is found by its queued name.
  std::optional<std::string> FindDocument(const std::string& aName,
                                          const std::string& aTillId = kTill) const;
  // The path of the named document once the delivery thread is done with the
  // queue (it is empty, so nothing renames the document any more); nullopt
  // when the queue does not empty within a minute or the document is nowhere.
  std::optional<std::string> FiledDocument(const std::string& aName,
                                           const std::string& aTillId = kTill);
  // Number of requests of one kind the server received.
  size_t RequestCount(const std::string& aKind) const;

 private:
  std::string locale_;
  std::string root_;
  std::string previousDir_;
  std::unique_ptr<rtsim::Simulator> server_;
  std::unique_ptr<HostLibrary> library_;
};

// The text of the first element |aName| in |aXml|, nullopt when absent.
std::optional<std::string> ElementText(const std::string& aXml, const std::string& aName);
// A test data file below tests/data.
std::string ReadTestData(const std::string& aName);
// A host receipt of one item at vat 1 paid in cash, with the given document
// type ("" leaves docType out) and amount ("12.50").
std::string SimpleReceipt(const std::string& aDocType, const std::string& aAmount);

}  // namespace qx::test
