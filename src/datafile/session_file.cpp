#include "datafile/session_file.h"

#if QELVO_LIBZIP
#include <zip.h>
#endif

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/version.h"
#include "datafile/data_file.h"
#include "datafile/eng_format.h"

namespace {

std::string metadata;
// Each column's samples, already in the byte order of the file.
std::vector<unsigned char> columnBytes[MAX_CHANNELS];
int columnCount = 0;

template <typename... Values> void addLine(const char *format, Values... values) {
  char line[256];
  snprintf(line, sizeof line, format, values...);
  metadata += line;
}

// An engineering value with its unit, as the header shows it; the INI text
// is UTF-8, so micro is "µ" here.
std::string scaled(double value, const char *unit) {
  char text[SCALED_NUMBER_SIZE];
  formatScaled(text, sizeof text, value, "\xC2\xB5");
  return std::string(text) + unit;
}

void addHeaderFacts(time_t now, const Settings *const *columns, int count, double rate) {
  addLine("qelvo_program=%s, %s\n", settings.programName != nullptr ? settings.programName : "",
          QELVO_HEADER_VERSION_TEXT);
  char created[64];
  strftime(created, sizeof created, "%Y-%m-%d %H:%M:%S %z", localtime(&now));
  addLine("qelvo_created=%s\n", created);
  addLine("qelvo_time_base=%s\n", scaled(settings.timePerDiv, "s/div").c_str());
  // The whole-Hz rate above may be rounded; these two give the exact axis.
  char exact[32] = "";
  std::to_chars(exact, exact + sizeof exact - 1, rate); // the shortest text that reads back
  addLine("qelvo_sample_rate=%s Hz\n", exact);
  addLine("qelvo_first_time=%1.*e s\n", settings.precision,
          static_cast<double>(sampleTimeIn<Extended>(settings, 0)));
  for (int k = 0; k < count; ++k) {
    const Settings &column = *columns[k];
    addLine("qelvo_channel%d=%d\n", k + 1, column.channel);
    addLine("qelvo_gain%d=%s\n", k + 1, scaled(column.voltsPerDiv, "V/div").c_str());
    addLine("qelvo_offset%d=%2.3f div\n", k + 1, column.yZero);
    addLine("qelvo_probe%d=1:%3.2f\n", k + 1, column.probeFactor);
  }
}

#if QELVO_LIBZIP
bool addEntry(zip_t *archive, const char *name, const void *data, size_t size) {
  zip_source_t *source = zip_source_buffer(archive, data, size, 0);
  if (source == nullptr) {
    return false;
  }
  if (zip_file_add(archive, name, source, ZIP_FL_ENC_UTF_8) < 0) {
    zip_source_free(source);
    return false;
  }
  return true;
}

bool addEntries(zip_t *archive) {
  static const char version[] = "2";
  bool added = addEntry(archive, "version", version, 1) &&
               addEntry(archive, "metadata", metadata.data(), metadata.size());
  for (int k = 0; added && k < columnCount; ++k) {
    char name[32];
    snprintf(name, sizeof name, "analog-1-%d-1", k + 1);
    added = addEntry(archive, name, columnBytes[k].data(), columnBytes[k].size());
  }
  return added;
}

// Copies the finished archive out of `memory`.
bool copyArchive(zip_source_t *memory, FILE *out) {
  if (zip_source_open(memory) < 0) {
    return false;
  }
  bool copied = true;
  unsigned char block[65536];
  zip_int64_t got;
  while (copied && (got = zip_source_read(memory, block, sizeof block)) > 0) {
    copied = fwrite(block, 1, static_cast<size_t>(got), out) == static_cast<size_t>(got);
  }
  zip_source_close(memory);
  return copied && got == 0;
}
#endif

} // namespace

int64_t sessionSampleRate(double rate) {
  double whole = std::round(rate);
  return whole >= 1 ? static_cast<int64_t>(whole) : 1;
}

void sessionBegin(time_t now, const Settings *const *columns, int count) {
  columnCount = count;
  for (std::vector<unsigned char> &bytes : columnBytes) {
    bytes.clear();
  }
  double rate = settings.xSamplesPerDiv / settings.timePerDiv;
  int64_t whole = sessionSampleRate(rate);
  double off = std::fabs(static_cast<double>(whole) - rate) / rate * 100.0;
  if (off > 0.1) {
    fprintf(stderr,
            "*** Warning: the session file's sample rate %" PRId64
            " Hz is %.2f %% off the capture's ***\n",
            whole, off);
  }
  metadata = "[global]\nsigrok version=0.5.2\n\n[device 1]\n";
  addLine("samplerate=%" PRId64 " Hz\n", whole);
  addLine("total analog=%d\n", count);
  for (int k = 0; k < count; ++k) {
    addLine("analog%d=CH%d\n", k + 1, columns[k]->channel);
  }
  addHeaderFacts(now, columns, count, rate);
}

const std::string &sessionMetadata() { return metadata; }

void sessionAddRow(const double *volts, int count) {
  for (int k = 0; k < count && k < MAX_CHANNELS; ++k) {
    float value = static_cast<float>(volts[k]);
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    for (int shift = 0; shift < 32; shift += 8) {
      columnBytes[k].push_back(static_cast<unsigned char>(bits >> shift));
    }
  }
}

#if !QELVO_LIBZIP
bool writeSessionFile(FILE * /*out*/) { return false; }
#else
bool writeSessionFile(FILE *out) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t *memory = zip_source_buffer_create(nullptr, 0, 0, &error);
  zip_t *archive = memory != nullptr ? zip_open_from_source(memory, ZIP_TRUNCATE, &error) : nullptr;
  zip_error_fini(&error);
  if (archive == nullptr) {
    zip_source_free(memory);
    return false;
  }
  // The archive's close would free the memory it was written to.
  zip_source_keep(memory);
  bool written = false;
  if (!addEntries(archive)) {
    zip_discard(archive);
  } else if (zip_close(archive) == 0) {
    written = copyArchive(memory, out);
  } else {
    zip_discard(archive);
  }
  zip_source_free(memory);
  return written;
}
#endif
