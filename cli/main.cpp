#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "Command.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "SilenceDetector.h"

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

namespace {

constexpr const char* kVersion = "vxaudio 0.1";

void PrintCommands(const std::vector<CLI::App*>& subs) {
  std::string text = "commands:\n";
  for (const CLI::App* sub : subs) {
    std::string name = sub->get_name();
    name.resize(std::max<size_t>(name.size(), 10), ' ');
    text += "  " + name + sub->get_description() + "\n";
  }
  text += "'vxaudio COMMAND --help' lists a command's options\n";
  std::fputs(text.c_str(), stderr);
}

// The command named on the line, checked before CLI11 sees it so that a
// misspelt one gets its name back and the list. Returns kExitOk to go on
// parsing, or the exit status after the message.
int CheckCommandName(int argc, char** argv, const std::vector<CLI::App*>& subs) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    // The program's own switches; any other option is CLI11's to refuse.
    if (arg == "-q" || arg == "--quiet" || arg == "-v" || arg == "--verbose") continue;
    if (arg.starts_with('-')) return kExitOk;
    for (const CLI::App* sub : subs)
      if (sub->check_name(std::string(arg))) return kExitOk;
    std::fprintf(stderr, "vxaudio: unknown command '%s'\n", argv[i]);
    PrintCommands(subs);
    return kExitUsage;
  }
  std::fputs("usage: vxaudio [-q|-v] COMMAND [options] (-V, --version: the version)\n", stderr);
  PrintCommands(subs);
  return kExitUsage;
}

}  // namespace
}  // namespace vxcli

int main(int argc, char** argv) {
  CLI::App app{"vxaudio: sound-file properties, waveform overviews, export, silences, playback"};
  app.require_subcommand(1);
  app.set_version_flag("-V,--version", vxcli::kVersion);
  vxcli::AddVerbosityFlags(&app);

  std::vector<std::pair<CLI::App*, vxcli::CommandRunner>> commands;
  for (auto& [order, setup] : vxcli::Registry()) {
    size_t before = app.get_subcommands({}).size();
    vxcli::CommandRunner run = setup(app);
    auto subs = app.get_subcommands({});
    if (subs.size() > before) {
      vxcli::AddVerbosityFlags(subs.back());
      commands.emplace_back(subs.back(), std::move(run));
    }
  }
  std::vector<CLI::App*> subs;
  for (auto& [sub, run] : commands) subs.push_back(sub);
  if (int rc = vxcli::CheckCommandName(argc, argv, subs); rc != vxcli::kExitOk) return rc;

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // Named after the command whose line it is, like every other error.
    std::string who = "vxaudio";
    for (auto& [sub, run] : commands)
      if (sub->parsed()) who += " " + sub->get_name();
    std::fprintf(stderr, "%s: %s\n", who.c_str(), e.what());
    return vxcli::kExitUsage;
  }
  // The library's defaults are what a host gets: the model as written, on the
  // caller's thread. This program owns its process, so its analyses use
  // every processor and the fast arithmetic, which finds the same marks.
  SetAnalysisMode({.threads = 0, .chunkFrames = 0, .fastArithmetic = true});
  for (auto& [sub, run] : commands)
    if (sub->parsed()) return run();
  return vxcli::kExitUsage;
}
