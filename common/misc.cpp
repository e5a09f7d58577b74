#include "common/misc.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iomanip>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace cv {

void read_bool(const cv::FileNode& node, bool& value, const bool& default_value) {
  std::string text = node.isString() ? node.string() : std::string();
  const size_t blank = text.find(' ');
  if (blank != std::string::npos) {
    text.resize(blank);
  }
  static const char* const kTrue[] = {"y",    "Y",    "yes", "Yes", "YES", "true",
                                      "True", "TRUE", "on",  "On",  "ON"};
  static const char* const kFalse[] = {"n",     "N",     "no",  "No",  "NO", "false",
                                       "False", "FALSE", "off", "Off", "OFF"};
  for (const char* word : kTrue) {
    if (text == word) {
      value = true;
      return;
    }
  }
  for (const char* word : kFalse) {
    if (text == word) {
      value = false;
      return;
    }
  }
  if (node.isInt()) {
    value = static_cast<int>(node) > 0;
    return;
  }
  value = default_value;
}

}  // namespace cv

bool isEnabled(const cv::FileNode& node) {
  const cv::FileNode enabled = node["enabled"];
  if (enabled.isNone()) {
    return true;
  }
  bool value = false;
  cv::read_bool(enabled, value, false);
  return value;
}

namespace tesmo {

namespace {

std::string formatNumber(double v) {
  if (std::isnan(v)) {
    return "nan";
  }
  std::ostringstream out;
  out << std::setprecision(17) << v;
  return out.str();
}

template <typename T>
std::string rangeText(const char* what, T lo, T hi) {
  const bool anyLo = lo == std::numeric_limits<T>::lowest();
  const bool anyHi = hi == std::numeric_limits<T>::max();
  std::ostringstream out;
  out << what;
  if (anyLo && anyHi) {
    return out.str();
  }
  if (anyLo) {
    out << " at most " << hi;
  } else if (anyHi) {
    out << " at least " << lo;
  } else {
    out << " in " << lo << ".." << hi;
  }
  return out.str();
}

// The number a node holds, or false when it holds none.
bool numberOf(const cv::FileNode& node, double* v) {
  if (node.isInt()) {
    *v = static_cast<int>(node);
    return true;
  }
  if (node.isReal()) {
    *v = node.real();
    return true;
  }
  return false;
}

// The key's node in `section`; none when the section is not a map.
cv::FileNode keyNode(const cv::FileNode& section, const char* key) {
  return section.isMap() ? section[key] : cv::FileNode();
}

// A number key: an integer type takes only numbers without a fractional part.
template <typename T>
bool readNumber(const cv::FileNode& section, const std::string& sectionName, const char* key,
                T& value, T lo, T hi) {
  const cv::FileNode node = keyNode(section, key);
  if (node.isNone()) {
    return false;
  }
  constexpr bool kInteger = std::is_integral<T>::value;
  double v = 0;
  if (!numberOf(node, &v) || (kInteger && std::floor(v) != v) || !(v >= lo && v <= hi)) {
    refuseKey(sectionName, key, node,
              rangeText(kInteger ? "an integer" : "a finite number", lo, hi));
  }
  value = static_cast<T>(v);
  return true;
}

}  // namespace

std::string describeNode(const cv::FileNode& node) {
  if (node.isString()) {
    return "\"" + node.string() + "\"";
  }
  if (node.isInt()) {
    return std::to_string(static_cast<int>(node));
  }
  if (node.isReal()) {
    return formatNumber(node.real());
  }
  if (node.isMap()) {
    return "a map";
  }
  if (node.isSeq()) {
    return "a sequence";
  }
  return "nothing";
}

std::string describeValue(const cv::FileNode& node) {
  if (!node.isSeq()) return describeNode(node);
  std::string text = "[";
  for (size_t i = 0; i < node.size(); ++i) {
    text += (i > 0 ? ", " : "") + describeNode(node[static_cast<int>(i)]);
  }
  return text + "]";
}

namespace {

// The channels of a matrix element type as OpenCV decodes "dt": one element depth of "ucwsifdh",
// repeated or after a count; 0 for a text that is no such type.
int typeChannels(const std::string& dt) {
  int channels = 0;
  char depth = 0;
  for (size_t i = 0; i < dt.size(); ++i) {
    int count = 1;
    if (std::isdigit(static_cast<unsigned char>(dt[i]))) {
      count = 0;
      while (i < dt.size() && std::isdigit(static_cast<unsigned char>(dt[i])) &&
             count <= CV_CN_MAX) {
        count = 10 * count + (dt[i++] - '0');
      }
    }
    const bool bDepth = i < dt.size() && std::strchr("ucwsifdh", dt[i]) != nullptr && dt[i] != 0;
    if (!bDepth || (depth != 0 && dt[i] != depth) || count < 1) return 0;
    depth = dt[i];
    channels += count;
    if (channels > CV_CN_MAX) return 0;
  }
  return channels;
}

// Most dimensions of a matrix (CV_MAX_DIM of OpenCV's C interface).
constexpr size_t kMaxMatrixDims = 32;

// A matrix size as OpenCV's reader takes it: an integer (a real without a fractional part
// included) of at least 0.
bool matrixSize(const cv::FileNode& node, int* size) {
  double v = 0;
  if (!numberOf(node, &v) || std::floor(v) != v || !(v >= 0 && v <= INT_MAX)) return false;
  *size = static_cast<int>(v);
  return true;
}

// The sizes of a matrix node: "rows" and "cols", or the elements of "sizes" when it has no
// "rows" (as OpenCV's reader looks for them); false with *got set when one is no size.
bool matrixSizes(const cv::FileNode& node, std::vector<int>* sizes, std::string* got) {
  const auto whose = [&](const char* key) {
    *got = "a matrix whose \"" + std::string(key) + "\" is " + describeValue(node[key]);
    return false;
  };
  if (!node["rows"].isNone()) {
    sizes->assign(2, 0);
    if (!matrixSize(node["rows"], &(*sizes)[0])) return whose("rows");
    return matrixSize(node["cols"], &(*sizes)[1]) || whose("cols");
  }
  const cv::FileNode list = node["sizes"];
  if (!list.isSeq() || list.size() < 1 || list.size() > kMaxMatrixDims) return whose("rows");
  for (const cv::FileNode& size : list) {
    sizes->push_back(0);
    if (!matrixSize(size, &sizes->back())) return whose("sizes");
  }
  return true;
}

}  // namespace

bool readMatrix(const cv::FileNode& node, cv::Mat* m, std::string* got) {
  if (node.isNone()) {
    *m = cv::Mat();
    return true;
  }
  if (!node.isMap()) {
    *got = node.isSeq() && node.size() <= 16 ? describeValue(node) : describeNode(node);
    return false;
  }
  const cv::FileNode dt = node["dt"];
  const int channels = dt.isString() ? typeChannels(dt.string()) : 0;
  std::vector<int> sizes;
  if (channels == 0) {
    *got = "a matrix whose \"dt\" is " + describeNode(dt);
    return false;
  }
  if (!matrixSizes(node, &sizes, got)) return false;
  const cv::FileNode data = node["data"];
  if (!data.isSeq()) {
    *got = "a matrix whose \"data\" is " + describeNode(data);
    return false;
  }
  // The count grows only while within the numbers of "data" (a bounded document holds some
  // millions): the product of the sizes alone may pass any integer type.
  uint64_t numbers = static_cast<uint64_t>(channels);
  std::string shape;
  for (int size : sizes) {
    numbers = numbers > data.size() ? numbers : numbers * static_cast<uint64_t>(size);
    shape += (shape.empty() ? "" : "x") + std::to_string(size);
  }
  if (numbers != data.size()) {
    *got = "a " + shape + " matrix of type \"" + dt.string() + "\" with " +
           std::to_string(data.size()) + " numbers in \"data\"";
    return false;
  }
  for (const cv::FileNode& v : data) {
    if (!v.isInt() && !v.isReal()) {
      *got = "a matrix whose \"data\" holds " + describeNode(v);
      return false;
    }
  }
  try {
    cv::Mat read;
    node >> read;
    *m = read;
  } catch (const cv::Exception& e) {
    *got = "a matrix that OpenCV can't read (" + e.err + ")";
    return false;
  }
  return true;
}

void refuseKey(const std::string& sectionName, const char* key, const cv::FileNode& node,
               const std::string& expected) {
  refuseValue(sectionName, key, expected, describeNode(node));
}

void refuseValue(const std::string& sectionName, const char* key, const std::string& expected,
                 const std::string& got) {
  const std::string section = sectionName.empty() ? "" : " in \"" + sectionName + "\"";
  throw std::runtime_error("Key \"" + std::string(key) + "\"" + section + " must be " + expected +
                           ", got " + got);
}

bool isNumberTokenChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
         c == '+' || c == '-';
}

