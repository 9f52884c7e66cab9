#include "properties/property_check.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// Keys longer than this are compared by their first this many characters.
constexpr int kMaxTypedKey = 63;
// The sensor models' shortest sample periods, microseconds.
constexpr int kMinPeriod200kHz = 5;
constexpr int kMinPeriod50kHz = 20;

int KeyIndex(const char* name) {
  for (int key = 0; key < kPropertyKeyCount; ++key) {
    if (std::strcmp(PropertyKeyName(key), name) == 0) return key;
  }
  return -1;
}

bool IsBlank(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Copies `text` (up to `stop`, or its end) into `out` without surrounding
// blanks, cut to `size` - 1 characters.
void CopyTrimmed(const char* text, const char* stop, char* out, std::size_t size) {
  if (stop == nullptr) stop = text + std::strlen(text);
  while (text < stop && IsBlank(*text)) ++text;
  while (stop > text && IsBlank(stop[-1])) --stop;
  std::size_t length = static_cast<std::size_t>(stop - text);
  if (length >= size) length = size - 1;
  std::memcpy(out, text, length);
  out[length] = '\0';
}

std::size_t EditDistance(const char* a, const char* b) {
  std::size_t la = std::strlen(a), lb = std::strlen(b);
  if (la > kMaxTypedKey) la = kMaxTypedKey;
  if (lb > kMaxTypedKey) lb = kMaxTypedKey;
  std::size_t row[kMaxTypedKey + 1];
  for (std::size_t j = 0; j <= lb; ++j) row[j] = j;
  for (std::size_t i = 1; i <= la; ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= lb; ++j) {
      std::size_t above = row[j];
      std::size_t best = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
      if (above + 1 < best) best = above + 1;
      if (row[j - 1] + 1 < best) best = row[j - 1] + 1;
      row[j] = best;
      diagonal = above;
    }
  }
  return row[lb];
}

enum class NumberForm { kWhole, kLeading, kNone };

// How the reader's strtoll takes a value: all of it, a number with text after
// it, or no number at all.
NumberForm ClassifyNumber(const char* value) {
  const char* p = value;
  while (IsBlank(*p)) ++p;
  if (*p == '+' || *p == '-') ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return NumberForm::kNone;
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
  while (IsBlank(*p)) ++p;
  return *p == '\0' ? NumberForm::kWhole : NumberForm::kLeading;
}

void ReportError(PropertyFindings* findings, std::FILE* out, const char* name, int line,
                 const char* what) {
  ++findings->errors;
  std::fprintf(out, "FAILED: %s line %d: %s\n", name, line, what);
}

void ReportNote(PropertyFindings* findings, std::FILE* out, const char* name, int line,
                const char* what) {
  ++findings->notes;
  std::fprintf(out, "note: %s line %d: %s\n", name, line, what);
}

void CheckUnknownLine(const char* line, const char* name, int number, std::FILE* out,
                      PropertyFindings* findings) {
  char shown[kMaxTypedKey + 1];
  const char* equals = std::strchr(line, '=');
  CopyTrimmed(line, equals, shown, sizeof shown);
  char what[160];
  if (equals == nullptr) {
    std::snprintf(what, sizeof what, "\"%s\" is not a key=value line; the monitor ignores it",
                  shown);
    ReportNote(findings, out, name, number, what);
    return;
  }
  const char* nearest = NearestPropertyKey(shown);
  std::snprintf(what, sizeof what, "unknown key %s; the monitor ignores the line", shown);
  ReportError(findings, out, name, number, what);
  if (std::strcmp(nearest, shown) == 0) {
    std::fprintf(out, "  hint: the key must begin the line, with no blank before it.\n");
  } else {
    std::fprintf(out, "  hint: the nearest known key is %s.\n", nearest);
  }
}

void CheckKnownLine(char* line, int key, const char* name, int number, std::FILE* out,
                    PropertyFindings* findings, int* first_line) {
  const char* key_name = PropertyKeyName(key);
  std::size_t key_length = std::strlen(key_name);
  char what[200];
  char typed[kMaxTypedKey + 1];
  CopyTrimmed(line, std::strchr(line, '='), typed, sizeof typed);
  if (std::strcmp(typed, key_name) != 0) {
    std::snprintf(what, sizeof what, "%s is read as the key %s", typed, key_name);
    ReportNote(findings, out, name, number, what);
  }
  if (first_line[key] != 0) {
    std::snprintf(what, sizeof what, "%s is set again (first on line %d); the last value counts",
                  key_name, first_line[key]);
    ReportNote(findings, out, name, number, what);
  } else {
    first_line[key] = number;
  }
  findings->present[key] = true;

  char value[kPropertyLineBytes];
  const char* text = std::strchr(line + key_length, '=') != nullptr
                         ? PropertyValueText(line + key_length)
                         : nullptr;
  CopyTrimmed(text != nullptr ? text : "", nullptr, value, sizeof value);
  if (!PropertyKeyIsInteger(key)) {
    if (value[0] == '\0') {
      std::snprintf(what, sizeof what, "%s has no value; the monitor takes it as not set",
                    key_name);
      ReportNote(findings, out, name, number, what);
    }
    return;
  }
  NumberForm form = ClassifyNumber(value);
  if (form == NumberForm::kWhole) return;
  if (form == NumberForm::kLeading) {
    std::snprintf(what, sizeof what, "%s=%s is read as %ld (the text after the number is ignored)",
                  key_name, value, std::strtol(value, nullptr, 10));
    ReportNote(findings, out, name, number, what);
    return;
  }
  findings->not_a_number[key] = true;
  if (value[0] == '\0') {
    std::snprintf(what, sizeof what, "%s has no value; the monitor reads 0", key_name);
  } else {
    std::snprintf(what, sizeof what, "%s=%s is not a number; the monitor reads 0", key_name, value);
  }
  ReportError(findings, out, name, number, what);
  if (key == KeyIndex("laser_serial_port")) {
    const char* digits = value;
    while (*digits != '\0' && !std::isdigit(static_cast<unsigned char>(*digits))) ++digits;
    int port = *digits != '\0' ? std::atoi(digits) : 1;
    std::fprintf(out,
                 "  hint: the value must be the port's number: laser_serial_port=%d for COM%d.\n",
                 port, port);
  } else {
    std::fprintf(out, "  hint: %s takes a whole number.\n", key_name);
  }
}

