#pragma once
// The console's command table: runs a recognised command number with its parameters, and holds
// what every command works on. The commands themselves live in their groups (StoreCommands,
// ChannelCommands, LinkCommands); Help, About and Exit, which concern the console only, live
// with the table.
//
//   CommandTable commands(config, actions);
//   commands.Attach(&bridges, &link);          // once the channels and the link exist
//   commands.Execute(kCmdStart, "1", "", "127.0.0.1");
#include <cstdint>
#include <string>

#include "terminal/ConsoleActions.h"

namespace kov {

class TConfigFile;
class TBridges;
class TBridgeClientChanel;

// What a command works on and how it answers.
struct CommandContext {
  TConfigFile& Config;
  TBridges* Bridges;          // null until attached
  TBridgeClientChanel* Link;  // null until attached
  const ConsoleActions& Console;
  const std::string& Peer;  // the console's address

  void Send(const std::string& text) const { Console.Send(text); }
  // Sends the message of a result code and the prompt.
  void Report(int32_t code) const;
};

// A command with its first two parameters (no command takes more).
using CommandHandler = void (*)(const CommandContext& context, const std::string& P1,
                                const std::string& P2);

class CommandTable {
 public:
  // The configuration store must outlive every command.
  CommandTable(TConfigFile& config, const ConsoleActions& console);

  // The channel set and the remote link, created after the console at start-up.
  void Attach(TBridges* bridges, TBridgeClientChanel* link);

  // Runs command number for the console at peer. Whatever a command raises, the console gets a
  // reply; a number without a command is answered with its error.
  void Execute(int32_t number, const std::string& P1, const std::string& P2,
               const std::string& peer);

 private:
  TConfigFile& config_;
  const ConsoleActions& console_;
  TBridges* bridges_ = nullptr;
  TBridgeClientChanel* link_ = nullptr;
};

}  // namespace kov
