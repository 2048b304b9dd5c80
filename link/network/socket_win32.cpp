// TCP connections with Winsock: non-blocking sockets whose network events set an event object,
// waited for beside an abort event. Readiness itself is asked of select() with no wait, so the
// wait never depends on which network events Winsock has already reported.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
// ws2tcpip.h and mstcpip.h need winsock2.h before them.
#include <mstcpip.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cstring>
#include <new>

#include "network/socket.h"

namespace varno {
namespace {

// Keep-alive: a connection whose other end has vanished without a word is found out within
// about 10 s of silence and a few probes.
constexpr ULONG kKeepAliveIdleMs = 10000;
constexpr ULONG kKeepAliveIntervalMs = 3000;

// Winsock is started for as long as the object that needs it lives.
class WinsockUse {
 public:
  WinsockUse() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockUse() {
    if (started_) WSACleanup();
  }
  WinsockUse(const WinsockUse&) = delete;
  WinsockUse& operator=(const WinsockUse&) = delete;
  bool started() const { return started_; }

 private:
  bool started_ = false;
};

class Win32Socket final : public Socket {
 public:
  ~Win32Socket() override {
    close();
    if (abort_event_ != nullptr) CloseHandle(abort_event_);
  }

  bool createAbortEvent() override {
    if (abort_event_ == nullptr) abort_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    abort_signal_event_.store(abort_event_);
    if (aborted_.load()) abort();
    return abort_event_ != nullptr && winsock_.started();
  }

  IoStatus startConnect(const SocketAddress& address) override {
    close();
    if (!winsock_.started()) return IoStatus::kFailed;
    socket_ = WSASocketW(address.family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                         WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket_ == INVALID_SOCKET) return IoStatus::kFailed;
    network_event_ = WSACreateEvent();
    // Also makes the socket non-blocking.
    if (network_event_ == WSA_INVALID_EVENT ||
        WSAEventSelect(socket_, network_event_, FD_READ | FD_WRITE | FD_CLOSE | FD_CONNECT) != 0) {
      close();
      return IoStatus::kFailed;
    }
    if (::connect(socket_, reinterpret_cast<const sockaddr*>(address.bytes),
                  static_cast<int>(address.length)) == 0) {
      return IoStatus::kDone;
    }
    return WSAGetLastError() == WSAEWOULDBLOCK ? IoStatus::kWouldBlock : IoStatus::kFailed;
  }

  bool connectResult() override {
    int error = 0;
    int size = sizeof error;
    return socket_ != INVALID_SOCKET &&
           getsockopt(socket_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) == 0 &&
           error == 0;
  }

