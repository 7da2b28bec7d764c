#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "Command.h"

namespace vxcli {

namespace {
std::multimap<int, CommandSetup>& Registry() {
  static std::multimap<int, CommandSetup> registry;
  return registry;
}
}  // namespace

CommandRegistration::CommandRegistration(int order, CommandSetup setup) {
  Registry().emplace(order, setup);
}

}  // namespace vxcli

int main(int argc, char** argv) {
  CLI::App app{"vxaudio: sound-file properties, waveform overviews, export, silences, playback"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "vxaudio 0.1");

  std::vector<std::pair<CLI::App*, vxcli::CommandRunner>> commands;
  for (auto& [order, setup] : vxcli::Registry()) {
    size_t before = app.get_subcommands({}).size();
    vxcli::CommandRunner run = setup(app);
    auto subs = app.get_subcommands({});
    if (subs.size() > before) commands.emplace_back(subs.back(), std::move(run));
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "vxaudio: %s\n", e.what());
    return 2;
  }
  for (auto& [sub, run] : commands)
    if (sub->parsed()) return run();
  return 2;
}
