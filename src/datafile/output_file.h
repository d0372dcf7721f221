// The life of the data file.
//
// The command line opens the file for writing but leaves its contents alone;
// only when the capture starts (the scope has answered, the header is next)
// is a regular file emptied. A run that ends before that point leaves an
// earlier capture exactly as it was (contents, mode, modification time), and
// removes the file again if this run created it: a process-exit hook does
// that on every early end, whoever calls exit. FIFOs, /dev/null and other
// devices are written to but never truncated or removed.
#pragma once

#include <cstdio>
#include <ctime>

// The name "-" is standard output: it is written to as it is, never emptied
// or removed.
//
// Opens `name` for writing, creating it (mode 0666 less the umask) if it
// does not exist, without truncating it. Returns the stream, or nullptr with
// errno set when the file can neither be opened nor created.
FILE *openOutputFile(const char *name);

// The same, but only ever creates the file: nullptr with errno EEXIST when
// `name` exists, a dangling symbolic link included. A series of captures
// never overwrites a file, even one that appears after its name was chosen.
FILE *createOutputFile(const char *name);

// A session file (--format=sr) is whole only at its end, so it is written to
// a temporary file in the folder of `name`, its name starting with a dot,
// and moved into place by closeOutputFile once it holds samples: a file
// `name` is then replaced, and left as it was by a run without samples. A
// FIFO or a device `name` is written to in place. nullptr with errno set
// when neither can be opened.
FILE *openSessionFile(const char *name);

// The same for the capture numbered `number` of a series of `pattern` that
// starts at `start`: a file `name` that appears meanwhile is never replaced;
// the session file then takes the next free number.
FILE *createSessionFile(const char *name, const char *pattern, int number, time_t start);

// Where the last session file of a series went, and its number.
const char *sessionFileName();
int sessionFileNumber();

// "*** Error: Cannot open output file 'NAME' ***" on standard error.
void cannotOpenOutputMessage(const char *name);

// The capture starts: empties `file` (the stream openOutputFile gave) if it
// is a regular file. From here on the file is kept whatever happens. False
// when a regular file could not be emptied: its old tail would then stay
// behind the new capture.
bool startOutputFile(FILE *file);

// True once startOutputFile has run.
bool outputFileStarted();

// What the exit hook does: removes the file if this run created it and the
// capture never started. Nothing after the first call.
void discardUnstartedOutputFile();

// The end of the data file: flushes and closes `settings.outputFile`, then
// discards it by the rule above. A started regular file that was written
// whole is synced to the disk first, and so is its directory when this run
// created it. False when any of the file was not written (the stream's error,
// a failed flush, sync or close, or a failure the writer noted). A regular
// file whose writes failed is first cut back to the end of its last complete
// line.
bool closeOutputFile();

// After a close that returned false: the whole sample lines the file holds
// (for a file that cannot be read back, a FIFO say, those known to have left
// the stream).
int outputFileSamplesKept();

// True when the data goes to standard output: every other text then goes to
// standard error.
bool outputIsStandardOutput();
