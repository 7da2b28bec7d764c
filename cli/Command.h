// vxaudio's subcommands register themselves here; main() parses and runs the
// one that was chosen.
#pragma once

#include <functional>

namespace CLI {
class App;
}  // namespace CLI

namespace vxcli {

// Adds the subcommand to `app` and returns what runs it after parsing.
// The runner returns the process exit status (0 ok, 1 failed, 2 usage).
using CommandRunner = std::function<int()>;
using CommandSetup = CommandRunner (*)(CLI::App& app);

struct CommandRegistration {
  // `order` fixes the order in --help.
  CommandRegistration(int order, CommandSetup setup);
};

}  // namespace vxcli
