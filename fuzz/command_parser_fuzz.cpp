// Feeds arbitrary lines to the command line parser and the password-line splitter, and checks
// what they promise whatever the line holds.
#include <cstdint>
#include <string>

#include "terminal/Parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  const kov::CommandLine command = kov::SplitCommandLine(line);
  if (command.Number < 0 || command.Number > 18) __builtin_trap();
  for (const std::string* p : {&command.P1, &command.P2, &command.P3, &command.P4}) {
    if (p->size() > kov::kMaxParamLength) __builtin_trap();
    if (p->find(' ') != std::string::npos) __builtin_trap();
  }
  if (command.Number != 0) {
    // The line begins with the word of the command it was recognised as.
    const std::string word = kov::CommandName(command.Number);
    if (word.empty() || line.size() <= word.size()) __builtin_trap();
    for (size_t i = 0; i < word.size(); ++i) {
      char c = line[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      char w = word[i];
      if (w >= 'A' && w <= 'Z') w = static_cast<char>(w - 'A' + 'a');
      if (c != w) __builtin_trap();
    }
  }
  const kov::PasswordWords words = kov::SplitPasswordLine(line);
  if (words.First.size() > kov::kMaxParamLength || words.Second.size() > kov::kMaxParamLength)
    __builtin_trap();
  return 0;
}
