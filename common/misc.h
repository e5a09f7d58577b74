#pragma once

#include <cstddef>
#include <limits>
#include <opencv2/core.hpp>
#include <string>

namespace cv {

// Reads a flag written as y/n, yes/no, true/false, on/off (lower, capitalised or upper case) or as
// an integer (> 0 is true). Only the first blank-separated word counts. Anything else, an absent
// node included, gives default_value.
void read_bool(const cv::FileNode& node, bool& value, const bool& default_value);

}  // namespace cv

// An optional section is enabled when it has no "enabled" key, otherwise when that key reads true
// (default false).
bool isEnabled(const cv::FileNode& node);

namespace tesmo {

// Typed reading of one optional key of a configuration section. An absent key leaves `value` as
// it is and returns false; a present key sets `value` and returns true. A key present with
// another type, or with a number outside [lo, hi] (NaN and infinities included), throws
// std::runtime_error naming the section, the key, what was expected and the value as written:
//   Key "query_size" in "live_streams" must be an integer in 1..1024, got "5"
// An integer key also takes a real number without a fractional part.
bool readKey(const cv::FileNode& section, const std::string& sectionName, const char* key,
             int& value, int lo = std::numeric_limits<int>::min(),
             int hi = std::numeric_limits<int>::max());
bool readKey(const cv::FileNode& section, const std::string& sectionName, const char* key,
             double& value, double lo = -std::numeric_limits<double>::max(),
             double hi = std::numeric_limits<double>::max());
bool readKey(const cv::FileNode& section, const std::string& sectionName, const char* key,
             float& value, float lo = -std::numeric_limits<float>::max(),
             float hi = std::numeric_limits<float>::max());
// A text key: only a string node is accepted.
bool readKey(const cv::FileNode& section, const std::string& sectionName, const char* key,
             std::string& value);

// Throws the error above for a key whose value breaks a rule the caller checks itself;
// `expected` completes "must be ..." (e.g. "a number above 0").
[[noreturn]] void refuseKey(const std::string& sectionName, const char* key,
                            const cv::FileNode& node, const std::string& expected);
// The same error with `got` as the value's description; an empty sectionName leaves the section
// out (Key "view_size" must be ..., got ...).
[[noreturn]] void refuseValue(const std::string& sectionName, const char* key,
                              const std::string& expected, const std::string& got);

// Deepest nesting of maps and sequences (the top-level map counting as one) that a document read
// through openDocument may hold: the readers of this system recurse once per level, and its
// documents nest a few levels deep.
constexpr size_t kMaxDocumentNesting = 4096;

// Longest document, in bytes after decompression, that openDocument reads: the documents of this
// system (configurations, calibration with the poses of some thousand views, user settings) hold
// a few megabytes at most; OpenCV parses 64 MiB in about a second.
constexpr size_t kMaxDocumentBytes = size_t(64) << 20;

// An upper bound of how deep OpenCV's FileStorage readers nest in `text`, whatever they take for
// a string or a comment: every "[" and "{" byte, every "<" that may open an XML element, plus the
// longest run of blanks and sequence dashes that begins a line (YAML block nesting).
size_t documentNestingBound(const std::string& text);

// Whether `c` may continue a number token as OpenCV's parsers read one (strtol with base 0 or
// strtod: signs, digits, hexadecimal digits, points and exponents).
bool isNumberTokenChar(char c);

// Whether a number token keeps its value when OpenCV's parsers read it: an integer (decimal, or
// hexadecimal after "0x") is kept as an int, modulo 2^32 (4294967396 would become 100), and a
// real as a double (1e400 would become infinity).
bool numberTokenFits(const std::string& token);

// Opens the document `path` for reading into `fs`, as fs.open(path, cv::FileStorage::READ) does
// (the format taken from the content, a name ending in ".gz" read as gzip-compressed), reading
// the file once. OpenCV's readers recurse once per level of nesting, so the document is parsed
// on a thread whose stack holds the nesting that documentNestingBound allows. Throws
// std::runtime_error naming the file, "File \"<path>\" can't be read: ...", for a document that
// is empty, one longer than kMaxDocumentBytes (an endless one included), one whose bound would
// need a stack of more than 1 GiB, one that nests deeper than kMaxDocumentNesting, one whose
// reading fails midway or whose compressed data does not end as it should, one with an integer
// that does not fit an int (naming its line and key), and for an open or a read that a signal
// interrupts (a FIFO waits for a writer; it is not retried); fs is then closed. OpenCV's errors
// pass as its file reader raises them. A file that cannot be opened for another reason is left
// to fs.open, which reports it.
bool openDocument(cv::FileStorage& fs, const std::string& path);

// Reads a matrix node as cv::FileStorage writes one (a map of "rows", "cols", "dt" and "data",
// or of "sizes", "dt" and "data") into *m, first checking what OpenCV's reader asserts or trusts:
// a map, a known element type, sizes of at least 0 and as many numbers in "data" as they call for
// (OpenCV allocates the sizes it is given before it counts the numbers). A none node gives an
// empty matrix. Otherwise false, *m left as it was, with what the node holds in *got, e.g.
//   a 3x3 matrix of type "d" with 8 numbers in "data"
bool readMatrix(const cv::FileNode& node, cv::Mat* m, std::string* got);

// A node's value as written, for messages: a string in double quotes, a number, "a map",
// "a sequence" or "nothing".
std::string describeNode(const cv::FileNode& node);
// The same, but a sequence as its elements in brackets ("[1.5, 0]").
std::string describeValue(const cv::FileNode& node);

}  // namespace tesmo
