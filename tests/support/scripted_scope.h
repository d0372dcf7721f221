// A scope played by the test on the master side of a pty pair: it records
// every byte the code under test sends and answers each command byte with a
// scripted reply.
#pragma once

#include <pthread.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

// One answer to a command: `bytes` at once, then after `laterUs` the bytes
// `later` (stray bytes in a second write) and `signal`, when not 0, to the
// thread that built the scope.
struct ScriptedReply {
  std::string bytes;
  std::string later = "";
  int laterUs = 0;
  int signal = 0;
};

class ScriptedScope {
public:
  explicit ScriptedScope(PtyPair &pty);
  ~ScriptedScope();
  // The reply sent, once, each time `command` arrives.
  void reply(char command, const std::string &bytes);
  // The k-th arrival of `command` gets the k-th reply, and the last one every
  // arrival after.
  void replies(char command, const std::vector<ScriptedReply> &inTurn);
  // Everything received so far.
  std::string received();
  // For the last reply with `later` bytes: the microseconds from the end of
  // the first write to the start of the second, as it came out on a busy
  // machine; -1 before any.
  long lastLaterUs();

private:
  void serve();
  void answer(const ScriptedReply &reply);
  PtyPair &pty_;
  pthread_t owner_;
  std::mutex mutex_;
  std::map<char, std::vector<ScriptedReply>> replies_;
  std::map<char, size_t> arrivals_;
  std::string received_;
  std::atomic<long> lastLaterUs_{-1};
  std::atomic<bool> running_{true};
  std::thread thread_;
};