// Whether the values check should look at `key`: set and a number.
bool Judged(const PropertyFindings& findings, int key) {
  return !findings.not_a_number[key];
}

void ReportValue(PropertyFindings* findings, std::FILE* out, bool error, const char* what,
                 const char* hint) {
  if (error) {
    ++findings->errors;
    std::fprintf(out, "FAILED: %s\n", what);
  } else {
    ++findings->notes;
    std::fprintf(out, "note: %s\n", what);
  }
  if (hint != nullptr) std::fprintf(out, "  hint: %s\n", hint);
}

}  // namespace

const char* NearestPropertyKey(const char* typed) {
  // Of keys equally near, the one that shares the longest start with what was
  // typed: "gps_baud" means gps_baud_rate, not gps_enabled.
  const char* best = PropertyKeyName(0);
  std::size_t best_distance = SIZE_MAX;
  std::size_t best_common = 0;
  for (int key = 0; key < kPropertyKeyCount; ++key) {
    const char* name = PropertyKeyName(key);
    std::size_t distance = EditDistance(typed, name);
    std::size_t common = 0;
    while (name[common] != '\0' && name[common] == typed[common]) ++common;
    if (distance < best_distance || (distance == best_distance && common > best_common)) {
      best = name;
      best_distance = distance;
      best_common = common;
    }
  }
  return best;
}

void CheckPropertyLines(std::FILE* file, const char* name, std::FILE* out,
                        PropertyFindings* findings) {
  int first_line[kPropertyKeyCount] = {};
  char line[kPropertyLineBytes];
  int number = 0;
  bool continuing = false;  // the rest of a line longer than one piece
  while (std::fgets(line, sizeof line, file) != nullptr) {
    bool piece_ends_line = std::strchr(line, '\n') != nullptr || std::feof(file);
    bool rest_of_long_line = continuing;
    continuing = !piece_ends_line;
    if (rest_of_long_line) continue;
    ++number;
    if (!piece_ends_line) {
      char what[160];
      std::snprintf(what, sizeof what,
                    "longer than %d characters; the monitor reads the rest as a line of its own",
                    kPropertyLineBytes - 1);
      ReportNote(findings, out, name, number, what);
    }
    const char* first = line;
    while (IsBlank(*first)) ++first;
    if (*first == '\0' || *first == ';') continue;  // blank or a comment
    int key = MatchPropertyKey(line);
    if (key < 0) {
      CheckUnknownLine(line, name, number, out, findings);
    } else {
      CheckKnownLine(line, key, name, number, out, findings, first_line);
    }
  }
}

void CheckPropertyValues(const RunProperties& record, std::FILE* out, PropertyFindings* findings) {
  char what[200];
  int port = KeyIndex("laser_serial_port");
  if (!findings->present[port]) {
    ReportValue(findings, out, true,
                "laser_serial_port is not set to a port number in properties.txt",
                "add a line laser_serial_port=<n> for the sensor's port COM<n>.");
  } else if (Judged(*findings, port) && record.laser_serial_port <= 0) {
    std::snprintf(what, sizeof what, "laser_serial_port=%d is not a port number",
                  record.laser_serial_port);
    ReportValue(findings, out, true, what, "port numbers start at 1 (COM1).");
  }

  int board = KeyIndex("laser_hsif_board");
  if (Judged(*findings, board) && record.laser_hsif_board < 0) {
    std::snprintf(what, sizeof what, "laser_hsif_board=%d is not a card number",
                  record.laser_hsif_board);
    ReportValue(findings, out, true, what, "the first card is 0.");
  }

  int range = KeyIndex("laser_max_range");
  if (!findings->present[range]) {
    ReportValue(findings, out, true, "laser_max_range is not set in properties.txt",
                "add a line laser_max_range=<inches>; the card refuses a maximum range of 0.");
  } else if (Judged(*findings, range) && record.laser_max_range <= 0) {
    std::snprintf(what, sizeof what,
                  "laser_max_range=%d: the card takes a maximum range of 1 inch or more",
                  record.laser_max_range);
    ReportValue(findings, out, true, what, nullptr);
  }

  int period = KeyIndex("laser_sample_period");
  int value = record.laser_sample_period;
  if (!findings->present[period]) {
    ReportValue(findings, out, true, "laser_sample_period is not set in properties.txt",
                "add a line laser_sample_period=<microseconds>: 5 or more (20 or more for the "
                "50 kHz model).");
  } else if (Judged(*findings, period) && value < kMinPeriod200kHz) {
    std::snprintf(what, sizeof what,
                  "laser_sample_period=%d: the card's shortest sample period is %d us", value,
                  kMinPeriod200kHz);
    ReportValue(findings, out, true, what, "the 50 kHz model needs 20 us or more.");
  } else if (Judged(*findings, period) && value < kMinPeriod50kHz) {
    std::snprintf(what, sizeof what,
                  "laser_sample_period=%d us suits only the 200 kHz model; the 50 kHz model "
                  "needs %d us or more",
                  value, kMinPeriod50kHz);
    ReportValue(findings, out, false, what, nullptr);
  }
}
