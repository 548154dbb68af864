#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "bridge/SerialRing.h"

namespace kov {
namespace {

std::string Pieces(SerialRing& ring) {
  iovec pieces[2];
  int n = ring.FilledPieces(pieces);
  std::string text;
  for (int i = 0; i < n; ++i) {
    text.append(static_cast<const char*>(pieces[i].iov_base), pieces[i].iov_len);
    text += '|';
  }
  return text;
}

TEST(SerialRing, PutAndTakeKeepOrderAcrossTheWrap) {
  SerialRing ring(8);
  EXPECT_EQ(ring.Put("abcdef", 6), 6u);
  char out[16];
  EXPECT_EQ(ring.Take(out, 4), 4u);
  EXPECT_EQ(std::string(out, 4), "abcd");
  // Free space now wraps: 2 bytes at the end, 4 at the start.
  EXPECT_EQ(ring.Put("ghijklmnop", 10), 6u) << "only what fits is taken";
  EXPECT_TRUE(ring.Full());
  EXPECT_EQ(Pieces(ring), "efgh|ijkl|");
  EXPECT_EQ(ring.Take(out, sizeof out), 8u);
  EXPECT_EQ(std::string(out, 8), "efghijkl");
  EXPECT_TRUE(ring.Empty());
}

TEST(SerialRing, FreePiecesAndCommitFillInOrder) {
  SerialRing ring(6);
  ring.Put("xyz", 3);
  char out[2];
  ring.Take(out, 2);  // one byte left at index 2; free: 3..5 then 0..1
  iovec pieces[2];
  ASSERT_EQ(ring.FreePieces(pieces), 2);
  EXPECT_EQ(pieces[0].iov_len, 3u);
  EXPECT_EQ(pieces[1].iov_len, 2u);
  std::memcpy(pieces[0].iov_base, "123", 3);
  std::memcpy(pieces[1].iov_base, "45", 2);
  ring.Commit(5);
  EXPECT_EQ(Pieces(ring), "z123|45|");
  ring.Consume(4);
  EXPECT_EQ(Pieces(ring), "45|");
  ring.Consume(100);
  EXPECT_TRUE(ring.Empty());
  // An emptied ring starts again at the front, so the next fill is one piece.
  EXPECT_EQ(ring.FreePieces(pieces), 1);
  EXPECT_EQ(pieces[0].iov_len, 6u);
}

TEST(SerialRing, ResetEmptiesAndResizes) {
  SerialRing ring(4);
  ring.Put("abcd", 4);
  ring.Reset(2);
  EXPECT_TRUE(ring.Empty());
  EXPECT_EQ(ring.Capacity(), 2u);
  EXPECT_EQ(ring.Put("abc", 3), 2u);
  iovec pieces[2];
  EXPECT_EQ(ring.FreePieces(pieces), 0);
}

}  // namespace
}  // namespace kov
