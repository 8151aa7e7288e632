// `tavelo mount` in a build without libfuse 3: the command exists and says
// what it needs.
#include "../tavelo.h"

namespace tavelo::cli {

void AddMountCommand(CLI::App &app, Context & /*context*/) {
  auto *mount = app.add_subcommand("mount", "the camera as a folder (needs libfuse 3)");
  mount->allow_extras();
  Define(mount, [] {
    throw Failure(kExitUsage, "mount: this tavelo was built without libfuse 3 (libfuse3-dev)");
  });
}

} // namespace tavelo::cli
