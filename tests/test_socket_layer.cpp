// The socket layer over loopback connections, with the layer's own listening side as the peer.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "zel_net.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A socket record that is closed when it goes out of scope.
class OwnedSocket {
 public:
  OwnedSocket() { zel_net_reset_socket(&record_); }
  ~OwnedSocket() { zel_net_close_socket(&record_); }
  OwnedSocket(const OwnedSocket&) = delete;
  OwnedSocket& operator=(const OwnedSocket&) = delete;

  zel_net_socket_t* get() { return &record_; }
  zel_net_socket_t* operator->() { return &record_; }

 private:
  zel_net_socket_t record_;
};

std::string PortOf(zel_net_socket_t* listening) {
  return std::to_string(zel_net_get_local_port(listening));
}

// A loopback connection: `client` connected to `listener`, `server` its accepted end.
struct Connection {
  OwnedSocket listener;
  OwnedSocket client;
  OwnedSocket server;
};

void Open(Connection& link) {
  ASSERT_EQ(0, zel_net_open_listening_socket(link.listener.get(), "127.0.0.1", "0"))
      << zel_net_get_last_error();
  ASSERT_EQ(
      0, zel_net_open_socket(link.client.get(), "127.0.0.1", PortOf(link.listener.get()).c_str()))
      << zel_net_get_last_error();
  ASSERT_EQ(0, zel_net_accept_socket(link.listener.get(), link.server.get()))
      << zel_net_get_last_error();
}

int WaitOn(zel_net_socket_t* waited, float timeout) {
  zel_net_set_t set;
  zel_net_init_socket_set(&set);
  zel_net_add_socket_to_set(waited, &set);
  return zel_net_check_socket_set(&set, timeout);
}

int SendBytes(zel_net_socket_t* sender, const Bytes& bytes) {
  return zel_net_send(sender, bytes.data(), static_cast<int>(bytes.size()));
}

// Any failure whose text differs from the ones a test expects, to see that a text stays.
void RecordUnrelatedFailure() {
  OwnedSocket absent;
  absent->descriptor = 1234;
  zel_net_set_t set;
  zel_net_init_socket_set(&set);
  zel_net_remove_socket_from_set(absent.get(), &set);
  absent->descriptor = -1;
  ASSERT_STREQ("Socket not found in set", zel_net_get_last_error());
}

class SocketLayerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(Open(link)); }
  Connection link;
};

// ---------------------------------------------------------------------------------------------
// Opening

TEST(SocketOpen, FailuresLeaveTheSocketResetAndAnEarlierDescriptorOpen) {
  OwnedSocket occupied;
  ASSERT_EQ(0, zel_net_open_listening_socket(occupied.get(), "127.0.0.1", "0"));
  const std::string busy_port = PortOf(occupied.get());
  std::string free_port;
  {
    OwnedSocket gone;
    ASSERT_EQ(0, zel_net_open_listening_socket(gone.get(), "127.0.0.1", "0"));
    free_port = PortOf(gone.get());
  }

  struct Case {
    bool listen;
    const char* host;
    std::string service;
    const char* text;
  };
  const Case cases[] = {
      {false, "127.0.0.1", "no-such-service", "Cannot resolve hostname"},
      {false, "127.0.0.1", free_port, "Cannot connect to host"},
      {true, nullptr, "no-such-service", "Cannot resolve hostname"},
      {true, "127.0.0.1", busy_port, "Could not bind to port"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " for service " + c.service);
    int pipe_ends[2];
    ASSERT_EQ(0, pipe(pipe_ends));
    zel_net_socket_t record;
    record.descriptor = pipe_ends[0];
    record.is_ready = 1;
    record.is_listening = 1;
    record.buffered = 5;
    record.packet_size = 7;

    const int result = c.listen ? zel_net_open_listening_socket(&record, c.host, c.service.c_str())
                                : zel_net_open_socket(&record, c.host, c.service.c_str());
    EXPECT_EQ(-1, result);
    EXPECT_STREQ(c.text, zel_net_get_last_error());
    EXPECT_EQ(-1, record.descriptor);
    EXPECT_EQ(0, record.is_ready);
    EXPECT_EQ(0, record.is_listening);
    EXPECT_EQ(0, record.buffered);
    EXPECT_EQ(-1, record.packet_size);
    EXPECT_NE(-1, fcntl(pipe_ends[0], F_GETFD)) << "the earlier descriptor was closed";
    close(pipe_ends[0]);
    close(pipe_ends[1]);
  }
}

