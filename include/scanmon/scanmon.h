/* scanmon: the scanner library's C interface.
 *
 * A source delivers blocks of samples, whatever is behind it:
 *   - a scanner source: the interface card (its driver, or the stand-in) brought
 *     up with the sequence the monitor and the recorder share. A fetch thread of
 *     the library's own makes every driver call, from the bring-up to the
 *     release, keeps the card's pace and fills a ring; the caller reads blocks
 *     from the ring at its own pace. When the caller falls behind by more than
 *     the ring holds, whole fetches are dropped and counted (the next block says
 *     how many samples), never waited for: the card never overflows because a
 *     caller was slow.
 *   - a capture source: a recorded capture (BASE.prc, with BASE.raw and the
 *     block index BASE.idx when present) read back as the blocks it was
 *     recorded in, as fast as possible or at the recorded pace, optionally
 *     looped.
 *
 * Conventions, for every function below:
 *   - Results are int: SCANMON_OK (0), or one of the other codes of
 *     scanmon_status. Conditions that are not failures (a time-out, the end of a
 *     capture) are positive; failures are negative.
 *   - After any result other than SCANMON_OK, scanmon_last_error() gives a text
 *     that names what failed and what to do. The text is kept per thread, until
 *     the thread's next call into the library.
 *   - Bad arguments (a null pointer where one is needed, a struct_size the
 *     library does not know, a value out of range) return SCANMON_E_ARGUMENT;
 *     they never crash and change nothing.
 *   - Buffers belong to the caller. The library keeps no pointer given to it
 *     beyond the call (file names and settings are copied).
 *   - Structs the caller fills or receives start with struct_size: set it to
 *     sizeof the struct (the *_init functions do), so that a later version of
 *     the library can grow the struct and still serve older callers.
 *
 * Threads: a source is used by one thread at a time (any thread, one after the
 * other; calls on one source must not overlap). A call made while another
 * call on the same source is still running (a second read, a close while a
 * read waits) is refused with SCANMON_E_STATE and changes nothing: a close
 * never frees a source another thread is reading. Different sources may be
 * used from different threads at once. scanmon_last_error, scanmon_status_name and
 * the version queries may be called from any thread at any time.
 *
 * Two sources in one process: the card's driver is loaded once per process and
 * its entry points are process-wide, and nothing says it is safe for more than
 * one thread; so one scanner source may be open in a process at a time (a
 * second open gets SCANMON_E_BUSY; open it in another process for a second
 * card). Capture sources are plain files: any number, beside a scanner source
 * or not.
 *
 * Calling convention: the platform's C convention (cdecl on 32-bit Windows).
 */
#ifndef SCANMON_SCANMON_H
#define SCANMON_SCANMON_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(SCANMON_BUILDING_LIBRARY)
#define SCANMON_API __declspec(dllexport)
#elif defined(SCANMON_STATIC)
#define SCANMON_API
#else
#define SCANMON_API __declspec(dllimport)
#endif
#elif defined(SCANMON_BUILDING_LIBRARY) && defined(__GNUC__)
#define SCANMON_API __attribute__((visibility("default")))
#else
#define SCANMON_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** @file scanmon.h
 *  @brief The scanner library: sources, blocks, health, capture headers. */

/* ------------------------------------------------------------------------ */
/** @name Status codes */
/**@{*/

/** Every result of the library, in one enumeration. */
typedef enum scanmon_status {
  /** Done. */
  SCANMON_OK = 0,
  /** scanmon_read_block: no block came within the time-out. Nothing was
   *  written; call again. */
  SCANMON_TIMEOUT = 1,
  /** scanmon_read_block: a capture source (not looped) has delivered its last
   *  block. Nothing was written. */
  SCANMON_END = 2,

  /** A null pointer, an unknown struct_size, a value out of range, a raw
   *  buffer asked of a source that keeps no raw records. Nothing changed. */
  SCANMON_E_ARGUMENT = -1,
  /** scanmon_read_block: the block holds more samples than the caller's
   *  capacity. The block record was written (its count says how many); the
   *  block stays the next one to read. */
  SCANMON_E_BUFFER = -2,
  /** A settings file (capture configuration or properties) could not be read
   *  or holds a value the library cannot use. */
  SCANMON_E_SETTINGS = -3,
  /** The card's driver library could not be loaded, or lacks an entry point. */
  SCANMON_E_DRIVER = -4,
  /** A step of the sensor's and the card's bring-up failed (the text quotes
   *  the bring-up's own messages). Everything opened was released. */
  SCANMON_E_BRING_UP = -5,
  /** The card stopped delivering samples (a fetch failed). The blocks fetched
   *  before are still read first; then every read returns this. */
  SCANMON_E_FETCH = -6,
  /** A scanner source is already open in this process. */
  SCANMON_E_BUSY = -7,
  /** A capture file could not be opened or read. */
  SCANMON_E_FILE = -8,
  /** A capture file, or its block index, is not in a form the library reads
   *  (wrong header, index beyond the records, ...). */
  SCANMON_E_FORMAT = -9,
  /** Memory for the ring or the buffers could not be had. */
  SCANMON_E_MEMORY = -10,
  /** The source cannot do this (e.g. the fetch thread could not start), or
   *  another call on the same source is still running (calls on one source
   *  must not overlap). */
  SCANMON_E_STATE = -11,
  /** A remote source: the server could not be reached, refused this reader
   *  (the text quotes its reason), broke the protocol, or the connection was
   *  lost without the server's end message (the server was killed). */
  SCANMON_E_CONNECTION = -12
} scanmon_status;

