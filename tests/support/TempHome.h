#pragma once
// A temporary home folder for one test, removed afterwards. Optionally installs itself as the
// process's home folder.

#include <filesystem>
#include <string>

namespace voxmit::test {

class TempHome {
public:
  explicit TempHome(bool makeCurrent = true);
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path File(const std::string& name) const { return path_ / name; }
  void Write(const std::string& name, const std::string& content) const;
  std::string Read(const std::string& name) const;

private:
  std::filesystem::path path_;
};

} // namespace voxmit::test