TEST(SocketOpen, ListeningWithoutDescriptorsLeftFailsToCreateTheSocket) {
  EXPECT_EXIT(
      {
        const int lowest_free = dup(2);
        close(lowest_free);
        rlimit limit;
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = static_cast<rlim_t>(lowest_free);
        setrlimit(RLIMIT_NOFILE, &limit);
        zel_net_socket_t record;
        const int result = zel_net_open_listening_socket(&record, nullptr, "0");
        fprintf(stderr, "%d %s|", result, zel_net_get_last_error());
        _exit(record.descriptor == -1 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "^-1 Could not create socket\\|$");
}

TEST(SocketOpen, ListeningBindsTheGivenHostOrEveryAddress) {
  struct Case {
    const char* host;
    in_addr_t bound;
  };
  for (const Case& c : {Case{nullptr, INADDR_ANY}, Case{"127.0.0.1", INADDR_LOOPBACK}}) {
    SCOPED_TRACE(c.host == nullptr ? "null host" : c.host);
    OwnedSocket listener;
    // A null host through the general entry point, a given one through the loopback one.
    const int opened = c.host == nullptr
                           ? zel_net_open_socket(listener.get(), nullptr, "0")
                           : zel_net_open_listening_socket(listener.get(), c.host, "0");
    ASSERT_EQ(0, opened) << zel_net_get_last_error();
    EXPECT_EQ(1, listener->is_listening);
    EXPECT_EQ(1, zel_net_is_socket_valid(listener.get()));

    sockaddr_in address;
    socklen_t length = sizeof address;
    ASSERT_EQ(0, getsockname(listener->descriptor, reinterpret_cast<sockaddr*>(&address), &length));
    EXPECT_EQ(htonl(c.bound), address.sin_addr.s_addr);
    EXPECT_EQ(ntohs(address.sin_port), zel_net_get_local_port(listener.get()));
    EXPECT_GT(zel_net_get_local_port(listener.get()), 0);

    OwnedSocket client, server;
    ASSERT_EQ(0, zel_net_open_socket(client.get(), "127.0.0.1", PortOf(listener.get()).c_str()));
    EXPECT_EQ(0, client->is_listening);
    EXPECT_EQ(0, zel_net_accept_socket(listener.get(), server.get()));
  }
  OwnedSocket closed;
  EXPECT_EQ(-1, zel_net_get_local_port(closed.get()));
  EXPECT_EQ(0, zel_net_is_socket_valid(closed.get()));
}

// ---------------------------------------------------------------------------------------------
// Accepting, sending, receiving

TEST_F(SocketLayerTest, AcceptRefusesClosedAndClientSocketsAndReportsAFailedAccept) {
  OwnedSocket closed, accepted;
  EXPECT_EQ(-1, zel_net_accept_socket(closed.get(), accepted.get()));
  EXPECT_STREQ("Cannot accept on closed socket", zel_net_get_last_error());
  EXPECT_EQ(-1, zel_net_accept_socket(link.client.get(), accepted.get()));
  EXPECT_STREQ("Cannot accept on client socket", zel_net_get_last_error());

  // Nothing is pending on a non-blocking listener, so accept() itself fails.
  const int flags = fcntl(link.listener->descriptor, F_GETFL);
  ASSERT_EQ(0, fcntl(link.listener->descriptor, F_SETFL, flags | O_NONBLOCK));
  EXPECT_EQ(-1, zel_net_accept_socket(link.listener.get(), accepted.get()));
  EXPECT_STREQ("Accept failed", zel_net_get_last_error());
  EXPECT_EQ(-1, accepted->descriptor);
  ASSERT_EQ(0, fcntl(link.listener->descriptor, F_SETFL, flags));
}

TEST_F(SocketLayerTest, AcceptClearsTheFlagsOfBothSockets) {
  OwnedSocket second_client, accepted;
  ASSERT_EQ(0, zel_net_open_socket(second_client.get(), "127.0.0.1",
                                   PortOf(link.listener.get()).c_str()));
  link.listener->is_ready = 1;
  accepted->is_ready = 1;
  accepted->is_listening = 1;
  ASSERT_EQ(0, zel_net_accept_socket(link.listener.get(), accepted.get()));
  EXPECT_EQ(0, link.listener->is_ready);
  EXPECT_EQ(1, link.listener->is_listening);
  EXPECT_EQ(0, accepted->is_ready);
  EXPECT_EQ(0, accepted->is_listening);
  EXPECT_NE(-1, accepted->descriptor);
}

TEST_F(SocketLayerTest, SendAndReceiveRefuseClosedAndListeningSockets) {
  OwnedSocket closed;
  struct Case {
    bool send;
    zel_net_socket_t* target;
    const char* text;
  };
  const Case cases[] = {
      {true, closed.get(), "Cannot send on closed socket"},
      {true, link.listener.get(), "Cannot send on server socket"},
      {false, closed.get(), "Cannot receive on closed socket"},
      {false, link.listener.get(), "Cannot receive on server socket"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char byte = 'x';
    EXPECT_EQ(-1, c.send ? zel_net_send(c.target, &byte, 1) : zel_net_recv(c.target, &byte, 1));
    EXPECT_STREQ(c.text, zel_net_get_last_error());
  }
}

TEST_F(SocketLayerTest, BytesTravelBothWays) {
  const Bytes hello = {'h', 'e', 'l', 'l', 'o'};
  ASSERT_EQ(0, SendBytes(link.client.get(), hello));
  Bytes received(16);
  ASSERT_EQ(5, zel_net_recv(link.server.get(), received.data(), 16));
  received.resize(5);
  EXPECT_EQ(hello, received);

  ASSERT_EQ(0, SendBytes(link.server.get(), {0x00, 0xFF}));
  unsigned char back[2] = {};
  ASSERT_EQ(2, zel_net_recv(link.client.get(), back, 2));
  EXPECT_EQ(0x00, back[0]);
  EXPECT_EQ(0xFF, back[1]);
}

TEST_F(SocketLayerTest, ReceiveAfterAnOrderlyCloseReturnsZeroAndKeepsTheLastError) {
  zel_net_close_socket(link.client.get());
  ASSERT_EQ(1, WaitOn(link.server.get(), 5.0f));
  ASSERT_NO_FATAL_FAILURE(RecordUnrelatedFailure());
  char byte;
  EXPECT_EQ(0, zel_net_recv(link.server.get(), &byte, 1));
  EXPECT_STREQ("Socket not found in set", zel_net_get_last_error());
}

TEST_F(SocketLayerTest, AResetConnectionIsReadableAndTheReceiveFails) {
  const linger abort_on_close = {1, 0};
  ASSERT_EQ(0, setsockopt(link.client->descriptor, SOL_SOCKET, SO_LINGER, &abort_on_close,
                          sizeof abort_on_close));
  zel_net_close_socket(link.client.get());
  ASSERT_EQ(1, WaitOn(link.server.get(), 5.0f));
  EXPECT_EQ(1, link.server->is_ready);
  char byte;
  EXPECT_EQ(-1, zel_net_recv(link.server.get(), &byte, 1));
  EXPECT_STREQ("Cannot receive data", zel_net_get_last_error());
}

TEST_F(SocketLayerTest, SendToAClosedPeerFailsWithoutABrokenPipeSignal) {
  // The default action of the signal ends the process, which fails the whole test program.
  struct sigaction default_action = {}, previous;
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  ASSERT_EQ(0, sigaction(SIGPIPE, &default_action, &previous));

  zel_net_close_socket(link.server.get());
  // The first bytes may still go out; the peer's reset makes a later send fail.
  int result = 0;
  for (int attempt = 0; attempt < 200 && result == 0; ++attempt) {
    result = SendBytes(link.client.get(), {'x'});
    if (result == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(-1, result);
  EXPECT_STREQ("Cannot send data", zel_net_get_last_error());
  sigaction(SIGPIPE, &previous, nullptr);
}

TEST(SocketLastError, IsKeptPerThread) {
  ASSERT_NO_FATAL_FAILURE(RecordUnrelatedFailure());
  std::string other_before, other_after;
  std::thread other([&] {
    other_before = zel_net_get_last_error();
    OwnedSocket closed;
    char byte = 'x';
    zel_net_send(closed.get(), &byte, 1);
    other_after = zel_net_get_last_error();
  });
  other.join();
  EXPECT_EQ("", other_before);
  EXPECT_EQ("Cannot send on closed socket", other_after);
  EXPECT_STREQ("Socket not found in set", zel_net_get_last_error());

  zel_net_set_last_error("Connection closed by peer");
  EXPECT_STREQ("Connection closed by peer", zel_net_get_last_error());
  zel_net_set_last_error(nullptr);
  EXPECT_STREQ("", zel_net_get_last_error());
}

// ---------------------------------------------------------------------------------------------
// Sets

TEST(SocketSet, HoldsThirtyTwoEntriesAndASocketTwiceTakesTwoSlots) {
  OwnedSocket listener, other;
  ASSERT_EQ(0, zel_net_open_listening_socket(listener.get(), "127.0.0.1", "0"));
  ASSERT_EQ(0, zel_net_open_listening_socket(other.get(), "127.0.0.1", "0"));
  zel_net_set_t set;
  zel_net_init_socket_set(&set);
  for (int i = 0; i < ZEL_NET_SET_SIZE; ++i)
    ASSERT_EQ(0, zel_net_add_socket_to_set(listener.get(), &set));
  for (zel_net_socket_t* slot : set.slots) EXPECT_EQ(listener.get(), slot);

  EXPECT_EQ(-1, zel_net_add_socket_to_set(other.get(), &set));
  EXPECT_STREQ("Socket set is full", zel_net_get_last_error());

  ASSERT_EQ(0, zel_net_remove_socket_from_set(listener.get(), &set));
  EXPECT_EQ(nullptr, set.slots[0]);
  EXPECT_EQ(listener.get(), set.slots[1]);
  ASSERT_EQ(0, zel_net_add_socket_to_set(other.get(), &set));
  EXPECT_EQ(other.get(), set.slots[0]);
}

TEST(SocketSet, RefusesClosedSocketsAndReportsAMissingOne) {
  OwnedSocket listener, absent;
  ASSERT_EQ(0, zel_net_open_listening_socket(listener.get(), "127.0.0.1", "0"));
  ASSERT_EQ(0, zel_net_open_listening_socket(absent.get(), "127.0.0.1", "0"));
  zel_net_set_t set;
  zel_net_init_socket_set(&set);
  ASSERT_EQ(0, zel_net_add_socket_to_set(listener.get(), &set));

  EXPECT_EQ(-1, zel_net_remove_socket_from_set(absent.get(), &set));
  EXPECT_STREQ("Socket not found in set", zel_net_get_last_error());

  zel_net_close_socket(listener.get());
  EXPECT_EQ(-1, zel_net_remove_socket_from_set(listener.get(), &set));
  EXPECT_STREQ("Cannot remove closed socket from set", zel_net_get_last_error());
  EXPECT_EQ(listener.get(), set.slots[0]);
  EXPECT_EQ(-1, zel_net_add_socket_to_set(listener.get(), &set));
  EXPECT_STREQ("Cannot add closed socket to set", zel_net_get_last_error());
}

// ---------------------------------------------------------------------------------------------
// Waiting

TEST(SocketWait, ASetWithoutOpenSocketsReturnsAtOnce) {
  zel_net_set_t set;
  zel_net_init_socket_set(&set);
  OwnedSocket closed_later;
  ASSERT_EQ(0, zel_net_open_listening_socket(closed_later.get(), "127.0.0.1", "0"));
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(0, zel_net_check_socket_set(&set, 30.0f));
  EXPECT_EQ(0, zel_net_check_socket_set(&set, std::numeric_limits<float>::quiet_NaN()));
  ASSERT_EQ(0, zel_net_add_socket_to_set(closed_later.get(), &set));
  zel_net_close_socket(closed_later.get());
  EXPECT_EQ(0, zel_net_check_socket_set(&set, 30.0f));
  EXPECT_LT(SecondsSince(start), 5.0);
}

TEST_F(SocketLayerTest, AReadableSocketIsMarkedAndTheReceiveClearsTheMark) {
  zel_net_set_t set;
  zel_net_init_socket_set(&set);
  ASSERT_EQ(0, zel_net_add_socket_to_set(link.server.get(), &set));
  ASSERT_EQ(0, zel_net_add_socket_to_set(link.client.get(), &set));

  const Clock::time_point start = Clock::now();
  EXPECT_EQ(0, zel_net_check_socket_set(&set, 0.0f));
  EXPECT_LT(SecondsSince(start), 5.0);
  EXPECT_EQ(0, link.server->is_ready);

  link.client->is_ready = 1;  // not readable: the wait leaves its mark alone
  ASSERT_EQ(0, SendBytes(link.client.get(), {'a', 'b'}));
  ASSERT_EQ(1, zel_net_check_socket_set(&set, 5.0f));
  EXPECT_EQ(1, link.server->is_ready);
  EXPECT_EQ(1, link.client->is_ready);

  char received[4];
  EXPECT_EQ(2, zel_net_recv(link.server.get(), received, sizeof received));
  EXPECT_EQ(0, link.server->is_ready);
}

TEST_F(SocketLayerTest, CountsEachReadableDescriptorOnce) {
  Connection second;
  ASSERT_NO_FATAL_FAILURE(Open(second));
  zel_net_set_t set;
  zel_net_init_socket_set(&set);
  ASSERT_EQ(0, zel_net_add_socket_to_set(link.server.get(), &set));
  ASSERT_EQ(0, zel_net_add_socket_to_set(link.server.get(), &set));
  ASSERT_EQ(0, zel_net_add_socket_to_set(second.server.get(), &set));
  ASSERT_EQ(0, SendBytes(link.client.get(), {'1'}));
  ASSERT_EQ(0, SendBytes(second.client.get(), {'2'}));

  // Both bytes are on loopback before the sends return.
  EXPECT_EQ(2, zel_net_check_socket_set(&set, 5.0f));
  EXPECT_EQ(1, link.server->is_ready);
  EXPECT_EQ(1, second.server->is_ready);
}

TEST_F(SocketLayerTest, APositiveTimeOutWaitsAtLeastItsLength) {
  for (const float timeout : {0.25f, 0.0004f}) {
    SCOPED_TRACE(timeout);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(0, WaitOn(link.server.get(), timeout));
    const double waited = SecondsSince(start);
    EXPECT_GE(waited, timeout * 0.999);
    EXPECT_LT(waited, 10.0);
  }
}

TEST_F(SocketLayerTest, AnUnusableTimeOutFails) {
  const float timeouts[] = {-1.0f,
                            -0.001f,
                            std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            2147483648.0f,
                            3e9f};
  ASSERT_EQ(0, SendBytes(link.client.get(), {'x'}));
  for (const float timeout : timeouts) {
    SCOPED_TRACE(timeout);
    EXPECT_EQ(-1, WaitOn(link.server.get(), timeout));
    EXPECT_STREQ("Error on select()", zel_net_get_last_error());
    EXPECT_EQ(0, link.server->is_ready);
  }
}

// Restores the process's real descriptor `target` however the test ends.
class DescriptorSwap {
 public:
  DescriptorSwap(zel_net_socket_t* moved, int target)
      : moved_(moved), target_(target), saved_(dup(target)) {}
  ~DescriptorSwap() {
    if (saved_ >= 0) {
      dup2(saved_, target_);
      close(saved_);
    } else {
      close(target_);
    }
    moved_->descriptor = -1;
  }
  // Moves the socket's connection onto the target descriptor.
  bool Move() {
    if (dup2(moved_->descriptor, target_) != target_) return false;
    close(moved_->descriptor);
    moved_->descriptor = target_;
    return true;
  }

 private:
  zel_net_socket_t* moved_;
  int target_;
  int saved_;
};

TEST_F(SocketLayerTest, ASocketOnDescriptorZeroIsWaitedOn) {
  DescriptorSwap swap(link.server.get(), 0);
  ASSERT_TRUE(swap.Move());
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(0, WaitOn(link.server.get(), 0.2f));
  EXPECT_GE(SecondsSince(start), 0.19);

  ASSERT_EQ(0, SendBytes(link.client.get(), {'z'}));
  EXPECT_EQ(1, WaitOn(link.server.get(), 5.0f));
  EXPECT_EQ(1, link.server->is_ready);
  char byte = 0;
  EXPECT_EQ(1, zel_net_recv(link.server.get(), &byte, 1));
  EXPECT_EQ('z', byte);
}

TEST_F(SocketLayerTest, ASocketOnADescriptorAbove1023IsWaitedOn) {
  const int high = 1500;
  rlimit original;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &original));
  if (original.rlim_max != RLIM_INFINITY && original.rlim_max <= static_cast<rlim_t>(high)) {
    GTEST_SKIP() << "the descriptor limit does not allow descriptor " << high;
  }
  rlimit raised = original;
  if (raised.rlim_cur != RLIM_INFINITY && raised.rlim_cur <= static_cast<rlim_t>(high)) {
    raised.rlim_cur = high + 1;
  }
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &raised));
  {
    DescriptorSwap swap(link.server.get(), high);
    ASSERT_TRUE(swap.Move());
    EXPECT_EQ(0, WaitOn(link.server.get(), 0.0f));
    ASSERT_EQ(0, SendBytes(link.client.get(), {'h'}));
    EXPECT_EQ(1, WaitOn(link.server.get(), 5.0f));
    EXPECT_EQ(1, link.server->is_ready);
    char byte = 0;
    EXPECT_EQ(1, zel_net_recv(link.server.get(), &byte, 1));
    EXPECT_EQ('h', byte);
  }
  setrlimit(RLIMIT_NOFILE, &original);
}

// ---------------------------------------------------------------------------------------------
// Signals: a timer interrupts blocking calls with a handler installed without SA_RESTART.

std::atomic<int> alarms_caught{0};
void CountAlarm(int) { alarms_caught.fetch_add(1); }

class InterruptingTimer {
 public:
  explicit InterruptingTimer(long interval_microseconds) {
    alarms_caught = 0;
    struct sigaction action = {};
    action.sa_handler = CountAlarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGALRM, &action, &previous_);
    const itimerval timer = {{0, interval_microseconds}, {0, interval_microseconds}};
    setitimer(ITIMER_REAL, &timer, nullptr);
  }
  ~InterruptingTimer() {
    const itimerval stopped = {};
    setitimer(ITIMER_REAL, &stopped, nullptr);
    sigaction(SIGALRM, &previous_, nullptr);
  }

 private:
  struct sigaction previous_;
};

