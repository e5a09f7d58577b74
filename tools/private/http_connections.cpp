#include "tools/private/http_connections.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdint>
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

#include "common/misc.h"
#include "streamer/util.h"

namespace tesmo {
namespace {

// Most "[" and "{" bytes that a request body may hold, wherever they stand. OpenCV's JSON parser
// recurses per level of nesting and overflows the stack at some tens of thousands; nesting can
// never exceed this count, and no route's body holds more than a few dozen.
constexpr size_t kMaxJsonBrackets = 64;

// Connection limits. Enough workers for every MJPEG viewer and the API routes; slow clients
// wait in the watcher, not on a worker.
constexpr int kWorkerThreads = 64;
constexpr int kReadTimeoutMs = 3000;         // for the bytes of a request to keep coming
constexpr int kRequestReadTimeoutMs = 5000;  // for a whole request: line, headers and body
constexpr int kWriteTimeoutMs = 3000;        // for any one write to make progress
constexpr time_t kKeepAliveTimeoutS = 2;     // for the next request, the first one included
// Connections watched for a request, and whole requests that wait for a free worker, each at most
// kReadyWaitMs. With the workers' own, the most connections the server holds open.
constexpr size_t kMaxWaitingConnections = 256;
constexpr size_t kMaxReadyConnections = 256;
constexpr int kReadyWaitMs = 1000;
// While the waiting set is full, a connection that has waited this long without a whole request
// may be closed to make room, and one sooner during a flood: from the moment the listen backlog
// holds more connections than a burst of well-behaved clients would leave there, and for a while
// after (so that the last ones of a flood need not wait either). A flood of idle connections then
// costs the others nothing, while a burst waits in the backlog until its first requests have been
// read. A second leaves a client on a loaded machine time to send after connecting (at 250 ms, one
// of a burst of 300 was closed unanswered under the sanitizers); the cost is that a steady stream
// of some hundreds of idle connections a second delays others by up to the time the backlog takes
// to show a flood (under 200 ms).
constexpr int kEvictAfterMs = 1000;
constexpr size_t kBurstBacklog = 64;
constexpr int kFloodHoldMs = 1000;
// How often the accepting thread looks at the backlog again while it may close none.
constexpr int kAdmitRetryMs = 1;
// The request head: all its bytes, its header lines, and any one line (the library's own limit
// of the request line and of a header line).
constexpr size_t kMaxHeaderBytes = size_t(64) << 10;
constexpr size_t kMaxHeaderLines = 100;
constexpr size_t kMaxLineBytes = 8192;
constexpr size_t kMaxChunkLineBytes = 1024;
// Request bytes that the watcher holds for all connections together.
constexpr size_t kMaxBufferedBytes = size_t(64) << 20;
// What is read and dropped after a connection's last answer.
constexpr int kDiscardMs = 1000;
constexpr size_t kMaxDiscardBytes = size_t(16) << 20;
constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

const char* const kBusyMessage = "Too many connections waiting for the server";

int64_t nowMs() { return now<std::chrono::steady_clock>(); }

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

void closeSocket(int fd) {
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

// Sends what the socket takes of `size` bytes, waiting at most kWriteTimeoutMs for room; the
// bytes sent, or -1.
ssize_t sendSome(int fd, const char* ptr, size_t size) {
  const int64_t end = nowMs() + kWriteTimeoutMs;
  for (;;) {
    const int64_t left = end - nowMs();
    if (left <= 0 || !waitFor(fd, POLLOUT, static_cast<int>(left))) return -1;
    const ssize_t n = ::send(fd, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return n;
  }
}

// Sends all of `data` as sendSome does; false when the connection failed or stalled.
bool sendAll(int fd, const std::string& data) {
  for (size_t sent = 0; sent < data.size();) {
    const ssize_t n = sendSome(fd, data.data() + sent, data.size() - sent);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Whether `a` and `b` are the same text but for the case of ASCII letters.
bool equalsNoCase(const std::string& a, const char* b) {
  const size_t n = std::strlen(b);
  return a.size() == n && std::equal(a.begin(), a.end(), b, [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// `text` without the blanks (spaces and tabs) around it.
std::string trimmed(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  return text.substr(begin, text.find_last_not_of(" \t") + 1 - begin);
}

// Reads `text` as a decimal number into *value, saturating at the largest uint64_t; false when
// it is empty or holds anything but digits.
bool readDecimal(const std::string& text, uint64_t* value) {
  if (text.empty()) return false;
  *value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    *value = *value > (max - digit) / 10 ? max : *value * 10 + digit;
  }
  return true;
}

// Whether the path of `requestLine` decodes to one holding a NUL ("%00", or "%u0000" as the
// library decodes it): the file handler would open the path cut at the NUL and take the type from
// the name after it.
bool pathHoldsNul(const std::string& requestLine) {
  const size_t begin = requestLine.find(' ');
  if (begin == std::string::npos) return false;
  const size_t end = requestLine.find(' ', begin + 1);
  const std::string target = requestLine.substr(begin + 1, end - begin - 1);
  const std::string path = target.substr(0, target.find('?'));
  for (size_t at = path.find('%'); at != std::string::npos; at = path.find('%', at + 1)) {
    if (path.compare(at, 3, "%00") == 0 || path.compare(at, 6, "%u0000") == 0) return true;
  }
  return false;
}

const char* reasonPhrase(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    default: return "Service Unavailable";
  }
}

// A whole answer that refuses a request and ends its connection.
std::string refusalAnswer(int status, const std::string& message) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) +
         "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(message.size()) +
         "\r\nConnection: close\r\n\r\n" + message;
}

// The framing of one request, found as its bytes arrive: the head (the request line, the header
// lines and a blank line, each ended by CR LF), then the body its headers announce. What the
// library's parser would read differently is refused, so that the request the library reads
// from the replayed bytes ends where this one ends.
//
//   RequestReader reader(maxBodyBytes);
//   buf += bytes;  // as they come
//   if (reader.scan(buf) == RequestReader::Progress::Complete) serve(buf, reader.requestBytes());
class RequestReader {
 public:
  enum class Progress { Head, Body, Complete, Refused };

  explicit RequestReader(size_t maxBodyBytes = 0) : maxBodyBytes_(maxBodyBytes) {}

  // Scans what `buf` holds beyond what earlier calls saw: `buf` holds the request from its first
  // byte and, maybe, what the client sent after it.
  Progress scan(std::string& buf);

  // The request's bytes at the start of the buffer, once Complete.
  size_t requestBytes() const { return end_; }
  // Whether the client waits for "100 Continue" before it sends the body, once its head has
  // been read ("Expect: 100-continue" and a body); the line is removed from the head.
  bool expectsContinue() const { return bExpect_; }
  // The value of the request's one "Range" header, once its head has been read; empty when it
  // has none or several. The line is removed from the head.
  const std::string& range() const { return range_; }
  // Status and message of the answer, once Refused.
  int refusalStatus() const { return refusalStatus_; }
  const std::string& refusalMessage() const { return refusalMessage_; }

 private:
  Progress scanHead(std::string& buf);
  // Once the head's end is found.
  Progress readHead(std::string& buf);
  Progress frameBody(const std::vector<std::string>& lengths,
                     const std::vector<std::string>& codings,
                     const std::vector<std::string>& encodings);
  Progress scanChunks(const std::string& buf);
  Progress refuse(int status, std::string message);

  size_t maxBodyBytes_;
  Progress progress_ = Progress::Head;
  size_t lineStart_ = 0;  // of the head's line being scanned
  size_t lines_ = 0;      // of the head scanned, the request line included
  size_t end_ = 0;        // of the head, then of the request (of the head while chunks come)
  bool bChunked_ = false;
  size_t chunkPos_ = 0;  // where the next chunk's size line or data begins
  bool bChunkData_ = false;
  uint64_t chunkBytes_ = 0;  // of the chunk whose data comes next
  uint64_t bodyBytes_ = 0;   // data of the chunks so far
  bool bExpect_ = false;
  std::string range_;
  int refusalStatus_ = 0;
  std::string refusalMessage_;
};

RequestReader::Progress RequestReader::scan(std::string& buf) {
  if (progress_ == Progress::Head) progress_ = scanHead(buf);
  if (progress_ == Progress::Body) {
    if (bChunked_) {
      progress_ = scanChunks(buf);
    } else if (buf.size() >= end_) {
      progress_ = Progress::Complete;
    }
  }
  return progress_;
}

RequestReader::Progress RequestReader::refuse(int status, std::string message) {
  refusalStatus_ = status;
  refusalMessage_ = std::move(message);
  return Progress::Refused;
}

RequestReader::Progress RequestReader::scanHead(std::string& buf) {
  for (;;) {
    const size_t nl = buf.find('\n', lineStart_);
    const size_t length = (nl == std::string::npos ? buf.size() : nl + 1) - lineStart_;
    if (length > kMaxLineBytes) {
      return refuse(lines_ == 0 ? 414 : 431, (lines_ == 0 ? "Request line" : "Header line") +
                                                 std::string(" over ") +
                                                 std::to_string(kMaxLineBytes) + " bytes");
    }
    if (lineStart_ + length > kMaxHeaderBytes) {
      return refuse(431, "Request head over " + std::to_string(kMaxHeaderBytes) + " bytes");
    }
    if (nl == std::string::npos) return Progress::Head;
    if (length < 2 || buf[nl - 1] != '\r') return refuse(400, "Head line not ended by CR LF");
    if (std::memchr(buf.data() + lineStart_, '\0', length) != nullptr) {
      return refuse(400, "NUL byte in the request head");
    }
    const bool bBlank = length == 2 && lines_ > 0;
    lineStart_ = nl + 1;
    if (bBlank) {
      end_ = lineStart_;
      return readHead(buf);
    }
    if (++lines_ > kMaxHeaderLines + 1) {
      return refuse(431, "More than " + std::to_string(kMaxHeaderLines) + " header lines");
    }
  }
}

RequestReader::Progress RequestReader::readHead(std::string& buf) {
  if (pathHoldsNul(buf.substr(0, buf.find('\n') - 1))) {
    return refuse(400, "Request path holding a NUL");
  }
  std::vector<std::string> lengths, codings, encodings, ranges;
  std::vector<std::pair<size_t, size_t>> removed;  // lines, as [begin, end)
  for (size_t pos = buf.find('\n') + 1; pos + 2 < end_;) {
    const size_t begin = pos;
    const size_t nl = buf.find('\n', pos);
    const std::string line = buf.substr(pos, nl - 1 - pos);
    pos = nl + 1;
    // A name holds no blank: a folded line or "Name :" would be read otherwise by the library.
    const size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos || line.find_first_of(" \t") < colon) {
      return refuse(400, "Bad header line \"" + line.substr(0, 64) + "\"");
    }
    const std::string name = line.substr(0, colon);
    const std::string value = trimmed(line.substr(colon + 1));
    if (equalsNoCase(name, "Content-Length")) {
      lengths.push_back(value);
    } else if (equalsNoCase(name, "Transfer-Encoding")) {
      codings.push_back(value);
    } else if (equalsNoCase(name, "Content-Encoding") && !value.empty()) {
      encodings.push_back(value);
    } else if (equalsNoCase(name, "Expect") && equalsNoCase(value, "100-continue")) {
      bExpect_ = true;
      removed.emplace_back(begin, pos);
    } else if (equalsNoCase(name, "Range")) {
      ranges.push_back(value);
      removed.emplace_back(begin, pos);
    }
  }
  range_ = ranges.size() == 1 ? ranges[0] : std::string();
  // The library would send "100 Continue" once more, and apply a range to any answer.
  for (auto it = removed.rbegin(); it != removed.rend(); ++it) {
    buf.erase(it->first, it->second - it->first);
    end_ -= it->second - it->first;
  }
  lineStart_ = end_;
  const Progress progress = frameBody(lengths, codings, encodings);
  bExpect_ = bExpect_ && progress == Progress::Body && (bChunked_ || end_ > chunkPos_);
  return progress;
}

// The body: chunked, as long as its one "Content-Length" says, or none. A value that the library
// would read otherwise (it takes the first of several, the first transfer coding over a length,
// and decodes "%" escapes in values) is refused.
RequestReader::Progress RequestReader::frameBody(const std::vector<std::string>& lengths,
                                                 const std::vector<std::string>& codings,
                                                 const std::vector<std::string>& encodings) {
  if (codings.size() > 1 || (!codings.empty() && !lengths.empty())) {
    return refuse(400, lengths.empty() ? "Several Transfer-Encoding headers"
                                       : "Content-Length together with Transfer-Encoding");
  }
  if (!codings.empty() && !equalsNoCase(codings[0], "chunked")) {
    return refuse(501, "Transfer-Encoding \"" + codings[0].substr(0, 64) +
                           "\" not supported: send the body chunked or with a Content-Length");
  }
  uint64_t length = 0;
  for (const std::string& value : lengths) {
    uint64_t n = 0;
    if (!readDecimal(value, &n)) {
      return refuse(400, "Bad Content-Length \"" + value.substr(0, 64) + "\"");
    }
    if (&value != &lengths[0] && n != length) {
      return refuse(400, "Content-Length headers that differ");
    }
    length = n;
  }
  if (length > maxBodyBytes_) {
    return refuse(413, "Request over " + std::to_string(maxBodyBytes_) + " bytes");
  }
  // The library would inflate the body in full before the body limit applies.
  for (const std::string& encoding : encodings) {
    if (!equalsNoCase(encoding, "identity")) {
      return refuse(415, "Content-Encoding \"" + encoding.substr(0, 64) +
                             "\" not accepted: send the body uncompressed");
    }
  }
  bChunked_ = !codings.empty();
  chunkPos_ = end_;
  end_ += length;
  return Progress::Body;
}

// Chunks as the library reads them: a size line (hexadecimal digits, maybe an extension after
// ";"), that many bytes and CR LF; a last chunk of size 0 ends the body, with no trailer lines.
RequestReader::Progress RequestReader::scanChunks(const std::string& buf) {
  const std::string tooLarge = "Request over " + std::to_string(maxBodyBytes_) + " bytes";
  for (;;) {
    if (bChunkData_) {
      if (buf.size() < chunkPos_ + chunkBytes_ + 2) return Progress::Body;
      if (buf.compare(chunkPos_ + chunkBytes_, 2, "\r\n") != 0) {
        return refuse(400, chunkBytes_ == 0 ? "Chunked body with trailer lines"
                                            : "Chunk not ended by CR LF");
      }
      chunkPos_ += chunkBytes_ + 2;
      bChunkData_ = false;
      if (chunkBytes_ == 0) {
        end_ = chunkPos_;
        return Progress::Complete;
      }
    }
    const size_t nl = buf.find('\n', chunkPos_);
    if (nl == std::string::npos) {
      if (buf.size() - chunkPos_ <= kMaxChunkLineBytes) return Progress::Body;
      return refuse(400, "Chunk size line over " + std::to_string(kMaxChunkLineBytes) + " bytes");
    }
    size_t digits = 0;
    while (std::isxdigit(static_cast<unsigned char>(buf[chunkPos_ + digits])) != 0) ++digits;
    const char after = buf[chunkPos_ + digits];
    if (digits == 0 || digits > 8 || (after != ';' && after != '\r') || buf[nl - 1] != '\r') {
      return refuse(400, "Bad chunk size line");
    }
    chunkBytes_ = std::stoull(buf.substr(chunkPos_, digits), nullptr, 16);
    // The chunk lines count as well: one byte of data per chunk would take six.
    if (chunkBytes_ > maxBodyBytes_ - bodyBytes_ || nl - end_ > 2 * maxBodyBytes_) {
      return refuse(413, tooLarge);
    }
    bodyBytes_ += chunkBytes_;
    chunkPos_ = nl + 1;
    bChunkData_ = true;
  }
}

// What a "Range" header asks of an answer of `size` bytes.
enum class RangeAsked {
  Whole,  // no single range of bytes that can be read: the whole answer
  Part,   // the bytes [*first, *last], within the answer
  None,   // a range that starts past the end
};

// Reads one range of bytes ("bytes=FIRST-LAST", "bytes=FIRST-" or "bytes=-SUFFIX"); a LAST past
// the end is clipped to it. Several ranges, another unit or a malformed value ask for the whole.
RangeAsked readRange(const std::string& value, uint64_t size, uint64_t* first, uint64_t* last) {
  const std::string unit = "bytes=";
  const std::string text = trimmed(value);
  if (text.size() <= unit.size() || !equalsNoCase(text.substr(0, unit.size()), unit.c_str())) {
    return RangeAsked::Whole;
  }
  const std::string bounds = trimmed(text.substr(unit.size()));
  const size_t dash = bounds.find('-');
  if (dash == std::string::npos || bounds.find(',') != std::string::npos) return RangeAsked::Whole;
  uint64_t a = 0;
  uint64_t b = 0;
  const bool bFirst = readDecimal(bounds.substr(0, dash), &a);
  const bool bLast = readDecimal(bounds.substr(dash + 1), &b);
  if ((!bFirst && dash != 0) || (!bLast && dash + 1 != bounds.size()) || (!bFirst && !bLast) ||
      (bFirst && bLast && b < a)) {
    return RangeAsked::Whole;
  }
  if (!bFirst) {  // the last b bytes
    if (b == 0 || size == 0) return RangeAsked::None;
    *first = size - std::min(b, size);
    *last = size - 1;
    return RangeAsked::Part;
  }
  if (a >= size) return RangeAsked::None;
  *first = a;
  *last = bLast ? std::min(b, size - 1) : size - 1;
  return RangeAsked::Part;
}

// Answers the range that a request's "Range" header `value` asks of a file's answer `res`: 206
// with that part and its "Content-Range", 416 with "Content-Range: bytes */SIZE" when it starts
// past the end, the whole file otherwise.
void serveRange(const std::string& value, httplib::Response& res) {
  const std::string size = std::to_string(res.body.size());
  uint64_t first = 0;
  uint64_t last = 0;
  switch (readRange(value, res.body.size(), &first, &last)) {
    case RangeAsked::Whole:
      return;
    case RangeAsked::None:
      res.status = 416;
      res.set_content("Range \"" + value.substr(0, 64) + "\" not satisfiable: the file holds " +
                          size + " bytes",
                      "text/plain");
      res.set_header("Content-Range", "bytes */" + size);
      return;
    case RangeAsked::Part:
      res.status = 206;
      res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                          std::to_string(last) + "/" + size);
      res.body = res.body.substr(first, last - first + 1);
      return;
  }
}

// What became of the request a worker is answering: the library's routing hooks see no
// connection, so they reach it through tRequest.
struct RequestState {
  std::string range;    // the value of its "Range" header, for a file's answer
  bool bClose = false;  // the answer refuses the request: the connection ends after it
};
thread_local RequestState* tRequest = nullptr;

// Makes `state` the request of this thread for its life.
class CurrentRequest {
 public:
  explicit CurrentRequest(RequestState* state) { tRequest = state; }
  ~CurrentRequest() { tRequest = nullptr; }
  CurrentRequest(const CurrentRequest&) = delete;
  CurrentRequest& operator=(const CurrentRequest&) = delete;
};

// A request that the watcher has read whole, replayed to the library's request processing, and
// its connection for the answer: reads end with the request, and a write fails when it cannot
// progress within kWriteTimeoutMs.
class ClientStream : public httplib::Stream {
 public:
  ClientStream(int fd, const char* request, size_t size)
      : fd_(fd), request_(request), size_(size) {}

  bool is_readable() const override { return next_ < size_; }
  bool is_writable() const override { return waitFor(fd_, POLLOUT, kWriteTimeoutMs); }

  ssize_t read(char* ptr, size_t size) override {
    const size_t n = std::min(size, size_ - next_);
    std::memcpy(ptr, request_ + next_, n);
    next_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override { return sendSome(fd_, ptr, size); }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = addressOf(fd_, /*bPeer=*/true, &port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = addressOf(fd_, /*bPeer=*/false, &port);
  }
  socket_t socket() const override { return fd_; }

 private:
  int fd_;
  const char* request_;
  size_t size_;
  size_t next_ = 0;
};

}  // namespace

// A request read whole by the watcher, for a worker to answer.
struct ReadRequest {
  int fd;
  const char* bytes;
  size_t size;
  std::string range;  // the value of its one "Range" header, taken out of its head
  bool bLast;         // the connection's last request: the answer says that the connection ends
};

// What becomes of a connection after a worker has answered on it.
enum class AfterAnswer : int {
  KeepAlive,  // it waits for its next request
  Drain,      // the answer was its last: what the client still sends is dropped, then closed
  Close,      // it failed: closed at once
};

// The connections of a server between its accepting thread, one watcher thread and a fixed pool
// of workers. The watcher reads every connection that waits for a request (a new one, or one kept
// alive after an answer) without blocking, until the bytes of a whole request have come; the
// request then waits for a worker, which answers it and hands the connection back. Connections
// that hang up, let their deadlines pass or drain after their last answer are closed by the
// watcher. Limits and deadlines as ControlServer describes them.
//
//   ConnectionScheduler scheduler(serve, listener, /*maxBodyBytes=*/1 << 20);
//   scheduler.start(/*workers=*/64, [] { /* each worker's set-up */ });
//   scheduler.admit(fd, /*requestsLeft=*/5);  // the scheduler owns fd from now on
//   scheduler.closeAll();                     // every connection shut down, later ones too
//   scheduler.stop();                         // joins the watcher and the workers
class ConnectionScheduler {
 public:
  // Answers one request on a worker.
  using Serve = std::function<AfterAnswer(const ReadRequest&)>;

  // `listener` gives the listening socket, whose backlog tells a burst from a flood.
  ConnectionScheduler(Serve serve, std::function<int()> listener, size_t maxBodyBytes)
      : serve_(std::move(serve)), listener_(std::move(listener)), maxBodyBytes_(maxBodyBytes) {}
  ~ConnectionScheduler() { stop(); }
  ConnectionScheduler(const ConnectionScheduler&) = delete;
  ConnectionScheduler& operator=(const ConnectionScheduler&) = delete;

  // Starts the watcher and `workers` workers, each of which runs `setUp` first. Once.
  void start(int workers, const std::function<void()>& setUp);
  // Takes `fd` over, on the accepting thread: it waits for its first request, of at most
  // `requestsLeft`. While the waiting set is full and none of its connections may be closed yet,
  // blocks, so that the listen backlog holds the connections that come meanwhile. Closed at once
  // after closeAll or stop.
  void admit(int fd, size_t requestsLeft);
  // Shuts every connection down now, those being served included; later ones are closed.
  void closeAll();
  // Ends the watcher and the workers (each after the request it serves) and closes every
  // connection. Not concurrently with itself.
  void stop();

 private:
  enum class Phase {
    Idle,      // no byte of its next request yet
    Reading,   // part of a request has come
    Draining,  // after its last answer: its output is sent, then what comes is dropped
  };
  struct Connection {
    int fd = -1;
    size_t requestsLeft = 0;
    Phase phase = Phase::Idle;
    bool bServed = false;     // has been answered before
    bool bContinued = false;  // "100 Continue" said for the request being read
    std::string in;           // read and not served yet
    std::string out;          // to send before anything else
    RequestReader reader;
    int64_t since = 0;        // steady-clock ms: entered the waiting set, its phase or the queue
    int64_t firstByte = 0;    // of the request being read
    int64_t lastByte = 0;
    size_t dropped = 0;       // while draining
    size_t accounted = 0;     // of `in`, in buffered_
    uint32_t events = 0;      // watched for
  };
  using Waiting = std::map<uint64_t, Connection>;
  static constexpr uint64_t kWakeId = 0;

  void watchLoop();
  void workLoop();
  // Watches `conn` for its next request (or, draining, for its end).
  Waiting::iterator watchLocked(Connection conn);
  // Stops watching and closes the connection.
  void closeLocked(Waiting::iterator it);
  // Stops watching and hands the connection on, to the queue of whole requests.
  Connection takeLocked(Waiting::iterator it);
  bool updateEventsLocked(Waiting::iterator it);
  void onEventLocked(Waiting::iterator it, uint32_t events);
  // Sends what `out` holds; false when the connection failed and was closed.
  bool flushLocked(Waiting::iterator it);
  void readLocked(Waiting::iterator it);
  // Looks at the bytes read: a whole request goes to a worker, a refused one is answered.
  void advanceLocked(Waiting::iterator it);
  void queueLocked(Waiting::iterator it);
  // Answers `status` and `message`, then drains and closes.
  void refuseLocked(Waiting::iterator it, int status, const std::string& message);
  void drainLocked(Waiting::iterator it, const std::string& answer);
  // Closes what has let its deadline pass; sets nextDeadline_.
  void sweepLocked(int64_t time);
  void expireLocked(Waiting::iterator it);
  // Closes one waiting connection to make room for a new one: one that drains, or waits for its
  // next request after an answer; else the one that has waited longest, once it has waited
  // kEvictAfterMs or during a flood. False when none may go yet; *retryAt is then when the
  // longest-waiting may.
  bool evictLocked(int64_t time, int64_t* retryAt);
  // Connections that the kernel holds in the listen backlog.
  size_t pendingAccepts() const;
  void returnLocked(Connection conn, AfterAnswer after);
  static int64_t deadlineOf(const Connection& conn);
  void noteDeadlineLocked(int64_t deadline);
  void accountLocked(Connection& conn);
  void dropLocked(int fd);
  void wakeWatcher();

  Serve serve_;
  std::function<int()> listener_;
  size_t maxBodyBytes_;
  std::mutex mutex_;
  std::condition_variable readyCv_;
  std::condition_variable roomCv_;  // a connection has left the waiting set
  // Waiting connections by admission: the first has waited longest.
  Waiting waiting_;
  std::deque<Connection> ready_;  // whole requests, for a worker
  std::set<int> open_;            // every connection owned, for closeAll
  uint64_t nextId_ = kWakeId + 1;
  size_t buffered_ = 0;           // request bytes held, of all connections
  int64_t nextDeadline_ = kNever;
  int64_t floodUntil_ = 0;  // steady-clock ms: a flood is taken to go on until then
  bool bWatcherAsleep_ = false;
  int64_t watcherWakesAt_ = kNever;
  bool bClosing_ = false;
  bool bStopping_ = false;
  int epoll_ = -1;
  int wake_ = -1;
  std::thread watcher_;
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
  watcher_ = std::thread([this] { watchLoop(); });
  for (int i = 0; i < workers; ++i) {
    workers_.emplace_back([this, setUp] {
      setUp();
      workLoop();
    });
  }
}

void ConnectionScheduler::admit(int fd, size_t requestsLeft) {
  std::unique_lock<std::mutex> lock(mutex_);
  open_.insert(fd);
  // A server stopped without closeAll accepts no more either.
  while (!bClosing_ && !bStopping_ && listener_() >= 0 &&
         waiting_.size() >= kMaxWaitingConnections) {
    const int64_t time = nowMs();
    int64_t retryAt = time + kAdmitRetryMs;
    if (!evictLocked(time, &retryAt)) {
      roomCv_.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(retryAt - time, 1)));
    }
  }
  if (bClosing_ || bStopping_ || requestsLeft == 0) {
    dropLocked(fd);
    return;
  }
  Connection conn;
  conn.fd = fd;
  conn.requestsLeft = requestsLeft;
  conn.reader = RequestReader(maxBodyBytes_);
  watchLocked(std::move(conn));
}

void ConnectionScheduler::closeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  bClosing_ = true;
  for (const int fd : open_) ::shutdown(fd, SHUT_RDWR);
  roomCv_.notify_all();
}