bool numberTokenFits(const std::string& token) {
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

size_t documentNestingBound(const std::string& text) {
  size_t openers = 0;
  size_t deepestLineStart = 0;
  size_t lineStart = 0;  // length of the current line's leading run of blanks and dashes
  bool bLineStart = true;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n' || c == '\r') {
      bLineStart = true;
      lineStart = 0;
      continue;
    }
    if (bLineStart) {
      if (c == ' ' || c == '\t' || c == '-') {
        deepestLineStart = std::max(deepestLineStart, ++lineStart);
      } else {
        bLineStart = false;
      }
    }
    if (c == '[' || c == '{') {
      ++openers;
    } else if (c == '<') {
      // "</", "<!" and "<?" close an element or open none.
      const char next = i + 1 < text.size() ? text[i + 1] : '\0';
      if (next != '/' && next != '!' && next != '?') ++openers;
    }
  }
  return openers + deepestLineStart;
}

namespace {

// Stack that OpenCV 4.6's readers take for one level that documentNestingBound counts: 400 bytes
// for an XML element, 256 for a YAML level, 160 for a JSON one, measured alike in the Release
// and the AddressSanitizer builds (OpenCV's own code is not instrumented); 1 KiB leaves a margin
// of 2.5. The readers' other use of the stack is some 25 kB, far within kParseStackBase.
constexpr size_t kParseStackPerLevel = 1024;
constexpr size_t kParseStackBase = size_t(8) << 20;
// Counted levels beyond which a document is refused unparsed: their stack would pass 1 GiB.
constexpr size_t kMaxCountedNesting = (size_t(1) << 30) / kParseStackPerLevel;

[[noreturn]] void refuseDocument(const std::string& path, const std::string& why) {
  throw std::runtime_error("File \"" + path + "\" can't be read: " + why);
}

// The file that OpenCV's reader opens for `path`: the name before a last "?" (parameters follow
// it), none for a path of more than one line; gzip-compressed when the name's last "." starts
// "gz" or "gz" and a digit (a compression level, not part of the name).
struct DocumentFile {
  std::string name;
  bool bGzip = false;
};

DocumentFile documentFile(const std::string& path) {
  DocumentFile file;
  if (path.find('\n') != std::string::npos) return file;
  file.name = path.substr(0, path.find_last_of('?'));
  const size_t dot = file.name.find_last_of('.');
  const std::string suffix = dot == std::string::npos ? "" : file.name.substr(dot + 1);
  file.bGzip = suffix == "gz" || (suffix.size() == 3 && suffix.compare(0, 2, "gz") == 0 &&
                                  std::isdigit(static_cast<unsigned char>(suffix[2])));
  if (file.bGzip && suffix.size() == 3) file.name.pop_back();
  return file;
}

// Appends what `read` (a read(2)-like function: bytes read, 0 at the end, -1 on an error) gives
// to `text` until the end or until text passes kMaxDocumentBytes; false on an error.
template <typename Read>
bool readBounded(Read read, std::string* text) {
  char buf[65536];
  long n = 0;
  while (text->size() <= kMaxDocumentBytes && (n = read(buf, sizeof(buf))) > 0) {
    text->append(buf, size_t(n));
  }
  return n >= 0;
}

// Closes a file descriptor when it goes, unless released.
struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) ::close(fd);
  }
  int release() { return std::exchange(fd, -1); }
};

