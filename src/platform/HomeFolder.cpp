#include "platform/HomeFolder.h"

namespace voxmit {

namespace {

std::filesystem::path& Home() {
  static std::filesystem::path home = ExecutableFolder();
  return home;
}

} // namespace

const std::filesystem::path& HomeFolder() { return Home(); }

void SetHomeFolder(const std::filesystem::path& folder) {
  // Absolute, so a later change of the working folder does not move the home.
  std::error_code ec;
  const auto absolute = std::filesystem::absolute(folder, ec);
  Home() = ec ? folder : absolute;
}

std::filesystem::path ExecutableFolder() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::filesystem::current_path();
  return exe.parent_path();
}

} // namespace voxmit