  void tune() override {
    const BOOL on = TRUE;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    setsockopt(socket_, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = kKeepAliveIdleMs;
    values.keepaliveinterval = kKeepAliveIntervalMs;
    DWORD returned = 0;
    WSAIoctl(socket_, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
             nullptr);
  }

  IoStatus send(const std::uint8_t* data, std::size_t size, std::size_t& sent) override {
    sent = 0;
    if (socket_ == INVALID_SOCKET) return IoStatus::kFailed;
    const int chunk = size > 0x10000 ? 0x10000 : static_cast<int>(size);
    const int n = ::send(socket_, reinterpret_cast<const char*>(data), chunk, 0);
    if (n != SOCKET_ERROR) {
      sent = static_cast<std::size_t>(n);
      return IoStatus::kDone;
    }
    return WSAGetLastError() == WSAEWOULDBLOCK ? IoStatus::kWouldBlock : IoStatus::kFailed;
  }

  IoStatus receive(std::uint8_t* buffer, std::size_t size, std::size_t& received) override {
    received = 0;
    if (socket_ == INVALID_SOCKET) return IoStatus::kFailed;
    const int chunk = size > 0x10000 ? 0x10000 : static_cast<int>(size);
    const int n = ::recv(socket_, reinterpret_cast<char*>(buffer), chunk, 0);
    if (n > 0) {
      received = static_cast<std::size_t>(n);
      return IoStatus::kDone;
    }
    if (n == 0) return IoStatus::kClosed;
    return WSAGetLastError() == WSAEWOULDBLOCK ? IoStatus::kWouldBlock : IoStatus::kFailed;
  }

  unsigned wait(unsigned want, std::uint32_t timeout_ms) override {
    const DWORD start = GetTickCount();
    for (;;) {
      if (aborted_.load()) return kSocketAborted;
      if (socket_ == INVALID_SOCKET) return 0;
      const unsigned found = ready(want);
      if (found != 0) return found;
      DWORD left = INFINITE;
      if (timeout_ms != 0xFFFFFFFFu) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= timeout_ms) return 0;
        left = timeout_ms - spent;
      }
      HANDLE handles[2] = {abort_event_, network_event_};
      const bool abortable = abort_event_ != nullptr;
      const DWORD result =
          WaitForMultipleObjects(abortable ? 2 : 1, abortable ? handles : handles + 1, FALSE, left);
      if (result == WAIT_TIMEOUT) {
        return aborted_.load() ? kSocketAborted : ready(want);
      }
      if (result == WAIT_FAILED) return 0;
      // Resets the event; select() above tells what is ready.
      WSANETWORKEVENTS events;
      WSAEnumNetworkEvents(socket_, network_event_, &events);
    }
  }

  void abort() override {
    aborted_.store(true);
    HANDLE event = abort_signal_event_.load();
    if (event != nullptr) SetEvent(event);
  }

  void close() override {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    socket_ = INVALID_SOCKET;
    if (network_event_ != WSA_INVALID_EVENT) WSACloseEvent(network_event_);
    network_event_ = WSA_INVALID_EVENT;
  }

 private:
  // What is ready now, without waiting.
  unsigned ready(unsigned want) {
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    if (want & kSocketReadable) FD_SET(socket_, &readable);
    if (want & kSocketWritable) FD_SET(socket_, &writable);
    FD_SET(socket_, &failed);  // a failed connect shows here, not as writable
    timeval now{0, 0};
    if (select(0, &readable, &writable, &failed, &now) <= 0) return 0;
    unsigned found = 0;
    if (FD_ISSET(socket_, &readable)) found |= kSocketReadable;
    if (FD_ISSET(socket_, &writable)) found |= kSocketWritable;
    if (FD_ISSET(socket_, &failed)) found |= want;
    return found;
  }

  WinsockUse winsock_;
  SOCKET socket_ = INVALID_SOCKET;
  WSAEVENT network_event_ = WSA_INVALID_EVENT;
  HANDLE abort_event_ = nullptr;
  std::atomic<HANDLE> abort_signal_event_{nullptr};
  std::atomic<bool> aborted_{false};
};

}  // namespace

LookupResult lookUpHost(const std::string& host, std::uint16_t port, bool literal_only,
                        std::vector<SocketAddress>& addresses) {
  const WinsockUse winsock;
  if (!winsock.started()) return LookupResult::kFailed;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV | (literal_only ? AI_NUMERICHOST : 0);
  const std::string service = std::to_string(port);
  addrinfo* found = nullptr;
  const int error = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (error != 0) {
    return error == EAI_MEMORY ? LookupResult::kFailed : LookupResult::kNotFound;
  }
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_addrlen > sizeof(SocketAddress::bytes)) continue;
    SocketAddress address;
    address.family = a->ai_family;
    address.length = a->ai_addrlen;
    std::memcpy(address.bytes, a->ai_addr, a->ai_addrlen);
    addresses.push_back(address);
  }
  freeaddrinfo(found);
  return addresses.empty() ? LookupResult::kNotFound : LookupResult::kFound;
}

std::unique_ptr<Socket> makeSocket() {
  return std::unique_ptr<Socket>(new (std::nothrow) Win32Socket);
}

}  // namespace varno