// Opens `file` for reading: its descriptor, or -1 when it cannot be opened. An open that a signal
// interrupts (a FIFO's open waits for a writer) is the document's failure: opening it again
// would wait again, and the signal was most likely meant to end the wait.
int openFile(const DocumentFile& file, const std::string& path) {
  const int fd = ::open(file.name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == EINTR) refuseDocument(path, "interrupted while opening it");
  return fd;
}

// Why a read failed with errno `error`.
std::string readError(int error) {
  return error == EINTR ? "interrupted while reading it" : std::strerror(error);
}

// Reads the gzip-compressed document on `fd` uncompressed (gzread also takes an uncompressed one
// as it stands). A stream cut short reads as a clean end to gzread: only gzerror tells.
void readCompressed(FileCloser* fd, const std::string& path, std::string* text) {
  std::unique_ptr<gzFile_s, int (*)(gzFile)> in(gzdopen(fd->fd, "rb"), &gzclose);
  if (!in) refuseDocument(path, "no memory to uncompress it");
  fd->release();
  std::string why;
  const auto read = [&](char* buf, size_t size) -> long {
    const int n = gzread(in.get(), buf, static_cast<unsigned>(size));
    if (n > 0) return static_cast<long>(n);
    const int error = errno;
    int code = Z_OK;
    // zlib's message, after the "<fd:N>: " that names the descriptor.
    std::string message = gzerror(in.get(), &code);
    message.erase(0, message.find(": ") == std::string::npos ? 0 : message.find(": ") + 2);
    if (n < 0) {
      why = code == Z_ERRNO ? readError(error) : message;
    } else if (code != Z_OK) {
      why = "its compressed data is cut short (" + message + ")";
    }
    return why.empty() ? n : -1;
  };
  if (!readBounded(read, text)) refuseDocument(path, why);
}

