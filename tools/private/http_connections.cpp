#include "tools/private/http_connections.h"

#include <netdb.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include <glog/logging.h>
#include <opencv2/core/ocl.hpp>

#include "streamer/util.h"

namespace tesmo {
namespace {

// Most "[" and "{" bytes that a request body may hold, wherever they stand. OpenCV's JSON parser
// recurses per level of nesting and overflows the stack at some tens of thousands; nesting can
// never exceed this count, and no route's body holds more than a few dozen.
constexpr size_t kMaxJsonBrackets = 64;

// Whether `c` may continue a number token as OpenCV's parser reads one (strtol with base 0 or
// strtod: signs, digits, hexadecimal digits, points and exponents).
bool isNumberChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '+' || c == '-';
}

// Checks a number token the way OpenCV's JSON parser will read it: an integer is kept as an int
// (4294967396 would silently become 100) and a real as a double (1e400 would become infinity).
bool numberFits(const std::string& token) {
  const bool bHex = token.find_first_of("xX") != std::string::npos;
  const bool bReal = !bHex && token.find_first_of(".eE") != std::string::npos;
  errno = 0;
  char* end = nullptr;
  if (bReal) {
    const double value = std::strtod(token.c_str(), &end);
    return errno == 0 && std::isfinite(value);
  }
  const long long value = std::strtoll(token.c_str(), &end, 0);
  return errno == 0 && value >= std::numeric_limits<int>::min() &&
         value <= std::numeric_limits<int>::max();
}


// Connection limits. Enough workers for every MJPEG viewer, a few dozen clients that send or
// read slowly (each held at most a few seconds) and the API routes.
constexpr int kWorkerThreads = 64;
constexpr int kReadTimeoutMs = 3000;         // for any one read to make progress
constexpr int kRequestReadTimeoutMs = 5000;  // for a whole request: line, headers and body
constexpr int kWriteTimeoutMs = 3000;        // for any one write to make progress
constexpr time_t kKeepAliveTimeoutS = 2;     // for the next request, the first one included
// Connections that wait for their next request (watched by one thread, holding no worker), and
// connections that have sent bytes and wait for a free worker. With the workers' own, the most
// connections the server holds open.
constexpr size_t kMaxWaitingConnections = 256;
constexpr size_t kMaxReadyConnections = 64;
constexpr size_t kMaxHeaderBytes = size_t(64) << 10;
// What is read and dropped after refusing a request whose bytes remain unread.
constexpr int kDiscardMs = 1000;
constexpr size_t kMaxDiscardBytes = size_t(16) << 20;

// What became of the request a worker thread is reading: the library's routing hooks see no
// connection, so they reach it through tRequest.
struct RequestState {
  bool bTooLarge = false;    // more than the request's byte budget was sent
  bool bCloseAfter = false;  // unread request bytes remain: close after answering
};
thread_local RequestState* tRequest = nullptr;

// Waits until `fd` is ready for `events` or `timeoutMs` passes; false on time-out or error.
bool waitFor(int fd, short events, int timeoutMs) {
  pollfd item{fd, events, 0};
  int n = 0;
  do {
    n = ::poll(&item, 1, timeoutMs);
  } while (n < 0 && errno == EINTR);
  return n > 0;
}

std::string addressOf(int fd, bool bPeer, int* port) {
  sockaddr_storage addr{};
  socklen_t len = sizeof(addr);
  const int res = bPeer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len)
                        : ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  char host[NI_MAXHOST] = "";
  char service[NI_MAXSERV] = "";
  if (res != 0 || ::getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof(host),
                                service, sizeof(service), NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    *port = 0;
    return std::string();
  }
  *port = std::atoi(service);
  return host;
}

// A client connection as the library's request processing reads and writes it, with the
// limits above: reads fail once a request has taken kRequestReadTimeoutMs or its byte budget,
// and any read or write fails when it cannot progress within its time-out.
class ClientStream : public httplib::Stream {
 public:
  // `maxRequestBytes`: the byte budget of one request (line, headers and body).
  ClientStream(int fd, size_t maxRequestBytes) : fd_(fd), maxRequestBytes_(maxRequestBytes) {}