/** The code's name ("SCANMON_E_ARGUMENT"); "SCANMON_UNKNOWN" for a number that
 *  is no code. The text is static. */
SCANMON_API const char* scanmon_status_name(int status);

/** The text of the last failure of a call made by this thread ("" when the
 *  last call succeeded). Valid until this thread's next call into the library;
 *  never null. */
SCANMON_API const char* scanmon_last_error(void);

/**@}*/

/* ------------------------------------------------------------------------ */
/** @name Version */
/**@{*/

/** Writes the library's version, the project's one version as every scanmon
 *  program reports it (any pointer may be null), and returns
 *  major * 10000 + minor * 100 + patch. */
SCANMON_API int scanmon_version(int* major, int* minor, int* patch);
/** "1.1.0": the library's version as text (static). */
SCANMON_API const char* scanmon_version_text(void);

/**@}*/

/* ------------------------------------------------------------------------ */
/** @name Records */
/**@{*/

/** One block: the samples of one fetch of the card. The same 64 bytes as a
 *  record of the block index file (BASE.idx): little-endian, no padding. */
typedef struct scanmon_block {
  /** Fetch number since the start of the acquisition, from 0: one per fetch
   *  the card answered with samples (also fetches that were dropped). */
  uint64_t sequence;
  /** Number of the block's first sample since the start, counting every
   *  sample the card delivered (also those dropped later). */
  uint64_t first_sample;
  /** Samples delivered to this reader before this block (for a capture: the
   *  block's first record in the files). */
  uint64_t first_record;
  /** Samples in the block. */
  uint32_t count;
  /** SCANMON_BLOCK_LOST_DATA, SCANMON_BLOCK_DROPPED; other bits 0. */
  uint32_t flags;
  /** Samples the card delivered that were not kept (the reader was behind by
   *  more than the ring holds), between the previous block and this one. */
  uint64_t dropped_before;
  /** Host UTC time at the fetch's return, ns since 1970-01-01 (0: unknown, a
   *  capture without block index). */
  int64_t utc_ns;
  /** Host monotonic clock at the fetch's return, ns (a capture without block
   *  index: the first sample's time from the sample period). */
  int64_t mono_ns;
  /** 0. */
  uint64_t reserved;
} scanmon_block;

/** Block flag: the card reported lost data on this fetch (its own buffer
 *  overflowed; the library restarted it and went on). */
#define SCANMON_BLOCK_LOST_DATA 0x1u
/** Block flag: samples were dropped before this block (dropped_before > 0). */
#define SCANMON_BLOCK_DROPPED 0x2u

/** One sample as the card's driver processes it: 64 bytes. The library names
 *  the fields it knows; the other bytes are the driver's, passed on as they
 *  came (the stand-in driver documents its own use of them). */
typedef struct scanmon_sample {
  /** SCANMON_SAMPLE_LOST_DATA, SCANMON_SAMPLE_INDEX; the other bits are the
   *  driver's. */
  uint16_t flags;
  /** The driver's bytes 2 to 7. */
  uint8_t driver_bytes_2[6];
  /** The scan mirror's angle, radians. */
  double angle;
  /** The driver's bytes 16 to 63. */
  uint8_t driver_bytes_16[48];
} scanmon_sample;

/** Sample flag: the card reported lost data on the fetch this sample ended. */
#define SCANMON_SAMPLE_LOST_DATA 0x1u
/** Sample flag: the mirror's index mark (once per revolution). */
#define SCANMON_SAMPLE_INDEX 0x4u

/** One raw sample as the card delivers it: four 32-bit words, the driver's. */
typedef struct scanmon_raw_sample {
  uint32_t words[4];
} scanmon_raw_sample;

/**@}*/

/* ------------------------------------------------------------------------ */
/** @name Settings of a scanner source */
/**@{*/

/** Room for the calibration file's name, its terminator included (the
 *  capture header's size for it). */
#define SCANMON_PATH_BYTES 256
/** Motors the card drives (1 to 4). */
#define SCANMON_MOTORS 4
/** Largest fetch, in samples, and the largest block a scanner or capture
 *  source delivers: buffers of this many samples take any of their blocks. */
#define SCANMON_MAX_FETCH_SAMPLES 30000

/** How to bring the scanner up and run it. Fill it with
 *  scanmon_scanner_settings_init (defaults), from a file
 *  (scanmon_settings_from_config, scanmon_settings_from_properties), or field
 *  by field. */