// Starts a thread that never takes the timer's signal, so that it interrupts this thread only.
template <typename Body>
std::thread StartThreadWithoutAlarm(Body body) {
  sigset_t alarm, previous;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm, &previous);
  std::thread thread(body);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return thread;
}

// ---------------------------------------------------------------------------------------------
// Waiting and reading in one call

TEST_F(SocketLayerTest, AReceiveWithinATimeOutReadsTimesOutOrReportsTheClose) {
  char data[8];
  // Nothing arrives: a time-out of 0 only looks, a positive one waits at least its length.
  EXPECT_EQ(ZEL_NET_TIMED_OUT, zel_net_recv_within(link.server.get(), data, sizeof data, 0.0f));
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(ZEL_NET_TIMED_OUT, zel_net_recv_within(link.server.get(), data, sizeof data, 0.2f));
  EXPECT_GE(SecondsSince(start), 0.19);

  ASSERT_EQ(0, SendBytes(link.client.get(), {'a', 'b', 'c'}));
  link.server->is_ready = 1;
  EXPECT_EQ(3, zel_net_recv_within(link.server.get(), data, sizeof data, 5.0f));
  EXPECT_EQ(0, link.server->is_ready);
  EXPECT_EQ(std::string("abc"), std::string(data, 3));

  // The descriptor keeps the time-out it was given last; a new one replaces it.
  EXPECT_EQ(5.0f, link.server->receive_timeout);

  zel_net_close_socket(link.client.get());
  EXPECT_EQ(0, zel_net_recv_within(link.server.get(), data, sizeof data, 5.0f));
}

