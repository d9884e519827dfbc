#include "support/TempHome.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/HomeFolder.h"

namespace voxmit::test {

TempHome::TempHome(bool makeCurrent) {
  std::string pattern = (std::filesystem::temp_directory_path() / "voxmit-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  if (makeCurrent) SetHomeFolder(path_);
}

TempHome::~TempHome() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void TempHome::Write(const std::string& name, const std::string& content) const {
  std::ofstream out(path_ / name, std::ios::binary);
  out << content;
}

std::string TempHome::Read(const std::string& name) const {
  std::ifstream in(path_ / name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

} // namespace voxmit::test