typedef struct scanmon_scanner_settings {
  /** sizeof(scanmon_scanner_settings). */
  uint32_t struct_size;
  /** The sensor's serial line, COM port number 1..255. */
  int32_t com_port;
  /** The interface card's number, 0..15. */
  int32_t card_number;
  /** Sample period, microseconds (5 and up; the card refuses less than its
   *  model's minimum). */
  int32_t sample_period_us;
  /** Maximum range, inches. */
  int32_t max_range_in;
  /** Encoder counts per revolution: encoder 1 (the mirror), encoder 2. */
  int32_t mirror_encoder_counts;
  int32_t second_encoder_counts;
  /** Power per motor (index 0 is motor 1), 0..255, or -1: not switched. Each
   *  motor switched is powered off again when the source closes. */
  int32_t motor_power[SCANMON_MOTORS];
  /** Wait after the motors are powered, before sampling starts, ms (the
   *  mirror comes up to speed; reads time out meanwhile). 0..600000. */
  int32_t settle_ms;
  /** Samples per fetch, 1..SCANMON_MAX_FETCH_SAMPLES: the largest block. */
  int32_t fetch_samples;
  /** The ring between the fetch thread and the reader, in ms of samples at
   *  the sample period (at least two fetches). 1..60000. */
  int32_t ring_ms;
  /** 1: keep the raw records too (scanmon_read_block can then fill a raw
   *  buffer); 0: processed records only. */
  int32_t keep_raw;
  /** 1: the process runs on the first CPU only while the source is open. */
  int32_t single_cpu;
  /** 1: the process's priority is raised while the source is open. */
  int32_t raise_priority;
  /** 1: the bring-up's messages also go to the standard streams, as the
   *  programs print them; 0: only to scanmon_last_error after a failure. */
  int32_t print_messages;
  /** The calibration file loaded into the card: a path, NUL-terminated. */
  char calibration_file[SCANMON_PATH_BYTES];
} scanmon_scanner_settings;

/** Fills *settings with the defaults: COM1, card 0, 20 us, 1200 in, encoders
 *  4096 and 200, no motor switched, settle 0 ms, fetches of 5000 samples, a
 *  ring of 1000 ms, no raw records, no CPU or priority change, no printing, no
 *  calibration file (one must be named). Sets struct_size. */
SCANMON_API int scanmon_scanner_settings_init(scanmon_scanner_settings* settings);

/** Reads a capture configuration file (the recorder's sixteen lines) into
 *  *settings, over the defaults: port, card, period, range, buffer size as the
 *  fetch size, motor 1 and 2 power, encoders, calibration file, stabilisation
 *  delay as settle_ms, single CPU, write-raw as keep_raw; raise_priority 1 as
 *  the recorder does. The reader echoes each value on standard output as the
 *  tools do. SCANMON_E_SETTINGS when the file cannot be read or a line fails. */
SCANMON_API int scanmon_settings_from_config(const char* path, scanmon_scanner_settings* settings);

/** Reads a properties file (the monitor's key=value lines) into *settings,
 *  over the defaults: laser_serial_port, laser_hsif_board,
 *  laser_sample_period, laser_max_range, calibration_file, and motor
 *  laser_motor_number powered at laser_power_level; settle_ms 5000 (the
 *  monitor's mirror wait). SCANMON_E_SETTINGS when the file cannot be read or
 *  a value is out of range.
 *  Keys the file must have: laser_serial_port (1..255), laser_sample_period
 *  (5..1000000 us), laser_max_range (1..99999 in), laser_motor_number (1..4)
 *  and calibration_file; a missing key reads as 0 (or no file), which is
 *  refused. laser_hsif_board (0..15) and laser_power_level (0..255) read as
 *  0 when missing: the first card, the motor switched at power 0. The other
 *  keys the monitor knows (baud rates, sample lines, gyro, GPS) are read and
 *  not used; any other key is ignored (see scanmon_settings_warnings). */
SCANMON_API int scanmon_settings_from_properties(const char* path,
                                                 scanmon_scanner_settings* settings);

/** Room for a settings reader's warnings, the terminator included. */
#define SCANMON_WARNINGS_BYTES 2048

/** What a settings reader tells beside the settings: the lines it read
 *  otherwise than they were typed ("5O00" read as 5, "2,000,000" as 2,
 *  "20abc" as 20, a key typed wrong and so ignored), as the tools warn of
 *  them (capture-record refuses such a configuration unless told to accept
 *  it; scanmon-preflight lists such properties lines). */
typedef struct scanmon_settings_warnings {
  /** sizeof(scanmon_settings_warnings). */
  uint32_t struct_size;
  /** In: 1 refuses a file with any warning (SCANMON_E_SETTINGS, *settings
   *  unchanged, scanmon_last_error quoting the first warning); 0 reads it
   *  and tells. */
  int32_t refuse;
  /** Out: the number of warnings. */
  int32_t count;
  /** Out: the warnings as the tools print them, each on its line with the
   *  hint lines that follow it ("" for none);
   *  when they do not all fit, the last whole line is followed by "...\n". */
  char text[SCANMON_WARNINGS_BYTES];
} scanmon_settings_warnings;

