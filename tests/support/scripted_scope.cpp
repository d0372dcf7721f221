#include "scripted_scope.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

ScriptedScope::ScriptedScope(PtyPair &pty)
    : pty_(pty), owner_(pthread_self()), thread_([this] { serve(); }) {}

ScriptedScope::~ScriptedScope() {
  running_ = false;
  thread_.join();
}

void ScriptedScope::reply(char command, const std::string &bytes) { replies(command, {{bytes}}); }

void ScriptedScope::replies(char command, const std::vector<ScriptedReply> &inTurn) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_[command] = inTurn;
  arrivals_[command] = 0;
}

std::string ScriptedScope::received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

long ScriptedScope::lastLaterUs() { return lastLaterUs_; }

void ScriptedScope::answer(const ScriptedReply &reply) {
  if (!reply.bytes.empty()) {
    pty_.writeMaster(reply.bytes);
  }
  auto first = std::chrono::steady_clock::now();
  if (reply.laterUs > 0) {
    usleep(static_cast<useconds_t>(reply.laterUs));
  }
  if (!reply.later.empty()) {
    lastLaterUs_ = static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::steady_clock::now() - first)
                                         .count());
    pty_.writeMaster(reply.later);
  }
  if (reply.signal != 0) {
    pthread_kill(owner_, reply.signal);
  }
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
    ScriptedReply next;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_ += byte;
      auto found = replies_.find(byte);
      if (found != replies_.end() && !found->second.empty()) {
        size_t &arrived = arrivals_[byte];
        next = found->second[std::min(arrived, found->second.size() - 1)];
        ++arrived;
      }
    }
    answer(next);
  }
}