  // Whether bytes of a next request have been read from the socket already.
  bool hasBufferedBytes() const { return begin_ < end_; }
  // Starts the budgets of a new request.
  void startRequest() {
    deadline_ = now<std::chrono::steady_clock>() + kRequestReadTimeoutMs;
    consumed_ = 0;
    state = RequestState();
  }

  bool is_readable() const override {
    return begin_ < end_ || waitFor(fd_, POLLIN, readTimeoutMs());
  }
  bool is_writable() const override { return waitFor(fd_, POLLOUT, kWriteTimeoutMs); }

  ssize_t read(char* ptr, size_t size) override {
    if (consumed_ >= maxRequestBytes_) {
      state.bTooLarge = true;
      state.bCloseAfter = true;
      return -1;
    }
    if (begin_ == end_) {
      const int timeoutMs = readTimeoutMs();
      if (timeoutMs <= 0 || !waitFor(fd_, POLLIN, timeoutMs)) {
        state.bCloseAfter = true;
        return -1;
      }
      const ssize_t n = ::recv(fd_, buf_, sizeof(buf_), 0);
      if (n <= 0) return n;
      begin_ = 0;
      end_ = static_cast<size_t>(n);
    }
    const size_t n = std::min({size, end_ - begin_, maxRequestBytes_ - consumed_});
    std::memcpy(ptr, buf_ + begin_, n);
    begin_ += n;
    consumed_ += n;
    return static_cast<ssize_t>(n);
  }