/** Fills *warnings with the defaults (refuse 0, no warnings). Sets
 *  struct_size. */
SCANMON_API int scanmon_settings_warnings_init(scanmon_settings_warnings* warnings);

/** scanmon_settings_from_config, and the lines read otherwise than typed in
 *  *warnings (null: as scanmon_settings_from_config). With warnings->refuse
 *  1 such a line fails the read. The warnings are filled also when the read
 *  fails for another reason. */
SCANMON_API int scanmon_settings_from_config_checked(const char* path,
                                                     scanmon_scanner_settings* settings,
                                                     scanmon_settings_warnings* warnings);

/** scanmon_settings_from_properties, and the lines read otherwise than typed
 *  in *warnings (null: as scanmon_settings_from_properties): unknown keys,
 *  lines without a key, values that are not numbers or carry text after the
 *  number, keys set twice, lines longer than the reader takes whole. With
 *  warnings->refuse 1 such a line fails the read. */
SCANMON_API int scanmon_settings_from_properties_checked(const char* path,
                                                         scanmon_scanner_settings* settings,
                                                         scanmon_settings_warnings* warnings);

/**@}*/

/* ------------------------------------------------------------------------ */
/** @name Opening and closing sources */
/**@{*/

/** A source: opaque; made by an open function, ended by scanmon_close. */
typedef struct scanmon_source scanmon_source;

/** Opens the scanner: loads the driver, brings the sensor and the card up,
 *  powers the motors as set, and starts the fetch thread, which waits
 *  settle_ms and then starts sampling. Returns once the bring-up is done
 *  (seconds: the card calibrates). On success *source is the new source; on
 *  failure *source is null and everything opened was released (motors off,
 *  line and card closed). */
SCANMON_API int scanmon_open_scanner(const scanmon_scanner_settings* settings,
                                     scanmon_source** source);

/** How a capture is read back. */
typedef struct scanmon_capture_options {
  /** sizeof(scanmon_capture_options). */
  uint32_t struct_size;
  /** 0: as fast as the reader reads; 1: at the recorded pace (each block is
   *  handed out when its time since the first block has come). */
  int32_t paced;
  /** 1: after the last block start again from the first (the blocks' numbers
   *  and times run on as if the acquisition had gone on); 0: SCANMON_END. */
  int32_t loop;
  /** Without a block index: samples per block, 0..SCANMON_MAX_FETCH_SAMPLES;
   *  0 takes the header's buffer size (or 5000 when it has none). With an
   *  index: not used (its blocks are the fetches recorded, none larger than
   *  SCANMON_MAX_FETCH_SAMPLES: an index with a larger block is refused). */
  int32_t block_samples;
  /** 1: read BASE.raw too (SCANMON_E_FILE when it is missing); 0: not. */
  int32_t with_raw;
  /** 1: ignore BASE.idx even when present (blocks as without one). */
  int32_t ignore_index;
} scanmon_capture_options;

/** Fills *options with the defaults: unpaced, not looped, the header's
 *  buffer size, no raw records, the index used when present. */
SCANMON_API int scanmon_capture_options_init(scanmon_capture_options* options);

/** Opens a recorded capture. `base` is the capture's base name (the
 *  configuration's line 13), with or without ".prc": BASE.prc is read, with
 *  BASE.idx when present, and its field map BASE.fields when present
 *  (scanmon_field_get; SCANMON_E_FORMAT when that map is not a good one).
 *  `options` may be null (the defaults).
 *  SCANMON_E_FORMAT for an index whose blocks are out of order (overlapping,
 *  leaving records out, fetch numbers or host times running back), as
 *  capture-info judges it. A capture cut short (the index's last blocks or
 *  the header's count reaching past the records) opens and is read to its
 *  last whole block: scanmon_source_info's cut says so. A header count of 0
 *  (a recorder stopped in its first second) is taken as it is. */
SCANMON_API int scanmon_open_capture(const char* base, const scanmon_capture_options* options,
                                     scanmon_source** source);

/** Room for a remote source's shared key, its terminator included. */
#define SCANMON_REMOTE_KEY_BYTES 257

/** How to read a scanmon-serve server (docs/stream.md). */
typedef struct scanmon_remote_options {
  /** sizeof(scanmon_remote_options). */
  uint32_t struct_size;
  /** 1: ask for the raw records too (SCANMON_E_ARGUMENT at open when the
   *  server's source keeps none); 0: processed records only. */
  int32_t with_raw;
  /** How long connecting and the server's greeting may take, ms (1..600000). */
  int32_t connect_timeout_ms;
  /** The shared key the server was given, NUL-terminated ("" for none). */
  char key[SCANMON_REMOTE_KEY_BYTES];
} scanmon_remote_options;

/** Fills *options with the defaults: processed records only, 5000 ms to
 *  connect, no key. */
SCANMON_API int scanmon_remote_options_init(scanmon_remote_options* options);

