// The next steps of the failure explanations on Windows: COM ports have no
// per-user rights; flow control is set with mode or the Device Manager.
#include <windows.h>

#include "cli_platform.h"

namespace quorvane::cli {

namespace {

// "COM7" of "\\.\COM7".
std::string portName(const std::string& device) {
  return device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
}

}  // namespace

std::string permissionStep(const std::string&) {
  return "run it as a user who may use the port";
}

bool readOnlyFileSystem(const SystemError& error) {
  return error.code == ERROR_WRITE_PROTECT;
}

std::string holderStep(const std::string&) {
  return "close the program that holds it (a terminal program, another quorvane), then try again";
}

std::string flowControlOffStep(const std::string& device) {
  return "mode " + portName(device) +
         ": octs=off rts=on (or the Device Manager: Port Settings, Flow control: None)";
}

std::string plainLineStep(const std::string& device) {
  return "mode " + portName(device) + ": parity=n stop=1 octs=off rts=on";
}

std::string comMapRule() {
  return "COM n counts from 1 and is the Windows port COM<n> unless QUORVANE_COM<n> names "
         "another one (QUORVANE_COM1=COM7)";
}

std::string comOverrideExample(long long comNumber) {
  return "set QUORVANE_COM" + std::to_string(comNumber) + "=COM7";
}

}  // namespace quorvane::cli
