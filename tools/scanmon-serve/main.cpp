// scanmon-serve: runs one source of the scanner library (the scanner, or a
// capture played back) and sends every block to every reader connected over
// TCP, in the protocol of docs/stream.md. This file is the command line, the
// stop signal and the calls; the server itself (the ring, the readers, the poll
// loop) is serve/server.h, the key and the choice of source serve/serve_inputs.h.
#include <cstdint>
#include <cstdio>

#include "cli/command_line.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "scanmon/scanmon.h"
#include "serve/http_server.h"
#include "serve/serve_inputs.h"
#include "serve/server.h"
#include "stream/net.h"
#include "stream/stream_protocol.h"

namespace {

// Exit statuses, as the recorder's where they mean the same: 1 settings, the
// source, the address; the others are how the server's run ended
// (serve::RunEnd: 0 a capture played to its end, 3 stopped by the operator,
// 6 the card stopped delivering).
constexpr int kExitSetup = 1;

constexpr std::uint16_t kDefaultPort = 7464;
constexpr char kQuitKey = 'x';

const ProgramText kProgram = {
    "scanmon-serve",
    "Usage: scanmon-serve [OPTIONS] CONFIG\n"
    "       scanmon-serve [OPTIONS] --capture BASE [--pace] [--loop]\n",
    "\n"
    "Runs one scanner source and sends every block of it to every reader\n"
    "connected over TCP (the protocol is docs/stream.md). CONFIG is a capture\n"
    "configuration as capture-record takes it, or a properties file as the\n"
    "monitor takes it (a file whose first line holds '='). With --capture the\n"
    "recorded capture BASE is played back instead. Readers only read: nothing\n"
    "they send changes the scanner. 'x', Ctrl-C or SIGTERM stop the server: the\n"
    "readers get an end message, then the motors are off and the card released.\n"
    "\n"
    "Options:\n"
    "  --listen ADDRESS:PORT  where readers connect (default 127.0.0.1:7464): an\n"
    "                         IPv4 address, [IPv6] or a name of this machine;\n"
    "                         another address than the loopback only when named\n"
    "                         (0.0.0.0 or [::]: every interface); port 0 picks a\n"
    "                         free one, named in the 'Listening on' line\n"
    "  --key-file FILE        readers must present the key in FILE (its first\n"
    "                         line); without it SCANMON_SERVE_KEY is the key\n"
    "                         when set\n"
    "  --max-readers N        readers at once, 1..64 (default 8); more are refused\n"
    "  --http ADDRESS:PORT    where the status page (/), /metrics and /status.json\n"
    "                         are answered (default: the --listen address at its\n"
    "                         port + 1, 7465 beside 7464; port 0 picks one, named\n"
    "                         in the 'Listening for HTTP on' line); with a key,\n"
    "                         every request wants it\n"
    "  --no-http              no HTTP at all\n"
    "  --fields FILE          the field map (docs/fields.md) naming the driver's\n"
    "                         bytes: with a \"range\" field the page draws the\n"
    "                         scan line (a capture's BASE.fields is taken by\n"
    "                         itself)\n"
    "  --capture BASE         play back the capture BASE.prc instead of the scanner\n"
    "  --pace                 at the recorded pace (default: as fast as read)\n"
    "  --loop                 start the capture again at its end\n"
    "  --help                 show this text\n"
    "  --version              show the version\n"
    "\n"
    "Each reader has a queue of 32 blocks: a reader that falls behind loses\n"
    "blocks (counted in what it receives next), and one behind for 10 s is told\n"
    "so and disconnected. A reader must send its greeting within 5 s. A capture\n"
    "without --pace goes as fast as the slowest reader takes it, and waits for\n"
    "a first reader.\n"
    "\n"
    "Exit status: 0 the capture played to its end, 1 settings, source or address\n"
    "failed, 2 usage error, 3 stopped by the operator, 6 the card stopped\n"
    "delivering.\n"};

enum Option { kListen, kKeyFile, kMaxReaders, kCapture, kPace, kLoop, kHttp, kNoHttp, kFields };
const OptionEntry kOptions[] = {
    {"--listen", "ADDRESS:PORT"}, {"--key-file", "FILE"}, {"--max-readers", "N"},
    {"--capture", "BASE"},        {"--pace", nullptr},    {"--loop", nullptr},
    {"--http", "ADDRESS:PORT"},   {"--no-http", nullptr}, {"--fields", "FILE"}};

struct Options {
  const char* listen = "127.0.0.1";
  const char* key_file = nullptr;
  int max_readers = serve::kDefaultMaxReaders;
  const char* capture = nullptr;
  bool pace = false;
  bool loop = false;
  const char* http = nullptr;  // nullptr: beside the stream
  bool no_http = false;
  const char* fields = nullptr;
  const char* config = nullptr;
};

int ParseOptions(int argc, char** argv, Options* o) {
  CommandLine line = StartCommandLine(kProgram, kOptions, argc, argv);
  ArgStep step;
  for (ArgKind kind;
       (kind = NextOptionOfOne(&line, &step, "CONFIG", &o->config)) != ArgKind::kEnd;) {
    if (kind == ArgKind::kExit) return line.exit_status;
    std::int64_t value = 0;
    switch (step.option) {
      case kListen:
        o->listen = step.text;
        break;
      case kKeyFile:
        o->key_file = step.text;
        break;
      case kMaxReaders:
        if (!ParseNumberArgument(&line, "--max-readers", step.text, 1, serve::kMostReaders,
                                 &value)) {
          return line.exit_status;
        }
        o->max_readers = static_cast<int>(value);
        break;
      case kCapture:
        o->capture = step.text;
        break;
      case kPace:
        o->pace = true;
        break;
      case kLoop:
        o->loop = true;
        break;
      case kHttp:
        o->http = step.text;
        break;
      case kNoHttp:
        o->no_http = true;
        break;
      case kFields:
        o->fields = step.text;
        break;
      default:
        break;
    }
  }
  if ((o->config == nullptr) == (o->capture == nullptr)) {
    return UsageError(&line, "give either CONFIG or --capture BASE");
  }
  if (o->http != nullptr && o->no_http) {
    return UsageError(&line, "--http and --no-http exclude each other");
  }
  if ((o->pace || o->loop) && o->capture == nullptr) {
    return UsageError(&line, "--pace and --loop go with --capture");
  }
  return -1;
}

bool StopAsked() {
  if (platform::StopRequested()) return true;
  while (win::_kbhit() != 0) {
    if (win::_getch() == kQuitKey) return true;
  }
  return false;
}

// The HTTP side on host:port. Asked for with --http, a failure is the
// server's; beside the stream by default, it is said and the stream goes on.
bool StartHttp(serve::HttpServer* http, serve::Server* server, const char* host, std::uint16_t port,
               bool asked, const char* key, std::size_t key_bytes) {
  serve::HttpLimits limits;
  char bound[96];
  char error[160];
  if (!http->Start(
          host, port, limits, key, key_bytes,
          [server, http](serve::StatusSnapshot* s) {
            server->CopyStatus(s);
            s->http_requests = http->Requests();
            s->http_refused = http->Refused();
          },
          bound, sizeof bound, error, sizeof error)) {
    std::fprintf(stderr, "scanmon-serve: cannot answer HTTP on %s:%u: %s%s\n", host,
                 static_cast<unsigned>(port), error,
                 asked ? "" : "; going on without it (--http names another address)");
    return !asked;
  }
  std::printf("Listening for HTTP on %s (/, /metrics, /status.json; %d clients at most%s)\n", bound,
              limits.max_clients, key != nullptr ? ", key required" : "");
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = ParseOptions(argc, argv, &options);
  if (parsed >= 0) return parsed;
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  platform::InstallStopHandlers();

  char host[256];
  std::uint16_t port = 0;
  if (!stream::SplitListenAddress(options.listen, kDefaultPort, true, host, sizeof host, &port)) {
    std::fprintf(stderr,
                 "scanmon-serve: --listen wants ADDRESS:PORT (a dotted IPv4 address, an IPv6 "
                 "address in brackets or a name of this machine), not '%s'\n",
                 options.listen);
    return kExitUsage;
  }
  // HTTP beside the stream: its address, the next port (a port the system
  // picks when the stream's is picked or the last).
  char http_host[256];
  std::uint16_t http_port = port == 0 || port == 65535 ? 0 : static_cast<std::uint16_t>(port + 1);
  std::snprintf(http_host, sizeof http_host, "%s", host);
  if (options.http != nullptr &&
      !stream::SplitListenAddress(options.http, http_port, true, http_host, sizeof http_host,
                                  &http_port)) {
    std::fprintf(stderr,
                 "scanmon-serve: --http wants ADDRESS:PORT (a dotted IPv4 address, an IPv6 "
                 "address in brackets or a name of this machine), not '%s'\n",
                 options.http);
    return kExitUsage;
  }
  serve::ReaderKey key;
  if (!serve::ReadReaderKey(options.key_file, &key)) return kExitSetup;
  const char* key_text = key.present ? key.bytes : nullptr;

  scanmon_source* source = nullptr;
  int status;
  if (options.capture != nullptr) {
    scanmon_capture_options capture;
    scanmon_capture_options_init(&capture);
    capture.paced = options.pace ? 1 : 0;
    capture.loop = options.loop ? 1 : 0;
    // The raw records are offered when BASE.raw lies beside the capture.
    capture.with_raw = serve::HasRawFile(options.capture) ? 1 : 0;
    status = scanmon_open_capture(options.capture, &capture, &source);
    if (status != SCANMON_OK && capture.with_raw != 0) {
      std::fprintf(stderr, "scanmon-serve: %s; serving without raw records\n",
                   scanmon_last_error());
      capture.with_raw = 0;
      status = scanmon_open_capture(options.capture, &capture, &source);
    }
  } else {
    scanmon_scanner_settings settings;
    status = serve::LooksLikeProperties(options.config)
                 ? scanmon_settings_from_properties(options.config, &settings)
                 : scanmon_settings_from_config(options.config, &settings);
    if (status == SCANMON_OK) {
      settings.print_messages = 1;
      std::fprintf(stderr, "Bringing the scanner up ('x' or Ctrl-C stops once it is up)\n");
      status = scanmon_open_scanner(&settings, &source);
    }
  }
  if (status == SCANMON_OK && options.fields != nullptr) {
    status = scanmon_fields_load(source, options.fields);
    if (status != SCANMON_OK) {
      std::fprintf(stderr, "scanmon-serve: %s\n", scanmon_last_error());
      scanmon_close(source);
      return kExitSetup;
    }
  }
  if (status != SCANMON_OK) {
    std::fprintf(stderr, "scanmon-serve: %s\n", scanmon_last_error());
    return kExitSetup;
  }
  // From here on one path out: the readers get their end frame, then the
  // source is closed (motors off, line and card released).
  platform::EnableFirmStop();
  int exit_status = kExitSetup;
  {
    serve::ServerOptions core;
    core.max_readers = options.max_readers;
    core.as_fast_as_read = options.capture != nullptr && !options.pace;
    serve::Server server(source, core);
    // After the server, so ended before it: the HTTP side reads its figures.
    // Started first: once the stream's network thread runs, only Run ends it.
    serve::HttpServer http;
    if ((options.no_http || StartHttp(&http, &server, http_host, http_port, options.http != nullptr,
                                      key_text, key.length)) &&
        server.Start(host, port, key_text, key.length)) {
      std::fprintf(stderr, "Serving ('x' or Ctrl-C stops)\n");
      exit_status = static_cast<int>(server.Run(StopAsked));
    }
    http.Stop();
  }
  scanmon_close(source);
  return exit_status;
}