void readPlain(int fd, const std::string& path, std::string* text) {
  int error = 0;
  const auto read = [&](char* buf, size_t size) -> long {
    const ssize_t n = ::read(fd, buf, size);
    error = n < 0 ? errno : 0;
    return static_cast<long>(n);
  };
  if (!readBounded(read, text)) refuseDocument(path, readError(error));
}

// Reads `file` as OpenCV's reader does, a compressed one uncompressed; false when it cannot be
// opened. An error in reading it throws std::runtime_error naming `path`: OpenCV would parse the
// part before the error unchecked.
bool readDocument(const DocumentFile& file, const std::string& path, std::string* text) {
  FileCloser fd{openFile(file, path)};
  if (fd.fd < 0) return false;
  if (file.bGzip) {
    readCompressed(&fd, path, text);
  } else {
    readPlain(fd.fd, path, text);
  }
  return true;
}

struct ParseJob {
  cv::FileStorage* fs;
  const std::string* text;
  bool bOpened;
  std::exception_ptr error;
};

void* runParseJob(void* arg) {
  ParseJob* job = static_cast<ParseJob*>(arg);
  try {
    job->bOpened = job->fs->open(*job->text, cv::FileStorage::READ | cv::FileStorage::MEMORY);
  } catch (...) {
    job->error = std::current_exception();
  }
  return nullptr;
}

// fs.open of `text` in memory on a thread of `stackBytes` stack; what it throws is thrown here.
bool parseOnThread(cv::FileStorage& fs, const std::string& text, size_t stackBytes,
                   const std::string& path) {
  ParseJob job{&fs, &text, false, nullptr};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  int rc = pthread_attr_setstacksize(&attr, stackBytes);
  pthread_t thread;
  if (rc == 0) rc = pthread_create(&thread, &attr, &runParseJob, &job);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    refuseDocument(path, "no thread of " + std::to_string(stackBytes >> 20) +
                             " MiB stack to parse it: " + std::strerror(rc));
  }
  pthread_join(thread, nullptr);
  if (job.error) std::rethrow_exception(job.error);
  return job.bOpened;
}