  // Sends what the socket takes now, waiting at most kWriteTimeoutMs for room.
  ssize_t write(const char* ptr, size_t size) override {
    const int64_t end = now<std::chrono::steady_clock>() + kWriteTimeoutMs;
    for (;;) {
      const int64_t left = end - now<std::chrono::steady_clock>();
      if (left <= 0 || !waitFor(fd_, POLLOUT, static_cast<int>(left))) return -1;
      const ssize_t n = ::send(fd_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return n;
    }
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = addressOf(fd_, /*bPeer=*/true, &port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = addressOf(fd_, /*bPeer=*/false, &port);
  }
  socket_t socket() const override { return fd_; }

  RequestState state;

 private:
  // What a read may still wait: the one-read time-out within the request's deadline.
  int readTimeoutMs() const {
    const int64_t left = deadline_ - now<std::chrono::steady_clock>();
    return static_cast<int>(std::min<int64_t>(left, kReadTimeoutMs));
  }

  int fd_;
  size_t maxRequestBytes_;
  char buf_[4096];
  size_t begin_ = 0;
  size_t end_ = 0;
  int64_t deadline_ = 0;
  size_t consumed_ = 0;
};

// Content-Length of a request, 0 when absent or unreadable.
uint64_t contentLength(const httplib::Request& req) {
  return std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10);
}

// Whether every "Content-Encoding" header of `req` says "identity" (spaces around it and case
// ignored); else the first other value goes to *encoding. The library inflates a body of any
// other encoding in full before a route sees it, and the body limit counts the bytes as sent.
bool identityEncoded(const httplib::Request& req, std::string* encoding) {
  const auto headers = req.headers.equal_range("Content-Encoding");
  for (auto it = headers.first; it != headers.second; ++it) {
    const std::string& value = it->second;
    const size_t begin = value.find_first_not_of(" \t");
    const size_t end = value.find_last_not_of(" \t");
    const std::string word = begin == std::string::npos ? "" : value.substr(begin, end + 1 - begin);
    const std::string identity = "identity";
    const bool bIdentity =
        std::equal(word.begin(), word.end(), identity.begin(), identity.end(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == b;
        });
    if (!bIdentity) {
      *encoding = word.substr(0, 64);
      return false;
    }
  }
  return true;
}

// Runs after the library has parsed the request's "Range" header into req.ranges: a request for
// several ranges is answered whole. The library would build one part per range, each as long as
// its range asks, so that overlapping ranges of a file would multiply it in memory.
void serveAtMostOneRange(httplib::Request& req) {
  if (req.ranges.size() <= 1) return;
  req.ranges.clear();
  req.headers.erase("Range");
}

void closeSocket(int fd) {
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

// Whether the peer has closed the connection (or it failed) with nothing left to read.
bool hungUp(int fd) {
  char byte = 0;
  const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// Answers 503 on a connection that no worker can take now and closes it, without waiting: what
// the client has sent is read first, so that the close ends the connection after the answer
// instead of resetting it.
void refuseBusy(int fd) {
  char buf[4096];
  for (int i = 0; i < 16 && ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0; ++i) {
  }
  const std::string message = "Too many connections waiting for the server";
  const std::string answer = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\n" +
                             std::string("Content-Length: ") + std::to_string(message.size()) +
                             "\r\nConnection: close\r\n\r\n" + message;
  ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  closeSocket(fd);
}


void tooLarge(httplib::Response& res, size_t maxBodyBytes) {
  res.status = 413;
  res.set_content("Request over " + std::to_string(maxBodyBytes) + " bytes", "text/plain");
}

// The connection ends after this answer: the client is told so, and sends its next request on
// a new one.
void closing(httplib::Response& res) {
  if (!res.has_header("Connection")) res.set_header("Connection", "close");
}

// Closing a socket with unread data resets the connection, and the client may lose the answer
// while it still sends: the answer is followed by an end of stream, and what the client still
// sends is read and dropped for a short while.
void discardUnread(int sock) {
  ::shutdown(sock, SHUT_WR);
  const int64_t end = now<std::chrono::steady_clock>() + kDiscardMs;
  char buf[16384];
  for (size_t dropped = 0; dropped < kMaxDiscardBytes;) {
    const int64_t left = end - now<std::chrono::steady_clock>();
    if (left <= 0 || !waitFor(sock, POLLIN, static_cast<int>(left))) return;
    const ssize_t n = ::recv(sock, buf, sizeof(buf), 0);
    if (n <= 0) return;
    dropped += static_cast<size_t>(n);
  }
}

}  // namespace

// The connections of a server between its accepting thread, one poller thread and a fixed pool
// of workers. A connection that waits for its next request (a new one, or one kept alive after
// an answer) holds no worker: it waits in a bounded set that the poller watches, until it sends
// bytes (a worker then serves it), hangs up or lets kKeepAliveTimeoutS pass (it is then closed).
// When the set is full, admitting another connection closes the one that has waited longest
// without sending. Connections that have sent bytes wait for a worker in a bounded queue;
// beyond it, they are answered 503 and closed.
//
//   ConnectionScheduler scheduler([](int fd, size_t* requestsLeft) { ...; return bKeepAlive; });
//   scheduler.start(/*workers=*/64, [] { /* each worker's set-up */ });
//   scheduler.admit(fd, /*requestsLeft=*/5);  // the scheduler owns fd from now on
//   scheduler.closeAll();                     // every connection shut down, later ones too
//   scheduler.stop();                         // joins the poller and the workers
class ConnectionScheduler {
 public:
  // Serves requests of a connection that has bytes to read, counting them down in *requestsLeft;
  // true when the connection is to wait for its next request, false to close it. On the workers.
  using Serve = std::function<bool(int fd, size_t* requestsLeft)>;

  explicit ConnectionScheduler(Serve serve) : serve_(std::move(serve)) {}
  ~ConnectionScheduler() { stop(); }
  ConnectionScheduler(const ConnectionScheduler&) = delete;
  ConnectionScheduler& operator=(const ConnectionScheduler&) = delete;

  // Starts the poller and `workers` workers, each of which runs `setUp` first. Once.
  void start(int workers, const std::function<void()>& setUp);
  // Takes `fd` over, from any thread: it waits for its next request. Closed at once after
  // closeAll or stop, or when it may serve no more requests.
  void admit(int fd, size_t requestsLeft);
  // Shuts every connection down now, those being served included; later ones are closed.
  void closeAll();
  // Ends the poller and the workers (each after the request it serves) and closes every
  // connection. Not concurrently with itself.
  void stop();

 private:
  struct Connection {
    int fd = -1;
    size_t requestsLeft = 0;
    int64_t deadline = 0;  // steady-clock ms; of waiting connections only
  };
  static constexpr uint64_t kWakeId = 0;

  void pollLoop();
  void workLoop();
  // Closes the one that has waited longest, or hands it to a worker when it has sent bytes
  // meanwhile; false when it has, and no worker place is free.
  bool makeRoomLocked();
  // A waiting connection that has bytes to read goes to a worker (or gets 503); one that has
  // hung up is closed.
  void dispatchLocked(std::map<uint64_t, Connection>::iterator it);
  void dropLocked(int fd);
  void wakePoller();

  Serve serve_;
  std::mutex mutex_;
  std::condition_variable readyCv_;
  // Waiting connections by admission: the first has waited longest and has the first deadline.
  std::map<uint64_t, Connection> waiting_;
  std::deque<Connection> ready_;  // for a worker
  std::set<int> open_;            // every connection owned, for closeAll
  uint64_t nextId_ = kWakeId + 1;
  bool bClosing_ = false;
  bool bStopping_ = false;
  int epoll_ = -1;
  int wake_ = -1;
  std::thread poller_;
  std::vector<std::thread> workers_;
};

void ConnectionScheduler::start(int workers, const std::function<void()>& setUp) {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeId;
  if (epoll_ < 0 || wake_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event) != 0) {
    LOG(ERROR) << "HTTP server can't watch its connections: " << std::strerror(errno);
    std::lock_guard<std::mutex> lock(mutex_);
    bClosing_ = true;  // every connection is closed as it comes
    return;
  }
  poller_ = std::thread([this] { pollLoop(); });
  for (int i = 0; i < workers; ++i) {
    workers_.emplace_back([this, setUp] {
      setUp();
      workLoop();
    });
  }
}

void ConnectionScheduler::admit(int fd, size_t requestsLeft) {
  std::lock_guard<std::mutex> lock(mutex_);
  open_.insert(fd);
  if (bClosing_ || bStopping_ || requestsLeft == 0) {
    dropLocked(fd);
    return;
  }
  if (waiting_.size() >= kMaxWaitingConnections && !makeRoomLocked()) {
    open_.erase(fd);
    refuseBusy(fd);
    return;
  }
  const uint64_t id = nextId_++;
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.u64 = id;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
    LOG(WARNING) << "HTTP connection dropped, can't watch it: " << std::strerror(errno);
    dropLocked(fd);
    return;
  }
  const int64_t deadline = now<std::chrono::steady_clock>() + kKeepAliveTimeoutS * 1000;
  waiting_.emplace(id, Connection{fd, requestsLeft, deadline});
  // The poller sleeps without a time-out while nothing waits; later deadlines come later.
  if (waiting_.size() == 1) wakePoller();
}

