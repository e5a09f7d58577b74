#include "common/misc.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>

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

bool openDocument(cv::FileStorage& fs, const std::string& path) {
  // Read as OpenCV reads it: a gzip-compressed document (OpenCV takes a name ending in ".gz" for
  // one) uncompressed, any other as it stands.
  std::unique_ptr<gzFile_s, int (*)(gzFile)> in(gzopen(path.c_str(), "rb"), &gzclose);
  std::string text;
  char buf[65536];
  int n = 0;
  while (in && (n = gzread(in.get(), buf, sizeof(buf))) > 0) text.append(buf, size_t(n));
  if (in) {
    const size_t bound = documentNestingBound(text);
    if (bound > kMaxDocumentNesting) {
      throw std::runtime_error("File \"" + path + "\" can't be read: it may nest " +
                               std::to_string(bound) + " levels deep, more than " +
                               std::to_string(kMaxDocumentNesting) +
                               " (brackets, XML elements and indentation)");
    }
  }
  return fs.open(path, cv::FileStorage::READ);
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