// OpenCV's memory reader names the buffer in a parse error where its file reader names the file:
// the part of a one-line buffer before a last "?", nothing for a longer one. The length of that
// name at the start of e.func, or npos for another error.
size_t bufferNameLength(const cv::Exception& e, const std::string& text) {
  const std::string shown(text.c_str());  // the reader stops at a NUL byte
  const std::string name =
      shown.find('\n') != std::string::npos ? "" : shown.substr(0, shown.find_last_of('?'));
  const bool bNamed =
      e.code == cv::Error::StsParseError && e.func.compare(0, name.size() + 1, name + "(") == 0;
  return bNamed ? name.size() : std::string::npos;
}

// The deepest nesting of maps and sequences in fs, every document counted, without recursion.
size_t documentDepth(const cv::FileStorage& fs) {
  std::vector<std::pair<cv::FileNode, size_t>> pending;
  for (int i = 0; !fs.root(i).isNone(); ++i) pending.emplace_back(fs.root(i), 1);
  size_t deepest = 0;
  while (!pending.empty()) {
    const cv::FileNode node = pending.back().first;
    const size_t depth = pending.back().second;
    pending.pop_back();
    deepest = std::max(deepest, depth);
    for (const cv::FileNode& child : node) {
      if (child.isMap() || child.isSeq()) pending.emplace_back(child, depth + 1);
    }
  }
  return deepest;
}

// An integer of a document's text that does not fit an int: the token, its line (from 1) and
// the int that OpenCV's parsers make of it, (int)strtol(token, 0, 0); one beyond a long
// saturates strtol, and becomes -1 (or 0 with a minus sign).
struct WideInteger {
  std::string token;
  size_t line;
  int wrapped;
  bool bSaturated;
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Whether text[begin, end) is an integer token as a whole, as strtol with base 0 reads it.
bool isIntegerToken(const std::string& text, size_t begin, size_t end) {
  const size_t digits = begin + (text[begin] == '+' || text[begin] == '-');
  if (digits >= end || !isDigit(text[digits])) return false;
  const bool bHex = end - digits > 2 && text[digits] == '0' &&
                    (text[digits + 1] == 'x' || text[digits + 1] == 'X');
  for (size_t i = digits + (bHex ? 2 : 0); i < end; ++i) {
    if (!(bHex ? isHexDigit(text[i]) : isDigit(text[i]))) return false;
  }
  return true;
}

// Whether the integer token text[begin, end) is a decimal one (no leading 0, which makes strtol
// read octal or hexadecimal) that fits an int, told without converting it: most documents hold
// millions of numbers.
bool decimalFits(const std::string& text, size_t begin, size_t end) {
  const bool bNegative = text[begin] == '-';
  const size_t digits = begin + (bNegative || text[begin] == '+');
  if (text[digits] == '0') return false;
  const size_t n = end - digits;
  const char* const limit = bNegative ? "2147483648" : "2147483647";
  return n < 10 || (n == 10 && text.compare(digits, n, limit) <= 0);
}

// Calls visit(begin, end, line) for every integer token text[begin, end) of at least `shortest`
// characters, wherever it stands (strings and comments included).
template <typename Visit>
void forEachIntegerToken(const std::string& text, size_t shortest, Visit visit) {
  size_t line = 1;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') ++line;
    if (!isNumberTokenChar(text[i])) continue;
    size_t end = i + 1;
    while (end < text.size() && isNumberTokenChar(text[end])) ++end;
    if (end - i >= shortest && isIntegerToken(text, i, end)) visit(i, end, line);
    i = end - 1;
  }
}

