// One job per receiver: the state machine of the command, its own port and
// its own view, and what the run reports about it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/notice.h"
#include "console.h"
#include "diagnosis.h"
#include "event_loop.h"
#include "report.h"
#include "serial/command_frame.h"
#include "serial/port_target.h"
#include "transfer/rom_image.h"

namespace quorvane::cli {

// What every job of a run shares.
struct RunContext {
  Console& console;
  bool trace = false;
  Clock::time_point epoch = Clock::now();  // trace times count from here
};

// Where one job runs.
struct JobTarget {
  PortTarget port;
  std::string label;   // the device path, or "COM<n>"
  std::string device;  // for the report: the path the port maps to
  std::optional<long long> portNumber;
  std::string prefix;  // "<label>: " when there are several receivers

  // The port as the failure explanations name it.
  PortNaming naming() const;
};

// A failure line with its explanation under it, on stderr: "<prefix><text>",
// then "<prefix><explanation>", the explanation's subject left out where
// the prefix names it already.
void printFailure(Console& console, const JobTarget& target, const std::string& text,
                  const std::optional<Explanation>& why);

class ReceiverJob : public Job {
 public:
  ReceiverJob(RunContext& run, JobTarget target, std::string command);

  bool done() const override { return concluded_; }
  bool succeeded() const { return succeeded_; }
  const JobRecord& record() const { return record_; }
  const JobTarget& target() const { return target_; }

 protected:
  // The system's message for a failure of this job, and the explanation
  // under it if there is one: on stderr at once, and in the record.
  void fail(const Notice& notice, const std::optional<Explanation>& why = std::nullopt);
  void failText(const std::string& text, const std::optional<Explanation>& why = std::nullopt);
  // Ends the job: final progress line, result, report record.
  void conclude(bool ok, bool cancelled = false);

  void traceFrame(const char* direction, const FrameBytes& frame, const std::string& note = {});
  void traceLine(const char* direction, const std::string& text);
  void startProgress();
  void progress(long long done, long long count);

  RunContext& run_;
  JobTarget target_;
  JobRecord record_;
  Clock::time_point started_;
  int progressRow_ = -1;
  bool concluded_ = false;
  bool succeeded_ = false;
};

// connect: the connection handshake, one acknowledgement poll per tick of
// the loop, its counted waits and the pause after success scheduled as
// timers, so that the other receivers' ticks go on meanwhile.
std::unique_ptr<ReceiverJob> makeConnectJob(RunContext& run, JobTarget target);

// read FILE / verify FILE. For verify, `image` is the loaded image the
// receiver's flash is compared with; nothing is written.
std::unique_ptr<ReceiverJob> makeReadJob(RunContext& run, JobTarget target, std::string path);
std::unique_ptr<ReceiverJob> makeVerifyJob(RunContext& run, JobTarget target, std::string imagePath,
                                           const LoadedImage& image);
// verify FILE right after an upgrade of the receiver: first a wait of up to
// `rebootWaitMs` for its loader to answer the connection request again
// (LoaderProbe), as it saves and reboots; if it never does, the job fails
// with the verify not done.
std::unique_ptr<ReceiverJob> makeVerifyAfterUpgradeJob(RunContext& run, JobTarget target,
                                                       std::string imagePath,
                                                       const LoadedImage& image,
                                                       unsigned rebootWaitMs);

// upgrade FILE, the loaded `image` of it; `askType`: the receiver is asked
// for its type first and nothing is written unless it names the image's.
std::unique_ptr<ReceiverJob> makeUpgradeJob(RunContext& run, JobTarget target, std::string path,
                                            const LoadedImage& image, bool askType);

// key KEY...: one key frame per tick.
std::unique_ptr<ReceiverJob> makeKeyJob(RunContext& run, JobTarget target,
                                        std::vector<std::uint8_t> codes,
                                        std::vector<std::string> names);

using quorvane::differingBlocksText;

}  // namespace quorvane::cli
