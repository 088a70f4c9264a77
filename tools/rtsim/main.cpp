// rtsim: runs the RT server simulator until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "tools/rtsim/rtsim.h"

namespace {

// Applies the command line in order; false when --help was asked for.
bool ParseArguments(int argc, char** argv, qx::rtsim::Config& config) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") return false;
    if (arg.substr(0, 2) != "--") {
      throw qx::Error("Unexpected argument '" + std::string(arg) + "'");
    }
    std::string_view key = arg.substr(2);
    std::string_view value;
    const size_t equals = key.find('=');
    if (equals != std::string_view::npos) {
      value = key.substr(equals + 1);
      key = key.substr(0, equals);
    } else if (key == "log" || key == "no-headers") {
      value = "1";  // flags take no value
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      throw qx::Error("Option --" + std::string(key) + " needs a value");
    }
    if (key == "config") {
      qx::rtsim::LoadConfigFile(config, std::string(value));
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
  std::printf("listening on %s://%s:%d\n", config.certFile.empty() ? "http" : "https",
              config.listenHost.c_str(), simulator.Port());
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
  simulator.Stop();
  std::printf("stopped\n");
  return 0;
}
