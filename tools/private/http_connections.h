#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <httplib.h>

namespace tesmo {

class ConnectionScheduler;

// The library's server, with limits against clients that misbehave: connections scheduled so
// that only those that have sent bytes hold a worker, the request processing of each (the
// library's keep-alive loop is replaced so that every request is read within its budgets), and
// the refusal of oversize or compressed requests and of several ranges. Bodies longer than
// `maxBodyBytes` get 413.
class ControlServer : public httplib::Server {
 public:
  explicit ControlServer(size_t maxBodyBytes);
  ~ControlServer() override;

  // Ends every open connection now, waiting ones included, and every one accepted from now on:
  // blocked reads and writes return at once, so the workers come free (except for handlers
  // still running).
  void closeConnections();

 private:
  // On the accepting thread: the new connection waits for its first request.
  bool process_and_close_socket(socket_t sock) override;
  // On a worker: serves the requests of a connection for as long as their bytes have come;
  // true when the connection is kept alive and waits for its next request.
  bool serve(int sock, size_t* requestsLeft);

  const size_t maxBodyBytes_;
  const bool bUseOpenCL_;
  std::unique_ptr<ConnectionScheduler> scheduler_;
};

// Checks a request body before OpenCV parses it; false when OpenCV must not parse it, with the
// reason in *why. The body must start with "{" after blanks, which *start skips; the first
// number token that does not fit its type goes to *badNumber.
bool checkJsonBody(const std::string& body, size_t* start, std::string* why,
                   std::string* badNumber);

}  // namespace tesmo
