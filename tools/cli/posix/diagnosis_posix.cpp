// The next steps of the failure explanations on POSIX: groups, fuser, stty
// and the /dev/ttyS map.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "cli_platform.h"

namespace quorvane::cli {

namespace {

std::string groupName(gid_t gid) {
  std::vector<char> buffer(4096);
  group entry{};
  group* found = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return std::to_string(gid);
  return found->gr_name;
}

std::string userName(uid_t uid) {
  std::vector<char> buffer(4096);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return std::to_string(uid);
  return found->pw_name;
}

}  // namespace

// Joining the device's group helps only where that group may read and write
// it; a device no group may use needs its rights changed first.
std::string permissionStep(const std::string& device) {
  struct stat st {};
  if (::stat(device.c_str(), &st) != 0) return "ask an administrator for the right to open it";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  const std::string group = groupName(st.st_gid);
  const std::string facts =
      "it is owned by " + userName(st.st_uid) + ", group " + group + ", mode " + mode;
  if (st.st_gid != 0 && (st.st_mode & 060) == 060)
    return facts + ": join the group " + group + " with sudo usermod -aG " + group +
           " $USER, then log out and in again";
  std::error_code ec;
  const std::string kernelName = std::filesystem::canonical(device, ec).filename().string();
  return facts +
         ", so no group may use it: an administrator must change that, e.g. with a "
         "udev rule in /etc/udev/rules.d/: KERNEL==\"" +
         (ec ? std::string("ttyUSB0") : kernelName) +
         "\", MODE=\"0660\" and GROUP= a group this user is in";
}

bool readOnlyFileSystem(const SystemError& error) {
  return error.code == EROFS;
}

std::string holderStep(const std::string& device) {
  return "close the program that holds it (a terminal program, ModemManager, another quorvane); "
         "fuser -v " +
         device + " names it";
}

std::string flowControlOffStep(const std::string& device) {
  return "stty -F " + device + " -crtscts";
}

std::string plainLineStep(const std::string& device) {
  return "stty -F " + device + " -parenb -cstopb -crtscts";
}

std::string comMapRule() {
  return "COM n counts from 1 and is /dev/ttyS<n-1> unless QUORVANE_COM<n> names another device "
         "(QUORVANE_COM1=/dev/ttyUSB0)";
}

std::string comOverrideExample(long long comNumber) {
  return "QUORVANE_COM" + std::to_string(comNumber) + "=/dev/ttyUSB0";
}

}  // namespace quorvane::cli
