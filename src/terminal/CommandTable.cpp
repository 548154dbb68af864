#include "terminal/CommandTable.h"

#include <array>
#include <exception>

#include "config/ResultCodes.h"
#include "event/Log.h"
#include "terminal/ChannelCommands.h"
#include "terminal/ConsoleListener.h"
#include "terminal/LinkCommands.h"
#include "terminal/Listings.h"
#include "terminal/Messages.h"
#include "terminal/Parser.h"
#include "terminal/StoreCommands.h"

namespace kov {

namespace commands {
namespace {

void Help(const CommandContext& c, const std::string&, const std::string&) { c.Send(HelpText()); }

void About(const CommandContext& c, const std::string&, const std::string&) {
  c.Send(AboutText());
}

void Exit(const CommandContext& c, const std::string&, const std::string&) {
  c.Send("\n\r  Good Bye...\n\r");
  Log("Configuration console exit from " + c.Peer);
  c.Console.Close(ConsoleListener::kRestartMs);
}

}  // namespace
}  // namespace commands

namespace {

// Indexed by command number - 1, in the order of CommandNumber.
constexpr std::array<CommandHandler, 18> kHandlers = {
    commands::Help,           commands::ChangePassword, commands::LoadConfig,
    commands::SaveConfig,     commands::ConfigurationPort, commands::CommPort,
    commands::ShowConfig,     commands::About,          commands::Baud,
    commands::Parity,         commands::Start,          commands::Stop,
    commands::Exit,           commands::ShowConnection, commands::ShowTrafic,
    commands::Accept,         commands::ConnectServer,  commands::DisconnectServer,
};
static_assert(kHandlers.size() == kCmdDisconnectServer);

}  // namespace

void CommandContext::Report(int32_t code) const { Send(ErrorReport(code)); }

CommandTable::CommandTable(TConfigFile& config, const ConsoleActions& console)
    : config_(config), console_(console) {}

void CommandTable::Attach(TBridges* bridges, TBridgeClientChanel* link) {
  bridges_ = bridges;
  link_ = link;
}

void CommandTable::Execute(int32_t number, const std::string& P1, const std::string& P2,
                           const std::string& peer) {
  const CommandContext context{config_, bridges_, link_, console_, peer};
  if (number < 1 || number > static_cast<int32_t>(kHandlers.size())) {
    return context.Report(kErrNoHandler);
  }
  // Whatever a command raises, the console gets a reply and stays in command mode.
  try {
    kHandlers[static_cast<size_t>(number - 1)](context, P1, P2);
  } catch (const std::exception& e) {
    Log(std::string("Configuration console command failed: ") + e.what());
    context.Send(std::string(" ERROR: ") + e.what() + "\n\r" + kPrompt);
  } catch (...) {
    context.Send(std::string(" ERROR: ") + ErrorMessage(0) + "\n\r" + kPrompt);
  }
}

}  // namespace kov
