#include "common/text_params.h"

#include "streamer/util.h"

namespace tesmo {

TextParams::TextParams(const std::string& text) : groups_(Split(text, ':')) {
  for (const std::string& group : groups_) {
    for (const std::string& item : Split(group, ',')) {
      const size_t eq = item.find('=');
      if (eq == std::string::npos) {
        continue;
      }
      // emplace keeps an existing key: the first occurrence wins.
      dict_.emplace(item.substr(0, eq), item.substr(eq + 1));
    }
  }
}

TextParams::~TextParams() = default;

std::string TextParams::operator()(const std::string& key, const std::string& value) const {
  auto it = dict_.find(key);
  return it == dict_.end() ? value : it->second;
}

}  // namespace tesmo
