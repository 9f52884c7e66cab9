// The program's own serial port channel: a numbered port (COM<n>) opened for
// overlapped transfers, its line set-up, and the reads and writes on it. Every
// operation works on a SerialPort record (hsif/driver_records.h), the same
// record the card's driver fills in HsifOpenPort, and ClosePort releases
// either.
//
// A record's storage belongs to the caller and must start zero-filled (static
// storage, or `SerialPort port{}`): the channel closes the event handles a
// record holds before it makes new ones, and a zero slot means "none".
//
// Results: 1 or a platform boolean for success, 0 for failure, unless stated.
// Nothing here prints.
#pragma once

#include <cstdint>

#include "hsif/driver_records.h"

// The result of a read that gave up because no byte came in time.
inline constexpr int kReadIdleTimeout = 0xFFFFFF;
// The result of AsciiReadLine when the buffer filled before a line feed came.
inline constexpr int kReadLineFull = 0xFFFFFE;

// FormatBounded's results, as the platform writes them.
inline constexpr std::uint32_t kFormatOk = 0;
inline constexpr std::uint32_t kFormatInvalidArgument = 0x80070057u;
inline constexpr std::uint32_t kFormatBufferTooSmall = 0x8007007Au;

// The program-wide default record, zero-filled at start. Usable only after a
// caller has opened it with OpenPort.
extern SerialPort DefaultPort;

// --- Open and configure ---------------------------------------------------

// Stores the record's defaults (aux_flag 1, is_open 1, aux3-aux5 1, data_bits
// 8, handshake 4, baud_rate 9600, the other option fields 0, both overlapped
// offsets 0) and creates the two completion events (unnamed, manual reset, not
// signalled): the read event into read_overlapped, the write event into
// write_overlapped. `handle`, `dcb` and the driver areas are not touched; the
// events the record held are replaced, not closed.
// Returns 1, or -1 when an event could not be made: then neither block carries
// an event (slots 0) and no event of this call stays open.
int InitPortRecord(SerialPort* port);

// Sets the line of an open `port->handle` to `baud_rate` bit/s, 8 data bits,
// no parity, one stop bit, binary, DTR and RTS disabled, no flow control
// (handshake is reset to 4 first), XON 0x11 / XOFF 0x13, limits 10 bytes.
// Closes the record's earlier pair of events and makes a fresh one
// (InitPortRecord, whose result is not looked at). Returns SetCommState's
// result: non-zero when the port took the settings.
int ConfigureLine(SerialPort* port, std::int32_t baud_rate);

// Opens COM<port_number> for overlapped transfers, sets event mask EV_RXCHAR,
// queues of 4096 bytes, empties both queues, sets time-outs under which a read
// returns at once with what has arrived and a write gives up after 1000 ms,
// configures the line (ConfigureLine), raises DTR and empties the queues again.
// Returns non-zero when the port is open and configured (is_open 1). Returns 0
// when the port cannot be opened (handle -1, nothing else changed) or refuses
// the line settings (its handle and the new events closed, handle -1,
// is_open 0).
int OpenPort(SerialPort* port, std::int32_t baud_rate, std::int32_t port_number);

// Releases a serial port record, whoever filled it (this channel or the
// driver's HsifOpenPort): is_open = 0, event mask cleared, DTR dropped, both
// directions aborted and purged, handle closed (the slot keeps the closed
// value). The two transfer events are closed too, when their slots hold one,
// and the slots zeroed, so that a release never leaks them and never closes one
// twice; a record therefore starts zero-filled. The results of the platform
// calls are not looked at; always returns 1.
int ClosePort(SerialPort* port);

// PurgeComm(handle, flags); returns its result.
int PurgePort(SerialPort* port, std::uint32_t flags);

// printf into `dest` of `capacity` characters (terminator included), never
// writing past it. Returns kFormatOk; kFormatBufferTooSmall when the text was
// cut to capacity - 1 characters (or formatting failed), terminated in the
// last character; kFormatInvalidArgument, writing nothing, when capacity is 0
// or above 0x7FFFFFFF.
#if defined(__GNUC__)
#define SCANMON_FORMAT_CHECK __attribute__((format(printf, 3, 4)))
#else
#define SCANMON_FORMAT_CHECK
#endif
std::uint32_t FormatBounded(char* dest, std::uint32_t capacity, const char* format,
                            ...) SCANMON_FORMAT_CHECK;

// --- Transfers ------------------------------------------------------------
// The reads poll the input queue (ClearCommError), take what they need, and
// wait 10 ms between empty polls. They give up with kReadIdleTimeout when the
// line stays silent too long, or at once when the poll itself fails (the line
// vanished, or the handle is not a serial line); bytes stored before stay in
// the buffer. A request the platform leaves pending is waited for and its
// bytes counted, so no request outlives the call.

// Counted read into `buffer` (room for `count` bytes). exact != 0: waits for
// exactly `count` bytes and returns `count`, or kReadIdleTimeout once 601
// empty polls in a row have passed and the 602nd is empty too (about 6 s of
// silence). exact == 0: takes what is waiting, at most `count`, and returns the
// number of bytes read, 0 when nothing was waiting (after one 10 ms wait); it
// never times out (a failed poll returns the bytes read so far). 0 when
// count is 0.
int ReadPort(SerialPort* port, void* buffer, std::uint32_t count, int exact);

// ReadPort(port, buffer, count, 1).
int AsciiRead(SerialPort* port, char* buffer, std::uint32_t count);

// Reads one line, a byte per request, into `buffer` of `length` bytes. The
// line feed is stored as 0 and not counted; with strip_cr != 0 each carriage
// return is stored as 0 and not counted. Returns the count of characters kept
// before the line feed; kReadIdleTimeout when the silence since the last byte,
// in 10 ms steps, exceeds timeout_ms (at the first empty poll when timeout_ms
// is 0 or negative); kReadLineFull when length - 1 bytes came without a line
// feed: the buffer is then terminated at length - 1 and the rest of the line
// stays queued for the next call (as fgets does). 0 when length is 0 (nothing
// written).
int AsciiReadLine(SerialPort* port, char* buffer, std::uint32_t length, int strip_cr,
                  std::int32_t timeout_ms);

// Reads exactly `length` bytes, a byte per request, under the idle budget of
// AsciiReadLine. Returns `length`, kReadIdleTimeout, or 0 when length is 0.
int BinaryReadBytes(SerialPort* port, void* buffer, std::uint32_t length, std::int32_t timeout_ms);

// Writes `length` bytes with the record's write block. Returns 1 when all of
// them were written (at once or after waiting for the request); 0 when the
// write failed, or the 1000 ms write time-out cut it short; the line's error
// state is then cleared.
int WritePort(SerialPort* port, const void* data, std::uint32_t length);

// WritePort with the text's length (terminator not sent); an empty text makes a
// write request of 0 bytes.
int SendStr(SerialPort* port, const char* text);

// Writes the first `length` bytes of `data` and returns their sum, each byte
// taken as 0 to 255, whatever the write gave. A negative length sums and
// writes nothing and returns 0.
int SendBinary(SerialPort* port, const void* data, std::int32_t length);

// Writes `text` on DefaultPort; `port` is not used. 1 when WritePort gave
// non-zero, else 0 (also while DefaultPort was never opened).
int SendStrDefault(SerialPort* port, const char* text);