// Every integer token of `text` that does not fit an int.
std::vector<WideInteger> wideIntegers(const std::string& text) {
  // 2147483648 and 0x80000000 have 10 characters: every shorter integer token fits.
  constexpr size_t kShortestWide = 10;
  std::vector<WideInteger> wide;
  forEachIntegerToken(text, kShortestWide, [&](size_t begin, size_t end, size_t line) {
    if (decimalFits(text, begin, end)) return;
    const std::string token = text.substr(begin, end - begin);
    if (numberTokenFits(token)) return;
    errno = 0;
    const long value = std::strtol(token.c_str(), nullptr, 0);
    wide.push_back({token, line, static_cast<int>(value), errno == ERANGE});
  });
  return wide;
}

// How many integer tokens of `text` that fit an int have the value `value`.
size_t countFittingTokens(const std::string& text, int value) {
  size_t count = 0;
  forEachIntegerToken(text, 1, [&](size_t begin, size_t end, size_t) {
    const std::string token = text.substr(begin, end - begin);
    count += numberTokenFits(token) && std::strtol(token.c_str(), nullptr, 0) == value;
  });
  return count;
}

// Where an int node of a document stands: the key that holds it (the key of its sequence, for
// an element) and the keys and indices above that key, joined by "/".
struct IntPlace {
  int value = 0;
  std::string key, section;
};

// One map or sequence on the way down a document, and how far its children have been visited.
struct Level {
  cv::FileNode node;
  cv::FileNodeIterator next;
  int index;  // of the child that `next` gives
};

// The place of `leaf`, the child last visited of levels.back(), levels[0] being the root.
void describePlace(const std::vector<Level>& levels, const cv::FileNode& leaf, IntPlace* place) {
  std::vector<std::pair<std::string, bool>> path;  // each level's name, and whether an index
  for (size_t k = 1; k <= levels.size(); ++k) {
    const Level& parent = levels[k - 1];
    const cv::FileNode& node = k < levels.size() ? levels[k].node : leaf;
    path.emplace_back(parent.node.isSeq() ? std::to_string(parent.index - 1) : node.name(),
                      parent.node.isSeq());
  }
  while (!path.empty() && path.back().second) path.pop_back();
  if (path.empty()) return;
  place->key = path.back().first;
  for (size_t k = 0; k + 1 < path.size(); ++k) {
    place->section += (k > 0 ? "/" : "") + path[k].first;
  }
}

// Calls visit(levels, node) for every int node of fs in document order, until it returns true;
// true when it did. Without recursion: a document may nest kMaxDocumentNesting levels deep.
template <typename Visit>
bool forEachInt(const cv::FileStorage& fs, Visit visit) {
  std::vector<Level> levels;
  for (int root = 0; !fs.root(root).isNone(); ++root) {
    const cv::FileNode top = fs.root(root);
    levels.assign(1, Level{top, top.begin(), 0});
    while (!levels.empty()) {
      Level& level = levels.back();
      if (level.next.remaining() == 0) {
        levels.pop_back();
        continue;
      }
      const cv::FileNode child = *level.next;
      ++level.next;
      ++level.index;
      if (child.isMap() || child.isSeq()) {
        levels.push_back(Level{child, child.begin(), 0});
      } else if (child.isInt() && visit(levels, child)) {
        return true;
      }
    }
  }
  return false;
}

// Whether fs holds as a number one of `wide`, and which: its place is in *place. For an integer
// of a long it is the first int node whose value is the int that the integer became (one that
// no int node has was part of a string or a comment). The -1 and 0 that saturated integers
// become are common values: one such integer counts only when fs holds more int nodes of its
// value than the text has tokens that give it, and its place is its line alone.
bool findWideInteger(const cv::FileStorage& fs, const std::string& text,
                     const std::vector<WideInteger>& wide, WideInteger* found, IntPlace* place) {
  std::set<int> values;
  for (const WideInteger& w : wide) {
    if (!w.bSaturated) values.insert(w.wrapped);
  }
  const auto isWrapped = [&](const std::vector<Level>& levels, const cv::FileNode& node) {
    if (values.count(static_cast<int>(node)) == 0) return false;
    place->value = static_cast<int>(node);
    describePlace(levels, node, place);
    return true;
  };
  if (!values.empty() && forEachInt(fs, isWrapped)) {
    *found = *std::find_if(wide.begin(), wide.end(), [&](const WideInteger& w) {
      return !w.bSaturated && w.wrapped == place->value;
    });
    return true;
  }
  std::set<int> counted;
  for (const WideInteger& w : wide) {
    if (!w.bSaturated || !counted.insert(w.wrapped).second) continue;
    size_t ints = 0;
    forEachInt(fs, [&](const std::vector<Level>&, const cv::FileNode& node) {
      ints += static_cast<int>(node) == w.wrapped;
      return false;
    });
    if (ints > countFittingTokens(text, w.wrapped)) {
      *found = w;
      return true;
    }
  }
  return false;
}

