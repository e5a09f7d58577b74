#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <httplib.h>

namespace tesmo {

class ConnectionScheduler;
struct ReadRequest;
enum class AfterAnswer : int;

// The library's server with its connection handling replaced, so that clients that send slowly,
// come in bursts or frame their requests badly cost no worker and reach no route:
// - One watcher thread reads every connection without blocking until it holds a whole request:
//   its head (at most 64 KiB in at most 100 header lines of at most 8 KiB) and the body that the
//   head announces (at most `maxBodyBytes`, by "Content-Length" or chunked). Only then does a
//   worker serve it, replayed from memory; a connection waiting for its first or next request
//   holds no worker either.
// - The watcher refuses a request it can tell is bad from its head before a byte of the body is
//   read, and says "100 Continue" to the others that ask for it: conflicting framing (two
//   different "Content-Length" values, or one with "Transfer-Encoding"), malformed lines and a
//   path holding a NUL get 400, a body longer than `maxBodyBytes` 413, a request line over 8 KiB
//   414, a compressed body 415, too many or too long headers 431, a transfer coding other than
//   chunked 501.
// - A request must arrive whole within 5 s, its bytes coming at least every 3 s (else 408); a
//   connection waits 2 s for its next request.
// - At most 256 connections wait for a request. While that many wait, no more are accepted (the
//   listen backlog holds them) until one is served or may be closed: one that has been answered
//   and waits for its next request, or the one that has waited longest (with 503 if it has begun
//   a request) once it has waited 1 s, or at once during a flood (from the moment the backlog
//   holds more than a burst would leave there, and for a second after). A whole request waits up
//   to 1 s for a worker, and at most 256 wait; beyond that, 503.
// - Every refusal, the library's and the routes' answers of status 400 and above included, says
//   "Connection: close" and ends the connection; what the client still sends is read and
//   dropped for a second, so that the answer is not lost to a reset.
// - Only static files honour "Range", with one range of bytes: 206 with the part clipped to the
//   file, 416 with "Content-Range: bytes */SIZE" past its end; several ranges, another unit or a
//   malformed value give the whole file. The routes' answers ignore it.
//
// Threads: the library's accepting thread, the watcher and 64 workers, which run the handlers.
//
//   ControlServer server(/*maxBodyBytes=*/1 << 20);
//   server.Get("/status", handler);
//   std::thread listening([&] { server.listen("127.0.0.1", 8089); });
//   ...
//   server.closeConnections();  // every connection ends now
//   server.stop();
//   listening.join();
class ControlServer : public httplib::Server {
 public:
  explicit ControlServer(size_t maxBodyBytes);
  ~ControlServer() override;

  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Ends every open connection now, waiting ones included, and every one accepted from now on:
  // blocked writes return at once, so the workers come free (except for handlers still running).
  void closeConnections();

 private:
  // On the accepting thread: the new connection waits for its first request.
  bool process_and_close_socket(socket_t sock) override;
  // On a worker: answers one request that the watcher has read whole.
  AfterAnswer serve(const ReadRequest& request);

  const bool bUseOpenCL_;
  std::unique_ptr<ConnectionScheduler> scheduler_;
};

// Checks a request body before OpenCV parses it; false when OpenCV must not parse it, with the
// reason in *why. The body must be a JSON object, which starts at *start after blanks, holding at
// most 64 "[" and "{" bytes; the first number token that does not fit an int (an integer) or a
// double (a real) goes to *badNumber.
bool checkJsonBody(const std::string& body, size_t* start, std::string* why,
                   std::string* badNumber);

}  // namespace tesmo
