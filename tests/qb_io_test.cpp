// The descriptor layer over pipes: bounded reads, writes without terminator,
// the waiting-byte count, and closing that resets the handle.
#include "qb_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

namespace {

// A pipe whose ends are closed at the end of the test.
struct Pipe {
  fd_handle fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(create_pipe(fds), 0); }
  ~Pipe() {
    close_fdhandle(fds[0]);
    close_fdhandle(fds[1]);
  }
  fd_handle& r() { return fds[0]; }
  fd_handle& w() { return fds[1]; }
};

TEST(ReadFdhandle, ReadsAtMostTheBufferSize) {
  Pipe pipe;
  char text[] = "0123456789";
  ASSERT_EQ(write_fdhandle(pipe.w(), text), 10);
  char buf[8];
  memset(buf, '#', sizeof(buf));
  EXPECT_EQ(read_fdhandle(pipe.r(), buf, 4, 10), 4);
  EXPECT_EQ(memcmp(buf, "0123####", 8), 0);  // no terminator added
  EXPECT_EQ(get_bytes_avail(pipe.r()), 6);
}

TEST(ReadFdhandle, ReadsAtMostTheBytesAvailable) {
  Pipe pipe;
  char text[] = "0123456789";
  ASSERT_EQ(write_fdhandle(pipe.w(), text), 10);
  char buf[16];
  EXPECT_EQ(read_fdhandle(pipe.r(), buf, sizeof(buf), 3), 3);
  EXPECT_EQ(get_bytes_avail(pipe.r()), 7);
}

TEST(ReadFdhandle, NothingAvailableReadsNothing) {
  Pipe pipe;
  char text[] = "abc";
  ASSERT_EQ(write_fdhandle(pipe.w(), text), 3);
  char buf[8];
  memset(buf, '#', sizeof(buf));
  EXPECT_EQ(read_fdhandle(pipe.r(), buf, sizeof(buf), 0), 0);
  // A negative count must not turn into a huge read into the small buffer.
  EXPECT_EQ(read_fdhandle(pipe.r(), buf, sizeof(buf), -5), 0);
  EXPECT_EQ(buf[0], '#');
  EXPECT_EQ(get_bytes_avail(pipe.r()), 3);
}

TEST(WriteFdhandle, WritesTheTextWithoutTerminator) {
  Pipe pipe;
  char text[] = "quit\n";
  EXPECT_EQ(write_fdhandle(pipe.w(), text), 5);
  EXPECT_EQ(get_bytes_avail(pipe.r()), 5);
  EXPECT_EQ(write_fdhandle(-1, text), -1);
  EXPECT_EQ(write_fdhandle(pipe.w(), nullptr), -1);
  EXPECT_EQ(read_fdhandle(-1, text, sizeof(text), 4), -1);
  EXPECT_EQ(read_fdhandle(pipe.r(), nullptr, sizeof(text), 4), -1);
}

TEST(GetBytesAvail, CountsWhatWaitsAndNeverBlocks) {
  Pipe pipe;
  EXPECT_EQ(get_bytes_avail(pipe.r()), 0);
  char text[] = "password: ";
  write_fdhandle(pipe.w(), text);
  EXPECT_EQ(get_bytes_avail(pipe.r()), 10);
  EXPECT_EQ(get_bytes_avail(-1), 0);
}

TEST(CloseFdhandle, ClosesOnceAndResetsTheHandle) {
  fd_handle fds[2] = {-1, -1};
  ASSERT_EQ(create_pipe(fds), 0);
  fd_handle kept = fds[1];
  close_fdhandle(fds[0]);
  EXPECT_EQ(fds[0], -1);

  // The number is free again; a second close of the same variable must not
  // take the descriptor that reuses it.
  int reused = open("/dev/null", O_RDONLY);
  close_fdhandle(fds[0]);
  EXPECT_NE(fcntl(reused, F_GETFD), -1);
  close(reused);

  fd_handle none = -1;
  close_fdhandle(none);
  EXPECT_EQ(none, -1);
  close_fdhandle(kept);
  EXPECT_EQ(kept, -1);
}

}  // namespace
