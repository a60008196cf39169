#include "app/cli/dorvane_command.h"

#include <sys/stat.h>

#include <exception>
#include <ostream>

#include "app/cli/checked_job.h"
#include "app/cli/command_line.h"
#include "app/cli/data_size.h"
#include "app/cli/disk_choice.h"
#include "app/cli/disk_listing.h"
#include "app/cli/error_keeping_controller.h"
#include "app/cli/helper_access.h"
#include "app/cli/log_archive.h"
#include "app/cli/progress_forwarding.h"
#include "app/cli/tool_output_capture.h"
#include "app/client/recovery_environment.h"
#include "app/client/remote_operations.h"
#include "app/controllers/backup_controller.h"
#include "app/controllers/operation_controllers.h"
#include "core/backup/partial_image.h"
#include "core/foundation/disk_name.h"
#include "core/foundation/error.h"
#include "core/foundation/interruption.h"
#include "core/foundation/system_path.h"

namespace {

// How one run of dorvane ends: the status, and the Error it prints (none for success).
struct Outcome {
  int status = kExitSuccess;
  std::optional<Error> failure;
};

// Writes the outcome of a run that showed no progress: the error line and, for --json, the
// result object that every run ends with.
int Report(Console& console, bool json, const Outcome& outcome) {
  if (const std::optional<Error>& failure = outcome.failure) {
    console.err << "dorvane: "
                << (failure->operation() == "dorvane" ? failure->message()
                                                      : failure->FullDescription())
                << '\n';
  }
  if (json) {
    MakeProgressDisplay(ProgressStyle::kJson, console.out, console.clock)
        ->Finish(outcome.failure, outcome.status);
  }
  return outcome.status;
}

int Refuse(Console& console, bool json, const std::string& message) {
  return Report(console, json, {kExitUsage, Error("dorvane", message)});
}

// What the engine reports that says nothing to a person reading dorvane's progress: the
// tool's "done" after each of its checks, and the device line with which asr ends, which
// names the image's disk after a backup.
bool IsNoise(const std::string& text, bool backup) {
  return text == "done" || (backup && text.starts_with("Restored target device is "));
}

// The line printed when a signal stopped the operation, after the clean-up.
std::string InterruptedLine(int signal, bool backup, const Error& error) {
  std::string line = "stopped by " + mcom::SignalName(signal) + "; ";
  if (backup) {
    return line.append("no backup was made and the partial image was removed (")
        .append(error.FullDescription())
        .append(")");
  }
  return line.append(error.FullDescription());
}

// Detaches and removes what killed runs left beside the image, saying so in one line.
void RemoveLeftovers(Console& console, const mcom::FilePath& image) {
  const std::vector<mcom::FilePath> removed = RemoveAbandonedPartialImages({image.Parent()});
  if (removed.empty()) return;
  std::string line = "dorvane: removed what interrupted runs left behind:";
  for (const mcom::FilePath& path : removed) line.append(" ").append(path.string());
  console.err << line << '\n';
}

// Prints a successful operation's result for people: the headline, then the detail lines.
void PrintResultTexts(Console& console, const app::OperationResult& result) {
  console.out << result.message << '\n';
  if (!result.information.empty()) console.out << result.information << '\n';
  console.out.flush();
}

// Runs `operation` with its progress on the console and the tools' output captured (shown
// only when the operation fails, unless --verbose), after removing what killed runs left
// beside `image` (when it works on one); returns the exit status. The operation throws its
// Error, or returns the result texts of a finished task (none for a task without them).
template <typename Operation>
int RunWithDisplay(Console& console, const CommandLine& line,
                   const std::optional<mcom::FilePath>& image, Operation operation) {
  const bool backup = std::holds_alternative<BackupCommand>(line.command);
  const ProgressStyle style = line.json                 ? ProgressStyle::kJson
                              : console.out_is_terminal ? ProgressStyle::kBar
                                                        : ProgressStyle::kLines;
  const std::unique_ptr<ProgressDisplay> display =
      MakeProgressDisplay(style, console.out, console.clock);
  const ProgressCallback progress = [&display, backup](ProgressUpdate update) {
    if (const std::string* text = std::get_if<std::string>(&update)) {
      if (IsNoise(*text, backup)) return;
    }
    display->Update(update);
  };

  std::unique_ptr<ToolOutputCapture> capture;
  if (!line.verbose) capture = ToolOutputCapture::Start();
  std::optional<Error> failure;
  std::optional<app::OperationResult> result;
  try {
    if (image) RemoveLeftovers(console, *image);
    result = operation(*display, progress);
  } catch (const Error& error) {
    failure = error;
  } catch (const std::exception& exception) {
    // Anything else the platform layers throw: caught here so that the pipeline's guards
    // have unwound (images detached, a half-made image removed) before dorvane exits.
    failure = Error("dorvane", exception.what());
  }
  const std::string tool_output = capture && failure ? capture->Contents() : std::string();
  capture.reset();

  if (!failure) {
    if (result) display->SetResultTexts({result->message, result->information});
    display->Finish(std::nullopt, kExitSuccess);
    if (result && !line.json) PrintResultTexts(console, *result);
    return kExitSuccess;
  }
  // After a signal the operation fails however its step noticed it (the engine's check, or
  // the tool it stopped failing); the status says it was stopped.
  const int signal = mcom::InterruptingSignal();
  const int status = signal != 0 ? kExitInterruptedBase + signal : kExitFailure;
  display->Finish(failure, status);
  if (signal != 0) {
    console.err << "dorvane: " << InterruptedLine(signal, backup, *failure) << '\n';
  } else {
    if (!tool_output.empty()) console.err << tool_output << '\n';
    console.err << failure->FullDescription() << '\n';
  }
  console.err.flush();
  return status;
}

// The outcome of a task run by an operation controller: its result, or the Error the
// controller kept (a failed result without one has only its text).
app::OperationResult Succeeded(app::OperationResult result,
                               const ErrorKeepingController& controller) {
  if (result.success) return result;
  if (const std::optional<Error>& failure = controller.failure()) throw Error(*failure);
  throw Error("dorvane", result.information);
}

int RunBackup(Console& console, const CommandLine& line, const BackupJob& job,
              const std::shared_ptr<const ErrorKeepingController>& controller) {
  const app::BackupOperationController backup =
      app::BackupOperationController::Make(controller, nullptr);
  return RunWithDisplay(
      console, line, job.image, [&](ProgressDisplay& display, const ProgressCallback& progress) {
        // The source was found first, so that the data to copy is known for the throughput.
        for (const std::string& text : job.search_texts) progress(text);
        display.SetDataBytes(
            ContainerDataBytes(APFSContainerName{app::CoreDiskName(job.source.name.diskName)}));
        const auto observed = std::make_shared<app::Progress>();
        ForwardProgress(*observed, progress);
        app::OperationResult result = backup.perform(job.source, job.image, observed);
        observed->setObserver(nullptr);  // nothing late reaches the display once it is done
        return std::optional(Succeeded(std::move(result), *controller));
      });
}

int RunRestore(Console& console, const CommandLine& line, const RestoreJob& job,
               const std::shared_ptr<const ErrorKeepingController>& controller) {
  const app::RestoreOperationController restore = app::RestoreOperationController::Make(controller);
  std::optional<app::NavigationItem> restart;
  const int status = RunWithDisplay(
      console, line, job.image, [&](ProgressDisplay& display, const ProgressCallback& progress) {
        display.SetDataBytes(ImageDataBytes(job.image));
        const auto observed = std::make_shared<app::Progress>();
        ForwardProgress(*observed, progress);
        app::OperationResult performed = restore.perform(job.image, job.target, observed);
        observed->setObserver(nullptr);
        app::OperationResult result = Succeeded(std::move(performed), *controller);
        restart = result.actionItem;
        return std::optional(std::move(result));
      });
  if (status == kExitSuccess && job.restart && restart && restart->action) {
    console.err << "dorvane: restarting from " << app::TargetDescription(job.target) << '\n';
    console.err.flush();
    restart->action();
  }
  return status;
}

// Only the helper collects the logs, wherever dorvane runs, so its rules apply throughout.
int RunLogs(Console& console, const CommandLine& line, const LogsCommand& logs) {
  if (const std::optional<std::string> why = WhyTheArchiveCannotGoTo(logs.archive, logs.force)) {
    return Refuse(console, line.json, *why);
  }
  if (const std::optional<std::string> why = WhyTheHelperWillNotServe()) {
    return Report(console, line.json, {kExitFailure, Error("dorvane", *why)});
  }
  std::optional<Error> failure;
  if (const std::optional<mcom::File> archive = CollectLogsFromHelper()) {
    try {
      SaveLogArchive(*archive, mcom::FilePath(logs.archive), logs.force);
    } catch (const Error& error) {
      failure = error;
    }
  } else {
    failure = Error("dorvane",
                    "the privileged helper gave no log archive (the system log, "
                    "/private/var/log/system.log, says why); nothing was written");
  }
  if (failure) {
    const int signal = mcom::InterruptingSignal();
    return Report(console, line.json,
                  {signal != 0 ? kExitInterruptedBase + signal : kExitFailure, failure});
  }
  if (!line.json) console.out << "dorvane: wrote the log archive to " << logs.archive << '\n';
  return Report(console, line.json, {});
}

// The recovery disk is built by the helper alone, wherever dorvane runs.
int RunRecoveryDisk(Console& console, const CommandLine& line, const RecoveryDiskCommand& command) {
  const std::optional<mcom::DiskName> target = mcom::ParseDiskName(command.target);
  if (!target || target->has_slice()) {
    return Refuse(console, line.json,
                  "'" + command.target + "' is not a whole disk's name, such as disk2");
  }
  if (const std::optional<std::string> why = WhyTheHelperWillNotServe()) {
    return Report(console, line.json, {kExitFailure, Error("dorvane", *why)});
  }
  return RunWithDisplay(console, line, std::nullopt,
                        [&](ProgressDisplay&, const ProgressCallback& progress) {
                          if (std::optional<Error> failure = BuildRecovery(*target, progress)) {
                            throw Error(*failure);
                          }
                          return std::optional<app::OperationResult>();
                        });
}

// Reads the registry as the application's selection screens do; changes nothing.
int RunList(Console& console, const CommandLine& line) {
  const app::RealBackupController controller;
  const std::vector<app::APFSContainerInfo> sources = controller.sourceContainers();
  const std::vector<app::RestoreTargetInfo> targets = controller.restoreTargets();
  if (line.json) {
    console.out << DiskListingJson(sources, targets) << '\n';
  } else {
    console.out << DiskListingText(sources, targets);
  }
  return Report(console, line.json, {});
}

int RunCommand(const CommandLine& line, Console& console) {
  if (line.root) {
    struct stat status;
    if (::stat(line.root->c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      return Refuse(console, line.json, "no machine at '" + *line.root + "': not a folder");
    }
    mcom::SetSystemRoot(mcom::FilePath(*line.root));
  }
  if (const LogsCommand* logs = std::get_if<LogsCommand>(&line.command)) {
    return RunLogs(console, line, *logs);
  }
  if (const auto* recovery_disk = std::get_if<RecoveryDiskCommand>(&line.command)) {
    return RunRecoveryDisk(console, line, *recovery_disk);
  }
  if (std::holds_alternative<ListCommand>(line.command)) return RunList(console, line);
  // Arguments and targets are checked before the environment, so that a typing error or a
  // disk that must not be erased is pointed out wherever dorvane runs.
  // Sources and targets are those the application offers, from the controller that runs
  // the task.
  const auto controller = std::make_shared<const ErrorKeepingController>(
      std::make_shared<const app::RealBackupController>());
  std::variant<BackupJob, RestoreJob, UsageError> job = UsageError{};
  if (const BackupCommand* backup = std::get_if<BackupCommand>(&line.command)) {
    std::visit([&job](auto&& checked) { job = std::forward<decltype(checked)>(checked); },
               CheckBackup(*backup, controller->sourceContainers()));
  } else {
    std::visit([&job](auto&& checked) { job = std::forward<decltype(checked)>(checked); },
               CheckRestore(std::get<RestoreCommand>(line.command), controller->restoreTargets()));
  }
  if (const UsageError* error = std::get_if<UsageError>(&job)) {
    return Refuse(console, line.json, error->message);
  }

  if (!IsRunningInRecoveryEnvironment()) {
    if (const std::optional<std::string> why = WhyTheHelperWillNotServe()) {
      return Report(console, line.json, {kExitFailure, Error("dorvane", *why)});
    }
  }
  if (const BackupJob* backup = std::get_if<BackupJob>(&job)) {
    if (!backup->note.empty()) console.err << "dorvane: " << backup->note << '\n';
    return RunBackup(console, line, *backup, controller);
  }
  return RunRestore(console, line, std::get<RestoreJob>(job), controller);
}

}  // namespace

int RunDorvane(const std::vector<std::string>& arguments, Console console) {
  const ParsedCommandLine parsed = ParseCommandLine(arguments);
  if (const HelpRequest* help = std::get_if<HelpRequest>(&parsed)) {
    // With --json, standard output holds JSON alone.
    (help->json ? console.err : console.out) << help->text;
    return Report(console, help->json, {});
  }
  if (const UsageError* error = std::get_if<UsageError>(&parsed)) {
    return Refuse(console, AsksForJson(arguments), error->message + " (see dorvane --help)");
  }
  const CommandLine& line = std::get<CommandLine>(parsed);
  try {
    return RunCommand(line, console);
  } catch (const Error& error) {
    return Report(console, line.json, {kExitFailure, error});
  } catch (const std::exception& exception) {
    return Report(console, line.json, {kExitFailure, Error("dorvane", exception.what())});
  }
}