void ConnectionScheduler::closeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  bClosing_ = true;
  for (const int fd : open_) ::shutdown(fd, SHUT_RDWR);
}

void ConnectionScheduler::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bStopping_) return;
    bStopping_ = true;
  }
  wakePoller();
  readyCv_.notify_all();
  if (poller_.joinable()) poller_.join();
  for (auto& worker : workers_) worker.join();
  workers_.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& entry : waiting_) dropLocked(entry.second.fd);
  waiting_.clear();
  for (const Connection& conn : ready_) dropLocked(conn.fd);
  ready_.clear();
  for (int* fd : {&epoll_, &wake_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

bool ConnectionScheduler::makeRoomLocked() {
  const auto oldest = waiting_.begin();
  pollfd item{oldest->second.fd, POLLIN | POLLRDHUP, 0};
  if (::poll(&item, 1, 0) <= 0) {
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, oldest->second.fd, nullptr);
    dropLocked(oldest->second.fd);
    waiting_.erase(oldest);
    return true;
  }
  if (ready_.size() >= kMaxReadyConnections) return false;
  dispatchLocked(oldest);
  return true;
}

void ConnectionScheduler::dispatchLocked(std::map<uint64_t, Connection>::iterator it) {
  const Connection conn = it->second;
  waiting_.erase(it);
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, conn.fd, nullptr);
  if (bClosing_ || hungUp(conn.fd)) {
    dropLocked(conn.fd);
  } else if (ready_.size() >= kMaxReadyConnections) {
    open_.erase(conn.fd);
    refuseBusy(conn.fd);
  } else {
    ready_.push_back(conn);
    readyCv_.notify_one();
  }
}