void ConnectionScheduler::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bStopping_) return;
    bStopping_ = true;
  }
  wakeWatcher();
  readyCv_.notify_all();
  roomCv_.notify_all();
  if (watcher_.joinable()) watcher_.join();
  for (auto& worker : workers_) worker.join();
  workers_.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  while (!waiting_.empty()) closeLocked(waiting_.begin());
  for (const Connection& conn : ready_) dropLocked(conn.fd);
  ready_.clear();
  for (int* fd : {&epoll_, &wake_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

ConnectionScheduler::Waiting::iterator ConnectionScheduler::watchLocked(Connection conn) {
  conn.since = nowMs();
  conn.events = 0;
  const auto it = waiting_.emplace(nextId_++, std::move(conn)).first;
  accountLocked(it->second);
  if (!updateEventsLocked(it)) return waiting_.end();
  noteDeadlineLocked(deadlineOf(it->second));
  return it;
}

void ConnectionScheduler::closeLocked(Waiting::iterator it) {
  Connection conn = takeLocked(it);
  buffered_ -= conn.accounted;
  dropLocked(conn.fd);
}

ConnectionScheduler::Connection ConnectionScheduler::takeLocked(Waiting::iterator it) {
  Connection conn = std::move(it->second);
  waiting_.erase(it);
  if (conn.events != 0) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, conn.fd, nullptr);
  conn.events = 0;
  roomCv_.notify_one();
  return conn;
}

bool ConnectionScheduler::updateEventsLocked(Waiting::iterator it) {
  Connection& conn = it->second;
  const uint32_t wanted = EPOLLIN | EPOLLRDHUP | (conn.out.empty() ? 0u : uint32_t(EPOLLOUT));
  if (wanted == conn.events) return true;
  epoll_event event{};
  event.events = wanted;
  event.data.u64 = it->first;
  if (::epoll_ctl(epoll_, conn.events == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, conn.fd, &event) != 0) {
    LOG(WARNING) << "HTTP connection dropped, can't watch it: " << std::strerror(errno);
    closeLocked(it);
    return false;
  }
  conn.events = wanted;
  return true;
}

void ConnectionScheduler::onEventLocked(Waiting::iterator it, uint32_t events) {
  if ((events & EPOLLOUT) != 0 && !flushLocked(it)) return;
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) readLocked(it);
}

