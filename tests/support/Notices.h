#pragma once
// The three notices as a client receives them, spelled out byte for byte: LF, the code, CR, VT,
// the code, CR.
#include <string>

namespace kov::notice {

inline const std::string kB01("\nB01S00A3\r\vB01S00A3\r", 20);  // taken on
inline const std::string kB02("\nB02S00A4\r\vB02S00A4\r", 20);  // let go, or refused first
inline const std::string kB03("\nB03S00A5\r\vB03S00A5\r", 20);  // turned away: port busy

}  // namespace kov::notice
