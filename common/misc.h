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

// Deepest nesting that a document read through openDocument may reach. OpenCV's FileStorage
// readers recurse once per level of nesting and overflow an 8 MiB stack at some 30,000 levels;
// the documents of this system nest a few levels deep and hold a few hundred brackets at most.
constexpr size_t kMaxDocumentNesting = 4096;

// An upper bound of how deep OpenCV's FileStorage readers nest in `text`, whatever they take for
// a string or a comment: every "[" and "{" byte, every "<" that may open an XML element, plus the
// longest run of blanks and sequence dashes that begins a line (YAML block nesting).
size_t documentNestingBound(const std::string& text);

// Opens the document `path` for reading into `fs`, as fs.open(path, cv::FileStorage::READ) does,
// after checking its bytes with documentNestingBound: a document that could nest deeper than
// kMaxDocumentNesting throws std::runtime_error naming the file, where OpenCV's reader would
// overflow the stack. A file that cannot be read is left to fs.open, which reports it.
bool openDocument(cv::FileStorage& fs, const std::string& path);

// A node's value as written, for messages: a string in double quotes, a number, "a map",
// "a sequence" or "nothing".
std::string describeNode(const cv::FileNode& node);
// The same, but a sequence as its elements in brackets ("[1.5, 0]").
std::string describeValue(const cv::FileNode& node);

}  // namespace tesmo
