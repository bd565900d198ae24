#pragma once
// A connected pair of local stream sockets whose far end has already sent
// the given bytes (as many as its buffer takes) and shut its sending side,
// so reads at the near end see the bytes and then a closed peer.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

struct PeerThatSaid {
  int near_fd = -1;
  int far_fd = -1;

  PeerThatSaid(const uint8_t* data, size_t size) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
    near_fd = fds[0];
    far_fd = fds[1];
    size_t sent = 0;
    while (sent < size) {
      const ssize_t rc = send(far_fd, data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (rc <= 0) break;
      sent += static_cast<size_t>(rc);
    }
    shutdown(far_fd, SHUT_WR);
  }
  ~PeerThatSaid() {
    if (near_fd >= 0) close(near_fd);
    close(far_fd);
  }
  PeerThatSaid(const PeerThatSaid&) = delete;
  PeerThatSaid& operator=(const PeerThatSaid&) = delete;

  // Hands the near end to an owner that closes it.
  int release_near() {
    const int fd = near_fd;
    near_fd = -1;
    return fd;
  }
};
