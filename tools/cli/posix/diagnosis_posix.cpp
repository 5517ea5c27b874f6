// The next steps of the failure explanations on POSIX: groups, fuser, stty
// and the /dev/ttyS map.
#include <grp.h>
#include <sys/stat.h>

#include <vector>

#include "cli_platform.h"

namespace quorvane::cli {

namespace {

// The group that may read and write `device`, if it is not root's; else the
// group Debian gives serial ports.
std::string serialGroupOf(const std::string& device) {
  const std::string fallback = "dialout";
  struct stat st {};
  if (::stat(device.c_str(), &st) != 0 || st.st_gid == 0 || (st.st_mode & 060) != 060)
    return fallback;
  std::vector<char> buffer(4096);
  group entry{};
  group* found = nullptr;
  if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return fallback;
  return found->gr_name;
}

}  // namespace

std::string permissionStep(const std::string& device) {
  const std::string group = serialGroupOf(device);
  return "serial ports need the group " + group + ": sudo usermod -aG " + group +
         " $USER, then log out and in again";
}

std::string holderStep(const std::string& device) {
  return "close the program that holds it (a terminal program, ModemManager, another quorvane); "
         "fuser -v " +
         device + " names it";
}

std::string flowControlOffStep(const std::string& device) {
  return "stty -F " + device + " -crtscts";
}

std::string comMapRule() {
  return "COM n counts from 1 and is /dev/ttyS<n-1> unless QUORVANE_COM<n> names another device "
         "(QUORVANE_COM1=/dev/ttyUSB0)";
}

std::string comOverrideExample(long long comNumber) {
  return "QUORVANE_COM" + std::to_string(comNumber) + "=/dev/ttyUSB0";
}

}  // namespace quorvane::cli
