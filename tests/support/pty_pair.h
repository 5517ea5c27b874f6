// A pty pair: the test holds the master, a SerialPort opens the slave (devicePath()), which stays
// cooked unless makeRaw(): a test sees the port itself make the line byte-transparent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvane::test {

class PtyPair {
 public:
  PtyPair();  // throws std::runtime_error when no pty can be made
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& devicePath() const { return path_; }

  // Sets the line raw (the settings are shared by both sides).
  void makeRaw();

  // Writes everything from the master side (waiting for room as needed).
  bool send(const std::vector<std::uint8_t>& bytes);

  // Reads `count` bytes the slave side wrote; after `patienceMs` without progress, what it has.
  std::vector<std::uint8_t> receive(std::size_t count, int patienceMs = 5000);

  // Waits until at least `count` bytes sent from the master are waiting on the slave side (seen
  // through a slave descriptor of our own, which reads nothing). False after `patienceMs`.
  bool waitDelivered(std::size_t count, int patienceMs = 5000) const;

  // Closes the master: the slave side hangs up.
  void closeMaster();

 private:
  int master_ = -1;
  int slave_ = -1;  // kept open so the master never sees a hang-up in between
  std::string path_;
};

}  // namespace quorvane::test
