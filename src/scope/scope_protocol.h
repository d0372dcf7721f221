// The scope's command protocol.
//
// Commands are single characters; the scope echoes each one it accepts, and
// follows the echo of "s" and "d" with hex pairs. Every command starts with a
// drain so that stale bytes are never taken for the reply. The drain waits
// for 20 ms plus two character times of quiet before the first command of an
// exchange, after "e", and after a reply that was missing, cut or malformed
// or that anything followed. After a whole reply (the echo of a channel, the
// status pair, a dump closed by its line feed) the scope owes nothing more,
// and the next channel selection, status query or dump goes out once the
// line has been quiet for a short guard after the reply's last byte: the
// longer of 2 ms and one character time, so that stray bytes the scope or an
// adapter hands over a moment later are drained, not taken for the next
// reply. The closing "0" and "e", whose replies are taken for nothing, only
// discard what has already arrived. Failures come back as the negative
// numbers below and the caller decides what to print, except for readStatus,
// which reports bad status digits itself.
//
// A line that never falls silent before the channel selection or the status
// query means the scope is still busy sending (the rest of an interrupted
// dump, say): those two then send nothing and report PROTOCOL_NEVER_SILENT.
#pragma once

inline constexpr int STATUS_CHANNEL1 = 0x01;  // channel 1 selected (else 2)
inline constexpr int STATUS_NOT_READY = 0x20; // no waveform to deliver

// The failures. A missing echo of "s" or "d" is PROTOCOL_NO_ECHO; that of a
// channel selection is channelNotEchoed(ch): -1, -2 or -3 for "0", "1" and
// "2", so that the caller can tell which. A channel other than 0, 1 or 2 has
// no command and shares -3 with the missing echo of "2".
inline constexpr int PROTOCOL_NO_ECHO = -1;
inline constexpr int PROTOCOL_BAD_STATUS = -2;
inline constexpr int PROTOCOL_NO_SUCH_CHANNEL = -3;
inline constexpr int PROTOCOL_NEVER_SILENT = -4;
constexpr int channelNotEchoed(int ch) { return -1 - ch; }

// readHexByte's failures, which the invalid-status message shows.
inline constexpr int HEX_FIRST_DIGIT_MISSING = -1;
inline constexpr int HEX_SECOND_DIGIT_MISSING = -2;

// Receives the samples of a dump as they arrive: `begin` once when the scope
// has accepted the command, then `sample` for each one.
struct SampleSink {
  void (*begin)();
  void (*sample)(int index, int raw);
};

// The next command waits for quiet before it goes out, whatever the last
// reply was: for the start of a capture.
void expectStaleInput();

// The value of a hex digit: "0".."9" count from "0"; a letter's upper-case
// code minus 55, so that "A" and "a" are 10 ("A" is 65).
int hexDigitValue(int c);

// 0 for a line feed, the character for a hex digit, negative otherwise.
int readHexDigit();

// 0..255, HEX_FIRST_DIGIT_MISSING or HEX_SECOND_DIGIT_MISSING.
int readHexByte();

// Sends "0", "1" or "2"; 0 when echoed, else channelNotEchoed(ch),
// PROTOCOL_NO_SUCH_CHANNEL or PROTOCOL_NEVER_SILENT.
int selectChannel(int ch);

// The status byte, PROTOCOL_NO_ECHO without the echo of "s",
// PROTOCOL_BAD_STATUS for bad status digits (after writing
// "*** Error: invalid Status (%d)***"), or PROTOCOL_NEVER_SILENT.
int readStatus();

// Whether the scope answers the status query cleanly at the line's speed:
// after a wait for quiet, "s" and two hex digits within four character
// times plus 50 ms of sending it (room for a USB adapter's latency timer).
// Anything else, a line that never falls silent included, is a no.
bool statusAnswersPromptly();

// The number of samples handed to `sink`, or PROTOCOL_NO_ECHO when "d" was
// not echoed.
int dumpWaveform(const SampleSink &sink);

// "0" then "e": the scope returns to its own operation.
void endExchange();