/** Connects to a scanmon-serve server at `address` (a dotted IPv4 address,
 *  an IPv6 address bare or in brackets, or a host name, whose addresses are
 *  tried in turn within the connect time-out; added after 1.1.0, which took
 *  a dotted IPv4 address or "localhost" only) and `port`, and reads its blocks: the same read,
 * health and header calls as for the other sources. Blocks start with the next one the server
 * fetches; dropped_before counts the samples the server's ring and this reader's queue at the
 * server lost, first_record the samples this reader received. A read returns SCANMON_END after the
 * server's end message for a stop or the end of its capture (scanmon_last_error quotes it),
 *  SCANMON_E_FETCH when its card stopped delivering, SCANMON_E_CONNECTION when
 *  the connection was lost or the server ended it for another reason; after
 *  that every read returns the same again. The open returns once the server
 *  took this reader: a refusal (reader limit, a wrong key, a server that
 *  ends the stream before taking it) fails the open with
 *  SCANMON_E_CONNECTION (a server from before protocol version 2 refuses a
 *  key only at the first read). A read returns by its time-out even while a
 *  server trickles bytes. `options` may be null (the defaults). Health
 *  figures are made from the blocks received. */
SCANMON_API int scanmon_open_remote(const char* address, uint16_t port,
                                    const scanmon_remote_options* options, scanmon_source** source);

/** Closes a source in any state: a scanner source's fetch thread stops, the
 *  motors it switched are powered off, the serial line and the card are
 *  released and the priority and CPU settings put back; a capture's files are
 *  closed. A null source is SCANMON_OK. The source must not be used again.
 *  SCANMON_E_STATE (nothing closed) while another thread's call on it is
 *  still running: close it after that call has returned. */
SCANMON_API int scanmon_close(scanmon_source* source);

/**@}*/

/* ------------------------------------------------------------------------ */
/** @name Reading */
/**@{*/

/** Waits for the next block, at most timeout_ms (0: do not wait; negative:
 *  wait as long as it takes), and writes its record to *block, its processed
 *  samples to samples[0..count-1] and its raw samples to raw[0..count-1].
 *  `samples` and `raw` may be null (not copied); `capacity` is the number of
 *  records each non-null buffer holds. raw must be null unless the source
 *  keeps raw records (scanmon_source_info.has_raw).
 *  Returns SCANMON_OK; SCANMON_TIMEOUT; SCANMON_END (capture); SCANMON_E_BUFFER
 *  (*block written, nothing consumed); SCANMON_E_FETCH (scanner, after the
 *  last block fetched); SCANMON_E_FILE or SCANMON_E_FORMAT (capture: every
 *  later read returns the same). */
SCANMON_API int scanmon_read_block(scanmon_source* source, int32_t timeout_ms, scanmon_block* block,
                                   scanmon_sample* samples, scanmon_raw_sample* raw,
                                   uint32_t capacity);

/** The sample clock's view of the last block read: when its samples were
 *  taken, and how far to trust that. Every source has one clock, fitted by the
 *  library from what every source delivers (each block's sample numbers and its
 *  fetch's return), the same for a scanner, a capture read with its block index
 *  and a remote source (there: the server's fetch times); Python's Timeline
 *  computes the same times from a block index.
 *
 *  The card does not stamp its samples. A fetch returns after its last sample
 *  was taken, late by a delay that varies, never early: the clock fits the
 *  lower envelope of the returns, following the card's slowly drifting rate.
 *  Sample k of the block was taken at first_mono_ns + k * period_ns, host
 *  monotonic ns. Times strictly increase within a run; consecutive samples are
 *  one period apart; between blocks they jump only over missing samples, by
 *  their number of periods.
 *
 *  Trust, once locked: the spacing is the card's own to a few ppm; each time
 *  is late by the host's least fetch-return delay (the driver's wake-up and
 *  copy, constant over a run: tens of microseconds on an idle Linux host), and
 *  off by at most the residual spread beside it. A gap of samples the card
 *  lost (not numbered) is sized from the returns after it: within their least
 *  delay. While settling (the first 20 s of a run, and after a loss that
 *  moved the times by over 1 ms) times may be off by up to the fetch delays,
 *  their spacing by up to 1 % from the fitted period. Without fetch times (a
 *  capture without block index) the times are the sample period's from the
 *  first record (clock_state SCANMON_CLOCK_NOMINAL). */
