#pragma once

#include <map>
#include <string>
#include <vector>

namespace tesmo {

// Parser of option strings such as "jpeg:quality=90,type=turbo_jpeg": groups separated by ':',
// items by ',' (blanks also separate). The first occurrence of a key wins.
class TextParams {
 public:
  explicit TextParams(const std::string& text);
  ~TextParams();

  // The value stored for `key`, or `value` when the key is absent.
  std::string operator()(const std::string& key, const std::string& value) const;

  const std::vector<std::string>& groups() const { return groups_; }

 private:
  std::vector<std::string> groups_;
  std::map<std::string, std::string> dict_;
};

}  // namespace tesmo
