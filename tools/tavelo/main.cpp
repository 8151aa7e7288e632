// tavelo: a command line tool for cameras of the Tavelo kind, built on the
// library's public interface. See docs/tavelo.1.
#include "progress.h"
#include "tavelo.h"
#include "tether.h"

#include <clocale>
#include <cstdio>

using namespace tavelo::cli;

namespace {

// A failure on stderr; with --json also as an object on stdout, so that a
// reader of the JSON lines sees why the command ended.
void ReportFailure(const Context &context, const char *what, std::optional<CAMRESULT> result) {
  std::fprintf(stderr, "tavelo: %s\n", what);
  if (context.json) {
    Json error = result ? ResultJson(*result) : Json{{"code", nullptr}, {"name", ""}, {"text", ""}};
    error["error"] = what;
    PrintJson(error);
  }
}

} // namespace

int main(int argc, char **argv) {
  if (std::setlocale(LC_ALL, "") == nullptr) {
    std::setlocale(LC_CTYPE, ""); // the encoding, even when a message locale is not installed
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0); // keep lines in order with progress on stderr
  Context context;
  CLI::App app{"tavelo: list, transfer, tag, configure and shoot with a Tavelo camera.\n"
               "Camera paths look like 2:DCIM/IMG0001.JPG; without the drive they are on the\n"
               "camera's default drive, and directories end with '/'.",
               "tavelo"};
  app.failure_message(CLI::FailureMessage::help);
  app.require_subcommand(1);
  app.fallthrough(); // global options may follow the command
  app.option_defaults()->always_capture_default();
  app.add_option("--camera", context.camera, "the camera: its index or device id (see 'cameras')");
  app.add_option("--virtual", context.virtual_dir,
                 "use a virtual camera over the store DIR (made with tavelo-mkstore)")
      ->type_name("DIR");
  app.add_flag("--json", context.json, "machine output: JSON, one object per line");
  AddDeviceCommands(app, context);
  AddFileCommands(app, context);
  AddTransferCommands(app, context);
  AddParameterCommands(app, context);
  AddResultCommand(app, context);
  AddTetherCommands(app, context);
  AddServeCommand(app, context);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &error) {
    const int code = app.exit(error);
    return code == 0 ? kExitOk : kExitUsage;
  }
  const CLI::App *command = &app;
  while (!command->get_subcommands().empty()) {
    command = command->get_subcommands().front();
  }
  const auto *action = ActionOf(command);
  if (action == nullptr) {
    std::fputs(command->help().c_str(), stderr);
    return kExitUsage;
  }

  int status = kExitOk;
  try {
    PrepareProcess(context);
  } catch (const Failure &failure) {
    ReportFailure(context, failure.what(), failure.result());
    return failure.exit_code();
  }
  const CAMRESULT started = TaveloInitialize(1);
  interrupts::Install();
  try {
    Check(started, "starting the component runtime");
    (*action)();
  } catch (const Failure &failure) {
    ReportFailure(context, failure.what(), failure.result());
    status = failure.exit_code();
  } catch (const std::exception &error) {
    ReportFailure(context, error.what(), std::nullopt);
    status = kExitHost;
  }
  std::fflush(stdout);
  context.Close();
  TaveloUninitialize();
  return status;
}