typedef struct scanmon_block_times {
  /** sizeof(scanmon_block_times). */
  uint32_t struct_size;
  /** SCANMON_CLOCK_NONE (no block read yet), _SETTLING, _LOCKED, _NOMINAL. */
  int32_t clock_state;
  /** The block these times are for (its sequence and first_sample). */
  uint64_t sequence;
  uint64_t first_sample;
  /** When the block's first sample was taken: host monotonic ns (the clock of
   *  scanmon_block.mono_ns), and host UTC ns since 1970 (0: the block has no
   *  UTC time), the latter through the block's own UTC-to-monotonic offset. */
  int64_t first_mono_ns;
  int64_t first_utc_ns;
  /** The time from one sample of this block to the next, ns. */
  double period_ns;
  /** Samples missing before this block: by their numbers (dropped), and those
   *  the card lost unnumbered, estimated from the times. */
  uint64_t missing_numbered;
  uint64_t missing_estimated;
  /** The fit: samples per second on the host's clock, the card's drift
   *  against its nominal period (ppm, positive: fast). */
  double rate_hz;
  double drift_ppm;
  /** How late the fetch returns in the fit's window came after the envelope,
   *  ns: median, 99th percentile, maximum (the delay's spread). */
  double residual_median_ns;
  double residual_p99_ns;
  double residual_max_ns;
  /** Returns in the fit's window (at most 256). */
  uint32_t window_blocks;
  /** 1 on the first block of a run (the times start afresh). */
  int32_t run_start;
  /** Host ns from the run's first fetch return to locking; -1: not yet. */
  int64_t lock_after_ns;
  /** Samples the card lost unnumbered in this run so far, as the returns
   *  tell by now (the sum of missing_estimated, lowered as later returns
   *  show fewer). */
  uint64_t lost_samples_total;
} scanmon_block_times;

#define SCANMON_CLOCK_NONE 0
#define SCANMON_CLOCK_SETTLING 1
#define SCANMON_CLOCK_LOCKED 2
#define SCANMON_CLOCK_NOMINAL 3

/** Fills *times for the last block scanmon_read_block returned with
 *  SCANMON_OK (set times->struct_size first). Before any block: clock_state
 *  SCANMON_CLOCK_NONE, the rest 0. */
SCANMON_API int scanmon_block_times_get(scanmon_source* source, scanmon_block_times* times);

/** One revolution of the scan mirror: from an index mark to the sample before
 *  the next, timed by the source's sample clock. */
typedef struct scanmon_revolution {
  /** sizeof(scanmon_revolution). */
  uint32_t struct_size;
  /** SCANMON_REVOLUTION_* flags; 0: a complete revolution. */
  uint32_t flags;
  /** Revolutions since the reader opened, from 0 (those skipped count too). */
  uint64_t number;
  /** Number of its first sample (scanmon_block.first_sample's count). */
  uint64_t first_sample;
  /** Samples handed over, and those its times span: count and the samples
   *  missing inside it (dropped, and lost as the sample clock sizes them). */
  uint32_t count;
  uint32_t expected;
  /** When its first sample was taken: host monotonic ns, host UTC ns (0:
   *  unknown). */
  int64_t start_mono_ns;
  int64_t start_utc_ns;
  /** From its first sample to the next revolution's (a cut one: to one period
   *  after its last sample), ns; revolutions per second at that duration;
   *  count / expected. */
  double duration_ns;
  double rate_hz;
  double completeness;
} scanmon_revolution;

/** Revolution flag: the card lost data inside it. */
#define SCANMON_REVOLUTION_LOST_DATA 0x1u
/** Revolution flag: samples were dropped inside it (the reader was behind). */
#define SCANMON_REVOLUTION_DROPPED 0x2u
/** Revolution flag: it began at the start of the run, not at an index mark. */
#define SCANMON_REVOLUTION_CUT_START 0x4u
/** Revolution flag: it ended at the end of the run (the source's end or a new
 *  run of times). */
#define SCANMON_REVOLUTION_CUT_END 0x8u
/** Revolution flag: no index mark came for max_samples samples (a stopped
 *  mirror): it ended there, or began there after one that did. */
#define SCANMON_REVOLUTION_NO_INDEX 0x10u

/** How revolutions are read. */
typedef struct scanmon_revolution_options {
  /** sizeof(scanmon_revolution_options). */
  uint32_t struct_size;
  /** 1: complete revolutions only (flags 0); 0: every one with its flags. */
  int32_t complete_only;
  /** The most samples a revolution holds: one without an index mark ends
   *  there (SCANMON_REVOLUTION_NO_INDEX). 0: one second of samples at the
   *  source's period. At most 10000000. */
  uint32_t max_samples;
} scanmon_revolution_options;

/** Fills *options with the defaults: every revolution, at most one second. */
SCANMON_API int scanmon_revolution_options_init(scanmon_revolution_options* options);

/** A revolution reader: opaque; reads its source's blocks itself (read no
 *  blocks from the source while it is open). */
typedef struct scanmon_revolution_reader scanmon_revolution_reader;

/** Opens a revolution reader over any open source; its buffers (max_samples
 *  and the source's largest block) are had here, none later. `options` may
 *  be null (the defaults). */
SCANMON_API int scanmon_open_revolutions(scanmon_source* source,
                                         const scanmon_revolution_options* options,
                                         scanmon_revolution_reader** reader);

/** The next revolution into *revolution and its samples into
 *  samples[0..count-1] (null: not copied; capacity: the records it holds).
 *  SCANMON_OK; SCANMON_E_BUFFER (*revolution written, it stays the next);
 *  SCANMON_TIMEOUT (no block came: call again, nothing is lost);
 *  SCANMON_END after the last (cut) revolution of a capture; the source's
 *  failures as scanmon_read_block returns them. */
