#include "scripted_scope.h"

#include <poll.h>
#include <unistd.h>

ScriptedScope::ScriptedScope(PtyPair &pty) : pty_(pty), thread_([this] { serve(); }) {}

ScriptedScope::~ScriptedScope() {
  running_ = false;
  thread_.join();
}

void ScriptedScope::reply(char command, const std::string &bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_[command] = bytes;
}

std::string ScriptedScope::received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void ScriptedScope::serve() {
  while (running_) {
    pollfd pfd{pty_.master, POLLIN, 0};
    if (poll(&pfd, 1, 10) <= 0) {
      continue;
    }
    char byte;
    if (read(pty_.master, &byte, 1) != 1) {
      continue;
    }
    std::string answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_ += byte;
      auto found = replies_.find(byte);
      if (found != replies_.end()) {
        answer = found->second;
      }
    }
    if (!answer.empty()) {
      pty_.writeMaster(answer);
    }
  }
}