bool ConnectionScheduler::flushLocked(Waiting::iterator it) {
  Connection& conn = it->second;
  if (!conn.out.empty()) {
    const ssize_t n =
        ::send(conn.fd, conn.out.data(), conn.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      closeLocked(it);
      return false;
    }
    conn.out.erase(0, n > 0 ? static_cast<size_t>(n) : 0);
    // All said: the client sees the end of the stream, and closes in turn.
    if (conn.out.empty() && conn.phase == Phase::Draining) ::shutdown(conn.fd, SHUT_WR);
  }
  return updateEventsLocked(it);
}

void ConnectionScheduler::readLocked(Waiting::iterator it) {
  Connection& conn = it->second;
  char buf[16384];
  const ssize_t n = ::recv(conn.fd, buf, sizeof(buf), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0 || bClosing_) {
    closeLocked(it);  // hung up, failed, or the server is closing
    return;
  }
  if (conn.phase == Phase::Draining) {
    conn.dropped += static_cast<size_t>(n);
    if (conn.dropped > kMaxDiscardBytes) closeLocked(it);
    return;
  }
  if (buffered_ + static_cast<size_t>(n) > kMaxBufferedBytes) {
    refuseLocked(it, 503, kBusyMessage);
    return;
  }
  const int64_t time = nowMs();
  if (conn.phase == Phase::Idle) {
    conn.phase = Phase::Reading;
    conn.firstByte = time;
  }
  conn.lastByte = time;
  conn.in.append(buf, static_cast<size_t>(n));
  advanceLocked(it);
}