void ConnectionScheduler::dropLocked(int fd) {
  open_.erase(fd);
  closeSocket(fd);
}

void ConnectionScheduler::wakePoller() {
  const uint64_t one = 1;
  if (wake_ >= 0 && ::write(wake_, &one, sizeof(one)) < 0) {
    // Full counter: a wake-up is pending anyway.
  }
}

void ConnectionScheduler::pollLoop() {
  epoll_event events[64];
  std::unique_lock<std::mutex> lock(mutex_);
  while (!bStopping_) {
    int timeoutMs = -1;
    if (!waiting_.empty()) {
      const int64_t left = waiting_.begin()->second.deadline - now<std::chrono::steady_clock>();
      timeoutMs = static_cast<int>(std::max<int64_t>(left, 0));
    }
    lock.unlock();
    const int n = ::epoll_wait(epoll_, events, 64, timeoutMs);
    lock.lock();
    for (int i = 0; i < n; ++i) {
      const uint64_t id = events[i].data.u64;
      if (id == kWakeId) {
        uint64_t count = 0;
        while (::read(wake_, &count, sizeof(count)) > 0) {
        }
        continue;
      }
      const auto it = waiting_.find(id);  // not found: closed meanwhile
      if (it != waiting_.end()) dispatchLocked(it);
    }
    const int64_t time = now<std::chrono::steady_clock>();
    while (!waiting_.empty() && waiting_.begin()->second.deadline <= time) {
      ::epoll_ctl(epoll_, EPOLL_CTL_DEL, waiting_.begin()->second.fd, nullptr);
      dropLocked(waiting_.begin()->second.fd);
      waiting_.erase(waiting_.begin());
    }
  }
}

void ConnectionScheduler::workLoop() {
  for (;;) {
    Connection conn;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      readyCv_.wait(lock, [this] { return bStopping_ || !ready_.empty(); });
      if (bStopping_) return;  // stop closes what remains
      conn = ready_.front();
      ready_.pop_front();
    }
    bool bKeep = false;
    try {
      bKeep = serve_(conn.fd, &conn.requestsLeft);
    } catch (const std::exception& e) {
      LOG(WARNING) << "HTTP connection closed: " << e.what();
    }
    if (bKeep) {
      admit(conn.fd, conn.requestsLeft);
    } else {
      std::lock_guard<std::mutex> lock(mutex_);
      dropLocked(conn.fd);
    }
  }
}

namespace {

// The library's task queue, replaced: the accepting thread runs each task, the hand-over of a new
// connection to the scheduler, at once. The scheduler's threads live as long as the queue, which
// the library makes when it starts listening and shuts down when it stops.
class AdmittingQueue : public httplib::TaskQueue {
 public:
  AdmittingQueue(ConnectionScheduler& scheduler, const std::function<void()>& setUpWorker)
      : scheduler_(scheduler) {
    scheduler_.start(kWorkerThreads, setUpWorker);
  }
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override { scheduler_.stop(); }

 private:
  ConnectionScheduler& scheduler_;
};

}  // namespace

ControlServer::ControlServer(size_t maxBodyBytes)
    : maxBodyBytes_(maxBodyBytes),
      bUseOpenCL_(cv::ocl::useOpenCL()),
      scheduler_(std::make_unique<ConnectionScheduler>(
          [this](int fd, size_t* requestsLeft) { return serve(fd, requestsLeft); })) {
  // OpenCV's OpenCL switch is per thread: each worker takes the application's choice, made on
  // the thread that built the server, so that a view re-prepared there runs where it runs here.
  new_task_queue = [this] {
    // Made once the socket listens. The library listens with a backlog of 5, which a burst of
    // connections overflows: the kernel then drops a client's SYN, and its connect waits a
    // second or more to try again. Accepting is quick here, so the kernel may queue more.
    ::listen(svr_sock_, SOMAXCONN);
    return new AdmittingQueue(*scheduler_, [this] { cv::ocl::setUseOpenCL(bUseOpenCL_); });
  };
  set_keep_alive_timeout(kKeepAliveTimeoutS);
  set_read_timeout(kReadTimeoutMs / 1000);
  set_write_timeout(kWriteTimeoutMs / 1000);
  set_payload_max_length(maxBodyBytes_);
  // Runs before a byte of the body is read; a body left unread closes the connection.
  set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    std::string encoding;
    if (contentLength(req) > maxBodyBytes_) {
      tooLarge(res, maxBodyBytes_);
    } else if (!identityEncoded(req, &encoding)) {
      res.status = 415;
      res.set_content(
          "Content-Encoding \"" + encoding + "\" not accepted: send the body uncompressed",
          "text/plain");
    } else {
      return HandlerResponse::Unhandled;
    }
    if (tRequest != nullptr) tRequest->bCloseAfter = true;
    closing(res);
    return HandlerResponse::Handled;
  });
  // A request that ran over its byte budget (a chunked or unannounced body, endless headers).
  set_error_handler(HandlerWithResponse([this](const httplib::Request&, httplib::Response& res) {
    if (tRequest == nullptr || !tRequest->bTooLarge) return HandlerResponse::Unhandled;
    tooLarge(res, maxBodyBytes_);
    closing(res);
    return HandlerResponse::Handled;
  }));
}

