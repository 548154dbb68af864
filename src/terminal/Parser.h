#pragma once
// Recognition of console command lines and of the second line of the Password command. Both work
// on a complete line as the console assembled it: every typed byte, the ending CR LF included.
#include <cstdint>
#include <string>

namespace kov {

// Command numbers, the interface between the parser and ExecuteCommand.
enum CommandNumber : int32_t {
  kCmdHelp = 1,
  kCmdPassword = 2,
  kCmdLoadConfig = 3,
  kCmdSaveConfig = 4,
  kCmdConfigurationPort = 5,
  kCmdCommPort = 6,
  kCmdShowConfig = 7,
  kCmdAbout = 8,
  kCmdBaud = 9,
  kCmdParity = 10,
  kCmdStart = 11,
  kCmdStop = 12,
  kCmdExit = 13,
  kCmdShowConnection = 14,
  kCmdShowTrafic = 15,
  kCmdAccept = 16,
  kCmdConnectServer = 17,
  kCmdDisconnectServer = 18,
};

// Longest command word and longest parameter kept; further characters of a parameter are dropped.
inline constexpr size_t kMaxParamLength = 20;

// The word of a command number; empty for 0 and for numbers past the table, which ends a search.
std::string CommandName(int32_t number);

struct CommandLine {
  int32_t Number = 0;  // 0: no command word matched
  std::string P1, P2, P3, P4;
};

// Finds the command whose word begins the line (any case, followed by a blank or CR) and splits
// up to four blank-separated parameters. The last two bytes of the line count as its end and are
// not scanned. A fifth parameter, or no matching word, gives Number 0.
CommandLine SplitCommandLine(const std::string& line);

struct PasswordWords {
  std::string First, Second;
  bool Complete = true;  // false when the line is not two words (nothing typed, extra blanks)
};

// Splits the second line of the Password command into its two words.
PasswordWords SplitPasswordLine(const std::string& line);

}  // namespace kov