void ConnectionScheduler::advanceLocked(Waiting::iterator it) {
  Connection& conn = it->second;
  const RequestReader::Progress progress = conn.reader.scan(conn.in);
  accountLocked(conn);
  if (progress == RequestReader::Progress::Complete) {
    queueLocked(it);
  } else if (progress == RequestReader::Progress::Refused) {
    LOG(WARNING) << "HTTP request refused: " << conn.reader.refusalStatus() << " "
                 << conn.reader.refusalMessage();
    refuseLocked(it, conn.reader.refusalStatus(), conn.reader.refusalMessage());
  } else if (conn.reader.expectsContinue() && !conn.bContinued) {
    // Only a request that has not been refused by its head is invited to send its body.
    conn.bContinued = true;
    conn.out += "HTTP/1.1 100 Continue\r\n\r\n";
    flushLocked(it);
  }
}

void ConnectionScheduler::queueLocked(Waiting::iterator it) {
  if (ready_.size() >= kMaxReadyConnections) {
    refuseLocked(it, 503, kBusyMessage);
    return;
  }
  ready_.push_back(takeLocked(it));
  ready_.back().since = nowMs();
  if (ready_.size() == 1) noteDeadlineLocked(ready_.front().since + kReadyWaitMs);
  readyCv_.notify_one();
}