// Refuses a document that holds, as a number, an integer that does not fit an int: OpenCV's
// parsers keep it modulo 2^32 (or saturated), and the typed readers would see a valid value.
void checkIntegers(const cv::FileStorage& fs, const std::string& text, const std::string& path) {
  const std::vector<WideInteger> wide = wideIntegers(text);
  WideInteger w;
  IntPlace place;
  if (wide.empty() || !findWideInteger(fs, text, wide, &w, &place)) return;
  std::string where = "line " + std::to_string(w.line);
  if (!place.key.empty()) where += ", key \"" + place.key + "\"";
  if (!place.section.empty()) where += " in \"" + place.section + "\"";
  refuseDocument(path, "the number " + w.token + " (" + where + ") does not fit");
}

}  // namespace

bool openDocument(cv::FileStorage& fs, const std::string& path) {
  const DocumentFile file = documentFile(path);
  std::string text;
  // Only a file that cannot be opened at all is left to OpenCV, which reports it (a path of more
  // lines than one included).
  if (!readDocument(file, path, &text)) return fs.open(path, cv::FileStorage::READ);
  fs.release();
  if (text.empty()) refuseDocument(path, "it is empty");
  if (text.size() > kMaxDocumentBytes) {
    refuseDocument(path, "it is longer than " + std::to_string(kMaxDocumentBytes >> 20) + " MiB" +
                             (file.bGzip ? " uncompressed" : ""));
  }
  const size_t bound = documentNestingBound(text);
  if (bound > kMaxCountedNesting) {
    refuseDocument(path, "it may nest " + std::to_string(bound) + " levels deep, more than " +
                             std::to_string(kMaxCountedNesting) +
                             " (brackets, XML elements and indentation)");
  }
  bool bOpened = false;
  try {
    bOpened = parseOnThread(fs, text, kParseStackBase + bound * kParseStackPerLevel, path);
  } catch (const cv::Exception& e) {
    const size_t named = bufferNameLength(e, text);
    if (named == std::string::npos) throw;
    throw cv::Exception(e.code, e.err, file.name + e.func.substr(named), e.file, e.line);
  }
  try {
    const size_t depth = documentDepth(fs);
    if (depth > kMaxDocumentNesting) {
      refuseDocument(path, "it nests " + std::to_string(depth) + " levels deep, more than " +
                               std::to_string(kMaxDocumentNesting));
    }
    checkIntegers(fs, text, path);
  } catch (...) {
    fs.release();
    throw;
  }
  return bOpened;
}

bool readKey(const cv::FileNode& section, const std::string& sectionName, const char* key,
             int& value, int lo, int hi) {
  return readNumber(section, sectionName, key, value, lo, hi);
}

bool readKey(const cv::FileNode& section, const std::string& sectionName, const char* key,
             double& value, double lo, double hi) {
  return readNumber(section, sectionName, key, value, lo, hi);
}

bool readKey(const cv::FileNode& section, const std::string& sectionName, const char* key,
             float& value, float lo, float hi) {
  return readNumber(section, sectionName, key, value, lo, hi);
}

bool readKey(const cv::FileNode& section, const std::string& sectionName, const char* key,
             std::string& value) {
  const cv::FileNode node = keyNode(section, key);
  if (node.isNone()) {
    return false;
  }
  if (!node.isString()) {
    refuseKey(sectionName, key, node, "a text");
  }
  value = node.string();
  return true;
}

}  // namespace tesmo