TEST_F(SocketLayerTest, AReceiveWithinAnUnusableTimeOutFailsLikeTheWait) {
  char data[8];
  ASSERT_EQ(0, SendBytes(link.client.get(), {'x'}));
  for (const float timeout : {-1.0f, std::numeric_limits<float>::quiet_NaN(), 3e9f}) {
    SCOPED_TRACE(timeout);
    EXPECT_EQ(ZEL_NET_WAIT_FAILED,
              zel_net_recv_within(link.server.get(), data, sizeof data, timeout));
    EXPECT_STREQ("Error on select()", zel_net_get_last_error());
  }
  OwnedSocket closed;
  EXPECT_EQ(-1, zel_net_recv_within(closed.get(), data, sizeof data, 1.0f));
  EXPECT_STREQ("Cannot receive on closed socket", zel_net_get_last_error());
}

TEST_F(SocketLayerTest, AReceiveWithinInterruptedBySignalsWaitsOnlyForTheRestOfItsTime) {
  char data[8];
  InterruptingTimer timer(20000);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(ZEL_NET_TIMED_OUT, zel_net_recv_within(link.server.get(), data, sizeof data, 0.3f));
  const double waited = SecondsSince(start);
  EXPECT_GE(waited, 0.25);
  EXPECT_LT(waited, 10.0);
  EXPECT_GT(alarms_caught.load(), 0);
}