void ConnectionScheduler::refuseLocked(Waiting::iterator it, int status,
                                       const std::string& message) {
  drainLocked(it, refusalAnswer(status, message));
}

void ConnectionScheduler::drainLocked(Waiting::iterator it, const std::string& answer) {
  Connection& conn = it->second;
  conn.phase = Phase::Draining;
  conn.since = nowMs();
  conn.dropped = 0;
  conn.in = std::string();
  accountLocked(conn);
  conn.out += answer;
  noteDeadlineLocked(deadlineOf(conn));
  if (conn.out.empty()) {
    ::shutdown(conn.fd, SHUT_WR);
  } else {
    flushLocked(it);
  }
}

int64_t ConnectionScheduler::deadlineOf(const Connection& conn) {
  switch (conn.phase) {
    case Phase::Idle:
      return conn.since + kKeepAliveTimeoutS * 1000;
    case Phase::Reading:
      return std::min(conn.firstByte + kRequestReadTimeoutMs, conn.lastByte + kReadTimeoutMs);
    case Phase::Draining:
      break;
  }
  return conn.since + kDiscardMs;
}

void ConnectionScheduler::noteDeadlineLocked(int64_t deadline) {
  nextDeadline_ = std::min(nextDeadline_, deadline);
  // The watcher sleeps until the deadline it knew of; an earlier one wakes it.
  if (bWatcherAsleep_ && deadline < watcherWakesAt_) {
    watcherWakesAt_ = deadline;
    wakeWatcher();
  }
}