SCANMON_API int scanmon_read_revolution(scanmon_revolution_reader* reader, int32_t timeout_ms,
                                        scanmon_revolution* revolution, scanmon_sample* samples,
                                        uint32_t capacity);

/** Closes the reader (not its source). A null reader is SCANMON_OK. */
SCANMON_API int scanmon_close_revolutions(scanmon_revolution_reader* reader);

/** What a source is. */
typedef struct scanmon_source_info {
  /** sizeof(scanmon_source_info). */
  uint32_t struct_size;
  /** SCANMON_SOURCE_SCANNER, SCANMON_SOURCE_CAPTURE or SCANMON_SOURCE_REMOTE. */
  int32_t kind;
  /** 1 when blocks come with raw records. */
  int32_t has_raw;
  /** 1 for a capture read with its block index. */
  int32_t has_index;
  /** The most samples one block can hold: a buffer of this many always fits. */
  uint32_t max_block_samples;
  /** The sample period, microseconds. */
  uint32_t sample_period_us;
  /** Samples the ring holds (scanner); 0 for a capture. */
  uint64_t ring_samples;
  /** Records in the capture (0 for a scanner): the whole records its files
   *  hold (with raw records: the fewer of the two files'). */
  uint64_t records;
  /* Added after 1.1.0: a struct_size of 40 (the struct up to here) is still served. */
  /** The records the capture should hold, by its header's count or its
   *  index's blocks, whichever is more (0: not known: a header count of 0,
   *  which the recorder writes until its first records are on the disk, and
   *  no index). */
  uint64_t records_expected;
  /** 1 when the files hold fewer whole records than records_expected: the
   *  capture was cut (a recorder's crash, a copy stopped short). It is read
   *  up to the last whole block; the text of the SCANMON_END says so too. */
  int32_t cut;
  /** 1 when the block index ends inside a block record (not read). */
  int32_t index_cut;
} scanmon_source_info;

#define SCANMON_SOURCE_SCANNER 1
#define SCANMON_SOURCE_CAPTURE 2
#define SCANMON_SOURCE_REMOTE 3

/** Fills *info (set info->struct_size first). */
SCANMON_API int scanmon_source_info_get(scanmon_source* source, scanmon_source_info* info);

/**@}*/

/* ------------------------------------------------------------------------ */
/** @name Field maps: names for the driver's bytes (docs/fields.md) */
/**@{*/

/** Room for a field's name and unit, their terminators included. */
#define SCANMON_FIELD_NAME_BYTES 36
#define SCANMON_FIELD_UNIT_BYTES 20

/** A field's type in the record (little-endian). */
#define SCANMON_FIELD_U8 0
#define SCANMON_FIELD_I8 1
#define SCANMON_FIELD_U16 2
#define SCANMON_FIELD_I16 3
#define SCANMON_FIELD_U32 4
#define SCANMON_FIELD_I32 5
#define SCANMON_FIELD_U64 6
#define SCANMON_FIELD_I64 7
#define SCANMON_FIELD_F32 8
#define SCANMON_FIELD_F64 9

/** One field of a source's field map. */
typedef struct scanmon_field {
  /** sizeof(scanmon_field). */
  uint32_t struct_size;
  /** Its first byte in the 64-byte sample, and its size in bytes. */
  uint32_t offset;
  uint32_t size;
  /** SCANMON_FIELD_U8 .. SCANMON_FIELD_F64. */
  int32_t type;
  /** Value = the stored number x scale. */
  double scale;
  /** NUL-terminated; unit "" when the map gives none. */
  char name[SCANMON_FIELD_NAME_BYTES];
  char unit[SCANMON_FIELD_UNIT_BYTES];
} scanmon_field;

/** Gives the source the field map in the file at `path` (replacing the one it
 *  had), or none when `path` is null. A capture source takes BASE.fields by
 *  itself when it is there (and its open fails with SCANMON_E_FORMAT when
 *  that file is not a good map). SCANMON_E_FILE: the file cannot be read;
 *  SCANMON_E_FORMAT: it is not a good map (the text names the file and the
 *  line); the source keeps its earlier map then. */
SCANMON_API int scanmon_fields_load(scanmon_source* source, const char* path);

/** The number of fields in the source's map: 0 without a map. */
SCANMON_API int scanmon_field_count(scanmon_source* source, uint32_t* count);

/** Field `index` (0 .. count-1) of the map into *field (set
 *  field->struct_size first). */
SCANMON_API int scanmon_field_info(scanmon_source* source, uint32_t index, scanmon_field* field);

/** The index of the field called `name`; SCANMON_E_ARGUMENT when the map
 *  names none so (or the source has no map). */
SCANMON_API int scanmon_field_find(scanmon_source* source, const char* name, uint32_t* index);

/** The value of field `index` in `sample` (its stored number x scale). A
 *  64-bit integer beyond 2^53 loses its last digits. */
