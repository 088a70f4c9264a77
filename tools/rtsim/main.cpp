// rtsim: runs the RT server simulator until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include "platform/error.h"
#include "tools/rtsim/rtsim.h"

namespace {

// Applies the command line in order; false when --help was asked for.
bool ParseArguments(int argc, char** argv, qx::rtsim::Config& config) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return false;
    if (arg.rfind("--", 0) != 0) throw qx::Error("Unexpected argument '" + arg + "'");
    std::string key = arg.substr(2);
    std::string value;
    const size_t equals = key.find('=');
    if (equals != std::string::npos) {
      value = key.substr(equals + 1);
      key.resize(equals);
    } else if (key == "log" || key == "no-headers") {
      value = "1";
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      throw qx::Error("Option --" + key + " needs a value");
    }
    if (key == "config") {
      qx::rtsim::LoadConfigFile(config, value);
    } else {
      qx::rtsim::SetConfigValue(config, key, value);
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  qx::rtsim::Config config;
  try {
    if (!ParseArguments(argc, argv, config)) {
      std::cout << qx::rtsim::HelpText();
      return 0;
    }
  } catch (const qx::Error& error) {
    std::cerr << "rtsim: " << error.what() << "\nTry rtsim --help.\n";
    return 2;
  }

  // The signals are taken by sigwait below, never by a handler; every thread
  // the simulator starts inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  const bool log = config.logRequests;
  qx::rtsim::Simulator simulator(config);
  if (log) {
    simulator.SetLogSink([](const std::string& line) {
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    });
  }
  try {
    simulator.Start();
  } catch (const qx::Error& error) {
    std::cerr << "rtsim: " << error.what() << "\n";
    return 1;
  }
  std::printf("listening on http://%s:%d\n", config.listenHost.c_str(), simulator.Port());
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
  simulator.Stop();
  std::printf("stopped\n");
  return 0;
}
