// doctor's facts on POSIX: the device node's owner, group, mode and ACL and
// this login's groups; the processes that have it (their open files, the
// advisory locks of /proc/locks, their controlling terminal); ModemManager
// and brltty; our udev rule; the kernel driver, its low-latency support and
// a USB adapter's latency timer.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "doctor.h"

namespace quorvane::cli {

namespace fs = std::filesystem;

namespace {

std::string firstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string nameOfUser(uid_t uid) {
  std::vector<char> buffer(4096);
  passwd entry{}, *found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return std::to_string(uid);
  return found->pw_name;
}

std::string nameOfGroup(gid_t gid) {
  std::vector<char> buffer(4096);
  group entry{}, *found = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return std::to_string(gid);
  return found->gr_name;
}

AccessFacts accessOf(const std::string& device, const struct stat& st) {
  AccessFacts a;
  a.known = true;
  a.root = ::geteuid() == 0;
  a.user = nameOfUser(::geteuid());
  a.owner = nameOfUser(st.st_uid);
  a.group = nameOfGroup(st.st_gid);
  a.mode = st.st_mode & 07777;
  // This login's groups, as the kernel applies them.
  std::vector<gid_t> session(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)) + 1);
  const int count = ::getgroups(static_cast<int>(session.size()), session.data());
  session.resize(static_cast<std::size_t>(std::max(count, 0)));
  session.push_back(::getegid());
  a.groupInSession = std::find(session.begin(), session.end(), st.st_gid) != session.end();
  // The groups the user database gives the user at the next login.
  std::vector<char> buffer(4096);
  passwd entry{}, *me = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &me) == 0 && me) {
    int n = 64;
    std::vector<gid_t> listed(static_cast<std::size_t>(n));
    if (::getgrouplist(me->pw_name, me->pw_gid, listed.data(), &n) < 0) {
      listed.resize(static_cast<std::size_t>(n));
      ::getgrouplist(me->pw_name, me->pw_gid, listed.data(), &n);
    }
    listed.resize(static_cast<std::size_t>(std::max(n, 0)));
    a.groupInDatabase = std::find(listed.begin(), listed.end(), st.st_gid) != listed.end();
  }
  a.acl = ::getxattr(device.c_str(), "system.posix_acl_access", nullptr, 0) > 0;
  // The kernel's own answer, ACL included, for this process's identity.
  const bool modeGrants = a.root || (st.st_uid == ::geteuid() ? (a.mode & 0600) == 0600
                                     : a.groupInSession       ? (a.mode & 060) == 060
                                                              : (a.mode & 06) == 06);
  a.aclGrants =
      a.acl && !modeGrants && ::faccessat(AT_FDCWD, device.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
  return a;
}

// Processes that have the device: an open descriptor (readable for this
// user's own processes, or all of them as root), an advisory lock (listed
// for everyone in /proc/locks) or the device as controlling terminal (in
// everyone's /proc/<pid>/stat).
void findHolders(const std::string& device, const struct stat& st, DoctorFacts& f) {
  const long self = ::getpid();
  std::error_code ec;
  const fs::path target = fs::canonical(device, ec);
  auto add = [&](long pid, const std::string& how) {
    for (const Holder& h : f.holders)
      if (h.pid == pid) return;
    f.holders.push_back({pid, firstLine("/proc/" + std::to_string(pid) + "/comm"), how});
  };
  // "1: FLOCK  ADVISORY  WRITE 812 00:05:93 0 EOF": pid, then device major and
  // minor of the file system (hex) and the inode.
  std::ifstream locks("/proc/locks");
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long>(st.st_ino));
  for (std::string line; std::getline(locks, line);) {
    std::istringstream words(line);
    std::string number, kind, advisory, access, where;
    long pid = 0;
    if (words >> number >> kind >> advisory >> access >> pid >> where && where == wanted &&
        pid != self && pid > 0)
      add(pid, "holds its lock (it uses the port)");
  }
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    const long pid = std::stol(name);
    if (pid == self) continue;
    // Field 7 of stat, after the name in parentheses: the controlling tty.
    const std::string stat = firstLine(entry.path() / "stat");
    const std::size_t close = stat.rfind(')');
    if (close != std::string::npos) {
      std::istringstream rest(stat.substr(close + 2));
      std::string state;
      long ppid = 0, pgrp = 0, session = 0;
      unsigned long ttyNumber = 0;
      if (rest >> state >> ppid >> pgrp >> session >> ttyNumber && ttyNumber != 0 &&
          ttyNumber == static_cast<unsigned long>(st.st_rdev))
        add(pid, "has it as its terminal (a login or terminal program on the port)");
    }
    std::error_code denied;
    fs::directory_iterator fds(entry.path() / "fd", denied);
    if (denied) {
      ++f.hiddenProcesses;
      continue;
    }
    // On a pseudo-terminal the process that holds the master (/dev/ptmx)
    // is the line's far end (an emulator, Wine's COM port), not a rival.
    bool opened = false, master = false;
    for (const auto& fd : fds) {
      std::error_code ec2;
      const fs::path link = fs::read_symlink(fd.path(), ec2);
      opened = opened || (link == target && !ec2);
      master = master || link == "/dev/ptmx" || link == "/dev/pts/ptmx";
    }
    if (opened && master && target.parent_path() == "/dev/pts")
      f.farEnd = firstLine(entry.path() / "comm") + " (pid " + name + ")";
    else if (opened)
      add(pid, "has it open");
  }
}