SCANMON_API int scanmon_field_value(scanmon_source* source, uint32_t index,
                                    const scanmon_sample* sample, double* value);

/** The same for samples[0 .. count-1] into values[0 .. count-1]: a block's
 *  worth in one call. */
SCANMON_API int scanmon_field_values(scanmon_source* source, uint32_t index,
                                     const scanmon_sample* samples, uint32_t count, double* values);

/** The value of the field called `name` in `sample`: scanmon_field_find and
 *  scanmon_field_value in one call. */
SCANMON_API int scanmon_field_get(scanmon_source* source, const char* name,
                                  const scanmon_sample* sample, double* value);

/**@}*/

/* ------------------------------------------------------------------------ */
/** @name Health and capture header */
/**@{*/

/** The health figures of the samples read so far (a scanner: fetched so
 *  far), as the monitor's status line and the recorder show them, and the
 *  source's own counts. Rates are revolutions per second; a figure whose
 *  *_known is 0 is 0. */
typedef struct scanmon_health {
  /** sizeof(scanmon_health). */
  uint32_t struct_size;
  /** 1 when a mirror revolution ended in the last second of samples. */
  int32_t rate_known;
  /** Mirror rate over the revolutions of the last second: mean, slowest,
   *  fastest. */
  double rate_mean;
  double rate_min;
  double rate_max;
  /** Samples and fetches per second of wall clock (rates_known 1 after one
   *  second). A capture source read at its recorded pace counts them against
   *  the reader's clock; read as fast as possible they would measure only
   *  the disk, so rates_known stays 0 there. */
  double samples_per_s;
  double fetches_per_s;
  /** The latest sample's angle, radians (angle_known). */
  double last_angle;
  /** Over the whole run: mirror rate mean, slowest, fastest revolution
   *  (total_rate_known). */
  double total_rate_mean;
  double total_rate_min;
  double total_rate_max;
  /** Wall clock from the first fetch to the last, seconds (run_s_known; a
   *  capture source: the reader's clock, at the recorded pace only). */
  double run_s;
  /** Fetches and samples taken, the fetches on which the card reported lost
   *  data, index marks seen: over the whole run. */
  uint64_t fetches;
  uint64_t samples;
  uint64_t lost_events;
  uint64_t index_marks;
  /** Blocks and samples handed to the reader. */
  uint64_t blocks_read;
  uint64_t samples_read;
  /** Samples dropped because the reader was behind, and how many times
   *  dropping began. */
  uint64_t samples_dropped;
  uint64_t drop_events;
  /** The most the ring has held, in samples, and its size. */
  uint64_t ring_peak_samples;
  uint64_t ring_samples;
  int32_t rates_known;
  int32_t angle_known;
  /** No index mark for over a second of samples: the mirror stands, or its
   *  index is not seen. */
  int32_t no_index_warning;
  /** The last second's mean rate is more than 5 % off the running mean. */
  int32_t rate_warning;
  int32_t total_rate_known;
  /** 1 once sampling has started (a scanner: after the settle wait). */
  int32_t sampling;
  /* Added after 1.1.0: a struct_size of 192 (the struct up to here) is still served. */
  /** 1 when run_s is a measured time: a scanner or remote source after its
   *  first block, a capture source read at its recorded pace after its first
   *  block; 0 when run_s is 0 for want of a clock (an unpaced capture). */
  int32_t run_s_known;
  /** 0. */
  int32_t reserved_0;
} scanmon_health;

/** Fills *health (set health->struct_size first). Any time, any state. */
SCANMON_API int scanmon_health_get(scanmon_source* source, scanmon_health* health);

/** The settings a capture was taken with (its file header), or for a scanner
 *  the header a capture of it would carry. */
typedef struct scanmon_capture_header {
  /** sizeof(scanmon_capture_header). */
  uint32_t struct_size;
  /** Header version (3 for files this system writes). */
  uint32_t version;
  uint32_t sample_period_us;
  uint32_t max_range_in;
  /** Samples per fetch. */
  uint32_t buf_size;
  /** Samples the file holds (a scanner: 0). */
  uint32_t num_samples;
  int32_t calibration_value;
  int32_t motor1_encoder_ppr;
  int32_t motor2_encoder_ppr;
  uint32_t motor1_power;
  uint32_t motor2_power;
  uint32_t com_port;
  uint32_t card_number;
  /** SCANMON_MODEL_50KHZ, SCANMON_MODEL_200KHZ or SCANMON_MODEL_UNKNOWN. */
  uint32_t sensor_model;
  /** The calibration file's name, always NUL-terminated here. */
  char cal_file[SCANMON_PATH_BYTES];
} scanmon_capture_header;

#define SCANMON_MODEL_50KHZ 0
#define SCANMON_MODEL_200KHZ 1
#define SCANMON_MODEL_UNKNOWN 255

/** Fills *header (set header->struct_size first). */
SCANMON_API int scanmon_capture_header_get(scanmon_source* source, scanmon_capture_header* header);

/**@}*/

#ifdef __cplusplus
}
#endif

#endif /* SCANMON_SCANMON_H */