void ConnectionScheduler::sweepLocked(int64_t time) {
  nextDeadline_ = kNever;
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    const auto next = std::next(it);
    const int64_t deadline = deadlineOf(it->second);
    if (deadline <= time) {
      expireLocked(it);
    } else {
      nextDeadline_ = std::min(nextDeadline_, deadline);
    }
    it = next;
  }
  // Whole requests that no worker took in time are answered 503, as the queue would be full.
  while (!ready_.empty() && ready_.front().since + kReadyWaitMs <= time) {
    Connection conn = std::move(ready_.front());
    ready_.pop_front();
    const auto it = watchLocked(std::move(conn));
    if (it != waiting_.end()) refuseLocked(it, 503, kBusyMessage);
  }
  if (!ready_.empty()) nextDeadline_ = std::min(nextDeadline_, ready_.front().since + kReadyWaitMs);
}

void ConnectionScheduler::expireLocked(Waiting::iterator it) {
  Connection& conn = it->second;
  if (conn.phase == Phase::Reading) {
    // All the client sent has been read: closing now does not reset the connection.
    const std::string answer = refusalAnswer(
        408, "Request not received within " + std::to_string(kRequestReadTimeoutMs / 1000) +
                 " s, or its bytes stopped for " + std::to_string(kReadTimeoutMs / 1000) + " s");
    ::send(conn.fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  closeLocked(it);
}

bool ConnectionScheduler::evictLocked(int64_t time, int64_t* retryAt) {
  for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
    const Connection& conn = it->second;
    if (conn.phase == Phase::Draining || (conn.phase == Phase::Idle && conn.bServed)) {
      closeLocked(it);
      return true;
    }
  }
  if (pendingAccepts() > kBurstBacklog) floodUntil_ = time + kFloodHoldMs;
  const auto oldest = waiting_.begin();
  if (time - oldest->second.since < kEvictAfterMs && time >= floodUntil_) {
    *retryAt = std::min(*retryAt, oldest->second.since + kEvictAfterMs);
    return false;
  }
  // Bytes that came but that the watcher has not read yet may complete a request.
  const uint64_t id = oldest->first;
  readLocked(oldest);
  if (waiting_.empty() || waiting_.begin()->first != id) return true;
  if (oldest->second.phase == Phase::Reading) {
    const std::string answer = refusalAnswer(503, kBusyMessage);
    ::send(oldest->second.fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  closeLocked(oldest);
  return true;
}

size_t ConnectionScheduler::pendingAccepts() const {
  const int fd = listener_();
  tcp_info info{};
  socklen_t len = sizeof(info);
  if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return 0;
  // Of a listening socket, Linux gives there the connections ready to be accepted.
  return info.tcpi_unacked;
}

void ConnectionScheduler::returnLocked(Connection conn, AfterAnswer after) {
  if (bClosing_ || bStopping_ || after == AfterAnswer::Close) {
    dropLocked(conn.fd);
    return;
  }
  conn.bServed = true;
  conn.bContinued = false;
  conn.reader = RequestReader(maxBodyBytes_);
  conn.phase = Phase::Idle;
  if (after == AfterAnswer::Drain || conn.requestsLeft == 0) {
    const auto it = watchLocked(std::move(conn));
    if (it != waiting_.end()) drainLocked(it, std::string());
    return;
  }
  // Bytes that came after the request begin the next one.
  if (!conn.in.empty()) {
    conn.phase = Phase::Reading;
    conn.firstByte = conn.lastByte = nowMs();
  }
  const auto it = watchLocked(std::move(conn));
  if (it != waiting_.end() && it->second.phase == Phase::Reading) advanceLocked(it);
}

void ConnectionScheduler::accountLocked(Connection& conn) {
  buffered_ = buffered_ - conn.accounted + conn.in.size();
  conn.accounted = conn.in.size();
}

void ConnectionScheduler::dropLocked(int fd) {
  open_.erase(fd);
  closeSocket(fd);
}

void ConnectionScheduler::wakeWatcher() {
  const uint64_t one = 1;
  if (wake_ >= 0 && ::write(wake_, &one, sizeof(one)) < 0) {
    // Full counter: a wake-up is pending anyway.
  }
}

void ConnectionScheduler::watchLoop() {
  epoll_event events[64];
  std::unique_lock<std::mutex> lock(mutex_);
  while (!bStopping_) {
    const int64_t left =
        nextDeadline_ == kNever ? -1 : std::max<int64_t>(nextDeadline_ - nowMs(), 0);
    bWatcherAsleep_ = true;
    watcherWakesAt_ = nextDeadline_;
    lock.unlock();
    const int timeoutMs = static_cast<int>(std::min<int64_t>(left, INT_MAX));
    const int n = ::epoll_wait(epoll_, events, 64, timeoutMs);
    lock.lock();
    bWatcherAsleep_ = false;
    for (int i = 0; i < n; ++i) {
      const uint64_t id = events[i].data.u64;
      if (id == kWakeId) {
        uint64_t count = 0;
        while (::read(wake_, &count, sizeof(count)) > 0) {
        }
        continue;
      }
      const auto it = waiting_.find(id);  // not found: closed or handed on meanwhile
      if (it == waiting_.end()) continue;
      try {
        onEventLocked(it, events[i].events);
      } catch (const std::exception& e) {  // out of memory, say: that connection goes
        LOG(WARNING) << "HTTP connection closed: " << e.what();
        const auto failed = waiting_.find(id);
        if (failed != waiting_.end()) closeLocked(failed);
      }
    }
    const int64_t time = nowMs();
    if (time >= nextDeadline_) sweepLocked(time);
  }
}

void ConnectionScheduler::workLoop() {
  for (;;) {
    Connection conn;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      readyCv_.wait(lock, [this] { return bStopping_ || !ready_.empty(); });
      if (bStopping_) return;  // stop closes what remains
      conn = std::move(ready_.front());
      ready_.pop_front();
      buffered_ -= conn.accounted;  // the worker holds the bytes now
      conn.accounted = 0;
    }
    AfterAnswer after = AfterAnswer::Close;
    try {
      // What the watcher could not send yet ("100 Continue") comes first.
      if (sendAll(conn.fd, conn.out)) {
        conn.out.clear();
        after = serve_(ReadRequest{conn.fd, conn.in.data(), conn.reader.requestBytes(),
                                   conn.reader.range(), conn.requestsLeft == 1});
      }
    } catch (const std::exception& e) {
      LOG(WARNING) << "HTTP connection closed: " << e.what();
    }
    conn.in.erase(0, conn.reader.requestBytes());
    --conn.requestsLeft;
    std::lock_guard<std::mutex> lock(mutex_);
    returnLocked(std::move(conn), after);
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
    : bUseOpenCL_(cv::ocl::useOpenCL()),
      scheduler_(std::make_unique<ConnectionScheduler>(
          [this](const ReadRequest& request) { return serve(request); },
          [this] { return static_cast<int>(svr_sock_.load()); }, maxBodyBytes)) {
  // OpenCV's OpenCL switch is per thread: each worker takes the application's choice, made on
  // the thread that built the server, so that a view re-prepared there runs where it runs here.
  new_task_queue = [this] {
    // Made once the socket listens. The library listens with a backlog of 5, which a burst of
    // connections overflows: the kernel then drops a client's SYN, and its connect waits a
    // second or more to try again. The backlog also holds the connections that come while the
    // waiting set is full.
    ::listen(svr_sock_, SOMAXCONN);
    return new AdmittingQueue(*scheduler_, [this] { cv::ocl::setUseOpenCL(bUseOpenCL_); });
  };
  set_keep_alive_timeout(kKeepAliveTimeoutS);
  set_payload_max_length(maxBodyBytes);
  // Only a static file honours a range (the library would cut any answer: a JSON document, or
  // mark an endless MJPEG stream as partial).
  set_file_request_handler([](const httplib::Request&, httplib::Response& res) {
    if (tRequest != nullptr && !tRequest->range.empty()) serveRange(tRequest->range, res);
  });
  // An answer that refuses the request ends the connection, whatever the library would do: the
  // client is told so, once, and sends its next request on a new one.
  set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.status < 400 || tRequest == nullptr) return;
    tRequest->bClose = true;
    res.headers.erase("Keep-Alive");
    res.headers.erase("Connection");
    res.set_header("Connection", "close");
  });
}

ControlServer::~ControlServer() = default;

void ControlServer::closeConnections() { scheduler_->closeAll(); }

bool ControlServer::process_and_close_socket(socket_t sock) {
  scheduler_->admit(sock, keep_alive_max_count_);
  return true;
}

AfterAnswer ControlServer::serve(const ReadRequest& request) {
  ClientStream strm(request.fd, request.bytes, request.size);
  RequestState state;
  state.range = request.range;
  bool bClosed = false;
  bool bServed = false;
  {
    const CurrentRequest current(&state);
    bServed = process_request(strm, /*close_connection=*/request.bLast, bClosed,
                              [&state](httplib::Request& req) {
                                // A part is cut from the file as it is, never compressed.
                                if (!state.range.empty()) req.headers.erase("Accept-Encoding");
                              });
  }
  if (!bServed || svr_sock_ == INVALID_SOCKET) return AfterAnswer::Close;
  return bClosed || state.bClose ? AfterAnswer::Drain : AfterAnswer::KeepAlive;
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
    if (!bStarts || isNumberTokenChar(body[i - 1])) continue;
    size_t end = i;
    while (end < body.size() && isNumberTokenChar(body[end])) ++end;
    const std::string token = body.substr(i, end - i);
    if (!numberTokenFits(token)) *badNumber = token;
    i = end - 1;
  }
  return true;
}

}  // namespace tesmo
