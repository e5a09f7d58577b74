#pragma once

#include <string>

#include <boost/filesystem.hpp>

namespace tesmo {
namespace testing_util {

// A fresh directory under the system's temporary directory, named `prefix` plus a random suffix,
// removed with everything in it when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "tesmo-test")
      : path_(boost::filesystem::temp_directory_path() /
              boost::filesystem::unique_path(prefix + "-%%%%-%%%%-%%%%")) {
    boost::filesystem::create_directories(path_);
  }
  ~TempDir() {
    boost::system::error_code ec;
    boost::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string str() const { return path_.string(); }
  // The path of `name` inside the directory.
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  std::string operator/(const std::string& name) const { return file(name); }

 private:
  boost::filesystem::path path_;
};

}  // namespace testing_util
}  // namespace tesmo