TEST_F(SocketLayerTest, AWaitInterruptedBySignalsGoesOnForTheRestOfItsTime) {
  InterruptingTimer timer(20000);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(0, WaitOn(link.server.get(), 0.3f)) << zel_net_get_last_error();
  const double waited = SecondsSince(start);
  EXPECT_GE(waited, 0.25);
  EXPECT_LT(waited, 10.0);
  EXPECT_GT(alarms_caught.load(), 0);
}

TEST_F(SocketLayerTest, AReceiveInterruptedBySignalsGoesOn) {
  std::thread late_sender = StartThreadWithoutAlarm([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    SendBytes(link.client.get(), {'l', 'a', 't', 'e'});
  });
  int received;
  {
    InterruptingTimer timer(10000);
    char data[8];
    received = zel_net_recv(link.server.get(), data, sizeof data);
  }
  late_sender.join();
  EXPECT_EQ(4, received) << zel_net_get_last_error();
  EXPECT_GT(alarms_caught.load(), 0);
}

TEST_F(SocketLayerTest, ASendCutShortBySignalsIsContinuedToTheLastByte) {
  const int small = 65536;
  setsockopt(link.client->descriptor, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(link.server->descriptor, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  Bytes sent(4 * 1024 * 1024);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<unsigned char>(i * 7 % 251);

  Bytes received;
  received.reserve(sent.size());
  std::thread slow_reader = StartThreadWithoutAlarm([&] {
    unsigned char chunk[4096];
    while (received.size() < sent.size()) {
      const int count = zel_net_recv(link.server.get(), chunk, sizeof chunk);
      if (count <= 0) return;
      received.insert(received.end(), chunk, chunk + count);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  int result;
  {
    InterruptingTimer timer(1000);
    result = SendBytes(link.client.get(), sent);
  }
  if (result != 0) zel_net_close_socket(link.client.get());  // ends the reader
  slow_reader.join();
  EXPECT_EQ(0, result) << zel_net_get_last_error();
  EXPECT_GT(alarms_caught.load(), 0);
  EXPECT_TRUE(received == sent) << "received " << received.size() << " of " << sent.size();
}

// ---------------------------------------------------------------------------------------------
// Packet mode

class PacketModeTest : public SocketLayerTest {
 protected:
  // Sends `bytes` to the server end and waits until they can be read there.
  void Deliver(const Bytes& bytes) {
    ASSERT_EQ(0, SendBytes(link.client.get(), bytes));
    ASSERT_EQ(1, WaitOn(link.server.get(), 5.0f));
  }
  void Refill() { ASSERT_EQ(1, zel_net_refill_packet_data(link.server.get())); }
  Bytes Buffered() {
    return Bytes(link.server->buffer, link.server->buffer + link.server->buffered);
  }
};

TEST_F(PacketModeTest, AHeaderSplitAcrossReadsIsJoined) {
  ASSERT_NO_FATAL_FAILURE(Deliver({0x00}));
  ASSERT_NO_FATAL_FAILURE(Refill());
  EXPECT_EQ(0, zel_net_receive_packet(link.server.get()));
  EXPECT_EQ(-1, link.server->packet_size);
  EXPECT_EQ(1, link.server->buffered);

  ASSERT_NO_FATAL_FAILURE(Deliver({0x03, 'a', 'b', 'c'}));
  ASSERT_NO_FATAL_FAILURE(Refill());
  EXPECT_EQ(1, zel_net_receive_packet(link.server.get()));
  EXPECT_EQ(3, link.server->packet_size);
  EXPECT_EQ((Bytes{'a', 'b', 'c'}), Buffered());
}

TEST(PacketMode, TheHeaderIsAnUnsignedSizeOfAtMost2048) {
  struct Case {
    unsigned char high, low;
    int size;  // -1: the packet is too large
  };
  const Case cases[] = {{0x00, 0x80, 128}, {0x01, 0xFF, 511}, {0x08, 0x00, 2048},
                        {0x08, 0x01, -1},  {0x80, 0x00, -1},  {0xFF, 0xFF, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "header " << int{c.high} << " " << int{c.low});
    Connection link;
    ASSERT_NO_FATAL_FAILURE(Open(link));
    Bytes packet = {c.high, c.low};
    Bytes payload;
    for (int i = 0; i < c.size; ++i) payload.push_back(static_cast<unsigned char>(i % 256));
    packet.insert(packet.end(), payload.begin(), payload.end());
    ASSERT_EQ(0, SendBytes(link.client.get(), packet));

    // A whole packet with its header is larger than the buffer, so it may take several refills.
    int result = 0;
    for (int refills = 0; refills < 100 && result == 0; ++refills) {
      ASSERT_EQ(1, WaitOn(link.server.get(), 5.0f));
      ASSERT_EQ(1, zel_net_refill_packet_data(link.server.get())) << zel_net_get_last_error();
      result = zel_net_receive_packet(link.server.get());
    }
    if (c.size < 0) {
      EXPECT_EQ(-1, result);
      EXPECT_STREQ("Received packet was too large", zel_net_get_last_error());
      EXPECT_EQ(-1, link.server->descriptor);
      EXPECT_EQ(0, link.server->buffered);
      EXPECT_EQ(-1, link.server->packet_size);
    } else {
      EXPECT_EQ(1, result);
      EXPECT_EQ(c.size, link.server->packet_size);
      EXPECT_EQ(payload, Bytes(link.server->buffer, link.server->buffer + link.server->buffered));
    }
  }
}

TEST_F(PacketModeTest, DroppingAPacketMovesTheRestToTheFront) {
  ASSERT_NO_FATAL_FAILURE(Deliver({0x00, 0x02, 'h', 'i', 0x00, 0x01, 'z', 0x00, 0x05, 'a'}));
  ASSERT_NO_FATAL_FAILURE(Refill());
  ASSERT_EQ(10, link.server->buffered);

  ASSERT_EQ(1, zel_net_receive_packet(link.server.get()));
  EXPECT_EQ(2, link.server->packet_size);
  zel_net_drop_packet(link.server.get());
  EXPECT_EQ(-1, link.server->packet_size);
  EXPECT_EQ((Bytes{0x00, 0x01, 'z', 0x00, 0x05, 'a'}), Buffered());

  ASSERT_EQ(1, zel_net_receive_packet(link.server.get()));
  EXPECT_EQ(1, link.server->packet_size);
  EXPECT_EQ('z', link.server->buffer[0]);
  zel_net_drop_packet(link.server.get());

  // An incomplete packet stays where it is.
  EXPECT_EQ(0, zel_net_receive_packet(link.server.get()));
  EXPECT_EQ(5, link.server->packet_size);
  zel_net_drop_packet(link.server.get());
  EXPECT_EQ(5, link.server->packet_size);
  EXPECT_EQ((Bytes{'a'}), Buffered());
}

TEST_F(PacketModeTest, ARefillReadsOnlyASocketMarkedReadable) {
  ASSERT_NO_FATAL_FAILURE(Deliver({'a', 'b', 'c'}));
  link.server->is_ready = 0;
  EXPECT_EQ(0, zel_net_refill_packet_data(link.server.get()));
  EXPECT_EQ(0, link.server->buffered);

  ASSERT_EQ(1, WaitOn(link.server.get(), 0.0f)) << "the refill consumed the bytes";
  EXPECT_EQ(1, zel_net_refill_packet_data(link.server.get()));
  EXPECT_EQ(0, link.server->is_ready);
  EXPECT_EQ((Bytes{'a', 'b', 'c'}), Buffered());

  OwnedSocket closed;
  closed->is_ready = 1;
  EXPECT_EQ(-1, zel_net_refill_packet_data(closed.get()));
  EXPECT_STREQ("Cannot receive on closed socket", zel_net_get_last_error());
  link.listener->is_ready = 1;
  EXPECT_EQ(-1, zel_net_refill_packet_data(link.listener.get()));
  EXPECT_STREQ("Cannot receive on server socket", zel_net_get_last_error());
}

}  // namespace