ControlServer::~ControlServer() = default;

void ControlServer::closeConnections() { scheduler_->closeAll(); }

bool ControlServer::process_and_close_socket(socket_t sock) {
  scheduler_->admit(sock, keep_alive_max_count_);
  return true;
}

bool ControlServer::serve(int sock, size_t* requestsLeft) {
  ClientStream strm(sock, kMaxHeaderBytes + maxBodyBytes_);
  while (*requestsLeft > 0 && svr_sock_ != INVALID_SOCKET) {
    strm.startRequest();
    tRequest = &strm.state;
    bool bClosed = false;
    const bool bServed = process_request(strm, /*close_connection=*/*requestsLeft == 1,
                                         bClosed, serveAtMostOneRange);
    tRequest = nullptr;
    --*requestsLeft;
    if (strm.state.bCloseAfter) {
      discardUnread(sock);
      return false;
    }
    if (!bServed || bClosed) return false;
    if (!strm.hasBufferedBytes()) return *requestsLeft > 0;
  }
  return false;
}

// Checks a request body before OpenCV parses it; false when OpenCV must not parse it, with the
// reason in *why. OpenCV picks the parser by the first bytes (only "{" gives JSON; "<?xml",
// "%YAML" and anything else give parsers that nest without bound), so the body must start with
// "{" after blanks, which *start skips. OpenCV's parser and any scan of ours may disagree on what
// is a string or a comment (OpenCV skips comments and takes no escape in a key), so both checks
// below look at every byte, whatever surrounds it. The brackets are counted: brackets inside a
// string could cancel real ones in a running depth. Every number token (one that starts after a
// byte that cannot continue a number) is checked, and the first one that does not fit is put in
// *badNumber (the body is parsable all the same): an integer beyond an int would reach a route
// already wrapped, as a valid int. Digits inside a text count too; no route takes a text that
// holds a number beyond an int.
bool checkJsonBody(const std::string& body, size_t* start, std::string* why,
                   std::string* badNumber) {
  *start = body.find_first_not_of(" \t\r\n");
  if (*start == std::string::npos || body[*start] != '{') {
    *why = "not a JSON object";
    return false;
  }
  const size_t brackets = static_cast<size_t>(std::count(body.begin(), body.end(), '[') +
                                              std::count(body.begin(), body.end(), '{'));
  if (brackets > kMaxJsonBrackets) {
    *why = std::to_string(brackets) + " brackets, more than " + std::to_string(kMaxJsonBrackets);
    return false;
  }
  for (size_t i = *start; i < body.size() && badNumber->empty(); ++i) {
    const char c = body[i];
    const bool bStarts = std::isdigit(static_cast<unsigned char>(c)) != 0 || c == '-' ||
                         c == '+' || c == '.';
    if (!bStarts || isNumberChar(body[i - 1])) continue;
    size_t end = i;
    while (end < body.size() && isNumberChar(body[end])) ++end;
    const std::string token = body.substr(i, end - i);
    if (!numberFits(token)) *badNumber = token;
    i = end - 1;
  }
  return true;
}

}  // namespace tesmo
