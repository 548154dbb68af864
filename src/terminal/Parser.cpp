// The command line parser: the command words, the split into parameters, and command names.
#include "terminal/Parser.h"

#include <array>
#include <iterator>

#include "config/StringHandle.h"

namespace kov {

namespace {

constexpr std::array<const char*, 18> kCommandWords = {"Help",
                                                       "Password",
                                                       "LoadConfig",
                                                       "SaveConfig",
                                                       "ConfigurationPort",
                                                       "CommPort",
                                                       "ShowConfig",
                                                       "About",
                                                       "Baud",
                                                       "Parity",
                                                       "Start",
                                                       "Stop",
                                                       "Exit",
                                                       "ShowConnection",
                                                       "ShowTrafic",
                                                       "Accept",
                                                       "ConnectServer",
                                                       "DisconnectServer"};

constexpr char kBlank = ' ';

// Lower-cases the letters A to Z only; every other byte stays as it is.
std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

void AppendLimited(std::string& word, char c) {
  if (word.size() < kMaxParamLength) word.push_back(c);
}

// Number of leading bytes that are scanned: the line without its last two (its CR LF end).
size_t ScanLength(const std::string& line) { return line.size() >= 2 ? line.size() - 2 : 0; }

// Splits the parameters after the command word. False when a fifth parameter begins.
bool SplitParameters(const std::string& line, CommandLine& out) {
  const size_t n = ScanLength(line);
  std::string* params[4] = {&out.P1, &out.P2, &out.P3, &out.P4};
  size_t i = 0;
  // The command word itself: skipped up to the first blank.
  while (true) {
    if (i >= n) return true;
    ++i;
    if (i == n) return true;
    if (line[i - 1] == kBlank) break;
  }
  for (size_t j = 0; j < std::size(params); ++j) {
    while (true) {
      if (i >= n) return true;
      ++i;
      const char c = line[i - 1];
      if (c != kBlank) AppendLimited(*params[j], c);
      if (i == n) return true;
      if (c == kBlank) {
        if (j + 1 == std::size(params)) return false;  // a fifth separator before the end
        break;
      }
    }
  }
  return true;
}

}  // namespace

std::string CommandName(int32_t number) {
  if (number < 1 || number > static_cast<int32_t>(kCommandWords.size())) return "";
  return kCommandWords[static_cast<size_t>(number - 1)];
}

CommandLine SplitCommandLine(const std::string& line) {
  const std::string lower = LowerAscii(line);
  for (int32_t k = 1;; ++k) {
    const std::string word = CommandName(k);
    if (word.empty()) return {};
    if (MatchesWord(lower, LowerAscii(word)) != 0) continue;
    CommandLine out;
    out.Number = k;
    if (k == kCmdPassword) return out;  // the words follow on the next line
    if (SplitParameters(line, out)) return out;
    // Too many parameters: the search goes on and no later word can match either.
  }
}

PasswordWords SplitPasswordLine(const std::string& line) {
  PasswordWords out;
  const size_t n = ScanLength(line);
  if (n == 0) {
    out.Complete = false;
    return out;
  }
  std::string* word = &out.First;
  for (size_t i = 1; i <= n; ++i) {
    const char c = line[i - 1];
    if (c != kBlank) {
      AppendLimited(*word, c);
      continue;
    }
    if (i == n) break;  // one blank right before the line end is ignored
    if (word == &out.Second) {
      out.Complete = false;  // a second blank between the words, or a third word
      break;
    }
    word = &out.Second;
  }
  return out;
}

}  // namespace kov