bool processRunning(const std::string& name) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec))
    if (firstLine(entry.path() / "comm") == name) return true;
  return false;
}

// "0403" -> "403", as udev's PRODUCT variable writes ids.
std::string bareHex(std::string id) {
  std::transform(id.begin(), id.end(), id.begin(), ::tolower);
  const std::size_t first = id.find_first_not_of('0');
  return first == std::string::npos ? std::string("0") : id.substr(first);
}

std::string fileText(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

const char* const kRuleFolders[] = {"/etc/udev/rules.d", "/usr/lib/udev/rules.d",
                                    "/lib/udev/rules.d"};

void neighbours(const DeviceIdentity* id, DoctorFacts& f) {
  f.modemManagerRunning = processRunning("ModemManager");
  f.modemManagerIgnores = id && id->modemManagerIgnores;
  std::error_code ec;
  f.brlttyInstalled = fs::exists("/usr/bin/brltty", ec) || fs::exists("/bin/brltty", ec);
  const std::string vendor = id ? id->vendorId : std::string();
  const std::string product = id ? id->productId : std::string();
  // brltty's rules name ids as udev's PRODUCT variable does: "403/6001/";
  // ours as ATTRS pairs.
  std::string brlttyIds(1, '"');
  brlttyIds.append(bareHex(vendor)).append(1, '/').append(bareHex(product)).append(1, '/');
  const std::string ourIds = std::string("ATTRS{idVendor}==\"")
                                 .append(vendor)
                                 .append("\", ATTRS{idProduct}==\"")
                                 .append(product)
                                 .append("\"");
  for (const char* folder : kRuleFolders) {
    for (const auto& rule : fs::directory_iterator(folder, ec)) {
      const std::string name = rule.path().filename().string();
      if (name.find("brltty") != std::string::npos && f.brlttyInstalled && !vendor.empty()) {
        const std::string text = fileText(rule.path());
        f.brlttyClaims = f.brlttyClaims || text.find(brlttyIds) != std::string::npos;
      }
      if (name == "70-quorvane-serial.rules" && f.udevRule.empty()) {
        f.udevRule = rule.path().string();
        const std::string text = fileText(rule.path());
        f.udevRuleCovers = !vendor.empty() && text.find(ourIds) != std::string::npos;
      }
    }
  }
}

void driverOf(const std::string& device, bool openable, DoctorFacts& f) {
  std::error_code ec;
  const std::string name = fs::canonical(device, ec).filename().string();
  const fs::path sys = "/sys/class/tty/" + name;
  // The tty's device, and up from it past the serial core's own drivers.
  fs::path at = sys / "device";
  for (int level = 0; level < 4 && fs::exists(at, ec); ++level, at /= "..") {
    const std::string driver = fs::read_symlink(at / "driver", ec).filename().string();
    if (!ec && driver != "port" && driver != "ctrl" && driver != "serial-base") {
      f.driver = driver;
      break;
    }
  }
  if (const std::string timer = firstLine(sys / "device/latency_timer"); !timer.empty())
    f.latencyTimerMs = std::atoi(timer.c_str());
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
  // Asked as the tool asks at every open, and put back at once; not while
  // another program holds the port.
  if (!openable) return;
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  serial_struct s{};
  if (::ioctl(fd, TIOCGSERIAL, &s) != 0) {
    f.lowLatency = LineState::Off;
  } else if (s.flags & ASYNC_LOW_LATENCY) {
    f.lowLatency = LineState::On;
  } else {
    serial_struct low = s;
    low.flags |= ASYNC_LOW_LATENCY;
    f.lowLatency = ::ioctl(fd, TIOCSSERIAL, &low) == 0 ? LineState::On : LineState::Off;
    if (f.lowLatency == LineState::On) ::ioctl(fd, TIOCSSERIAL, &s);
  }
  ::close(fd);
#endif
}

std::string danglingByIdLink() {
  std::error_code ec;
  for (const auto& link : fs::directory_iterator("/dev/serial/by-id", ec)) {
    std::error_code ec2;
    if (!fs::exists(link.path(), ec2)) return link.path().string();
  }
  return {};
}

}  // namespace

DoctorFacts gatherDoctorFacts(const std::string& device, const DoctorSubject& subject) {
  DoctorFacts f;
  struct stat st {};
  if (!subject.present || ::stat(device.c_str(), &st) != 0) {
    // A link of the by-id folder that leads nowhere: the adapter it names
    // is unplugged.
    std::error_code ec;
    if (fs::is_symlink(device, ec) && !fs::exists(device, ec))
      f.danglingLink = device;
    else
      f.danglingLink = danglingByIdLink();
    return f;
  }
  f.access = accessOf(device, st);
  findHolders(device, st, f);
  neighbours(subject.identity ? &*subject.identity : nullptr, f);
  driverOf(device, subject.probe.openable, f);
  return f;
}

}  // namespace quorvane::cli
