#include "app/cli/dorvane_command.h"

#include <sys/stat.h>

#include <exception>
#include <ostream>

#include "app/cli/checked_job.h"
#include "app/cli/command_line.h"
#include "app/cli/data_size.h"
#include "app/client/recovery_environment.h"
#include "app/client/replicator.h"
#include "core/backup/backup.h"
#include "core/backup/restore.h"
#include "core/foundation/error.h"
#include "core/foundation/system_path.h"

namespace {

int Refuse(Console& console, const std::string& message) {
  console.err << "dorvane: " << message << '\n';
  return kExitUsage;
}

// Runs `operation` with its progress shown on the console; returns the exit status.
template <typename Operation>
int RunWithDisplay(Console& console, bool json, Operation operation) {
  const ProgressStyle style = json                      ? ProgressStyle::kJson
                              : console.out_is_terminal ? ProgressStyle::kBar
                                                        : ProgressStyle::kLines;
  const std::unique_ptr<ProgressDisplay> display =
      MakeProgressDisplay(style, console.out, console.clock);
  try {
    operation(*display);
  } catch (const Error& error) {
    display->Finish(error);
    console.err << error.FullDescription() << '\n';
    return kExitFailure;
  } catch (const std::exception& exception) {
    // Anything else the platform layers throw: caught here so that the pipeline's guards
    // have unwound (images detached, a half-made image removed) before dorvane exits.
    const Error error("dorvane", exception.what());
    display->Finish(error);
    console.err << error.FullDescription() << '\n';
    return kExitFailure;
  }
  display->Finish(std::nullopt);
  return kExitSuccess;
}

ProgressCallback ShowOn(ProgressDisplay& display) {
  return [&display](ProgressUpdate update) { display.Update(update); };
}

int RunBackup(Console& console, bool json, const BackupJob& job) {
  return RunWithDisplay(console, json, [&](ProgressDisplay& display) {
    // The source is found first, so that the data to copy is known for the throughput.
    const APFSContainerName source =
        job.source ? *job.source : FindSystemContainer(ShowOn(display));
    display.SetDataBytes(ContainerDataBytes(source));
    backup::PerformBackup(source, job.image, Replicator("PerformBackup"), ShowOn(display));
  });
}

int RunRestore(Console& console, bool json, const RestoreJob& job) {
  return RunWithDisplay(console, json, [&](ProgressDisplay& display) {
    display.SetDataBytes(ImageDataBytes(job.image));
    PerformRestore(job.image, job.target, Replicator("PerformRestore"), ShowOn(display));
  });
}

}  // namespace

int RunDorvane(const std::vector<std::string>& arguments, Console console) {
  const ParsedCommandLine parsed = ParseCommandLine(arguments);
  if (const HelpRequest* help = std::get_if<HelpRequest>(&parsed)) {
    console.out << help->text;
    return kExitSuccess;
  }
  if (const UsageError* error = std::get_if<UsageError>(&parsed)) {
    return Refuse(console, error->message + " (see dorvane --help)");
  }
  const CommandLine& line = std::get<CommandLine>(parsed);

  if (line.root) {
    struct stat status;
    if (::stat(line.root->c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      return Refuse(console, "no machine at '" + *line.root + "': not a folder");
    }
    mcom::SetSystemRoot(mcom::FilePath(*line.root));
  }

  // Arguments are checked before the environment, so that a typing error is pointed out
  // wherever dorvane runs.
  std::variant<BackupJob, RestoreJob, UsageError> job = UsageError{};
  if (const BackupCommand* backup = std::get_if<BackupCommand>(&line.command)) {
    std::visit([&job](auto&& checked) { job = std::move(checked); }, CheckBackup(*backup));
  } else {
    std::visit([&job](auto&& checked) { job = std::move(checked); },
               CheckRestore(std::get<RestoreCommand>(line.command)));
  }
  if (const UsageError* error = std::get_if<UsageError>(&job)) {
    return Refuse(console, error->message);
  }

  if (!IsRunningInRecoveryEnvironment()) {
    console.err << "dorvane: " << kReplicationNeedsHelper
                << "; run dorvane from the recovery environment\n";
    return kExitNeedsHelper;
  }
  if (const BackupJob* backup = std::get_if<BackupJob>(&job)) {
    return RunBackup(console, line.json, *backup);
  }
  return RunRestore(console, line.json, std::get<RestoreJob>(job));
}
