// A scope played by the test on the master side of a pty pair: it records
// every byte the code under test sends and answers each command byte with a
// scripted reply.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "test_support.h"

class ScriptedScope {
public:
  explicit ScriptedScope(PtyPair &pty);
  ~ScriptedScope();
  // The reply sent, once, each time `command` arrives.
  void reply(char command, const std::string &bytes);
  // Everything received so far.
  std::string received();

private:
  void serve();
  PtyPair &pty_;
  std::mutex mutex_;
  std::map<char, std::string> replies_;
  std::string received_;
  std::atomic<bool> running_{true};
  std::thread thread_;
};
