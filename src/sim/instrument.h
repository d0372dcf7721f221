// The virtual scope's side of the command protocol, served run after run.
//
// The scope echoes "0", "1", "2", "s" and "d"; "s" is followed by the status
// byte and "d" by the selected channel's record, both as upper-case hex
// pairs, the record closed by a line feed. "e" is taken without an answer;
// any other byte is ignored. A run ends when no byte follows an "e" within
// 300 ms; then whatever the tool left unread is discarded, and the next run
// starts on the front panel's channel.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/sim_line.h"
#include "sim/sim_options.h"

enum StatusBits { STATUS_CHANNEL1 = 0x01, STATUS_NOT_READY = 0x20 };

// Serves runs until `stopRequested` is set or options.runs runs are over.
// Every byte read is appended to `logFd` unless it is negative.
void serveRuns(const SimOptions &options, SimLine &line, const std::vector<uint8_t> records[2],
               int logFd);
