#include "remote/protocol.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tamsa::remote {

bool valid_port_name(const char *name) {
    if (name == nullptr) return false;
    const size_t n = std::strlen(name);
    if (n == 0 || n > 64 || name[0] == '.') return false;
    for (size_t i = 0; i < n; ++i) {
        const char c = name[i];
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!plain) return false;
    }
    return true;
}

std::string socket_dir() {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/tamsa";
    return "/tmp/tamsa-" + std::to_string(geteuid());
}

namespace {

std::string path_of(const char *port_name) {
    return socket_dir() + "/" + port_name + ".sock";
}

}  // namespace

std::string socket_path(const char *port_name) {
    if (!valid_port_name(port_name)) return "";
    std::string path = path_of(port_name);
    if (path.size() >= sizeof(sockaddr_un::sun_path)) return "";
    return path;
}

std::string socket_path_problem(const char *port_name) {
    if (!valid_port_name(port_name)) {
        return "bad port name (letters, digits, '.', '_' and '-', at most 64)";
    }
    const std::string path = path_of(port_name);
    if (path.size() < sizeof(sockaddr_un::sun_path)) return "";
    return "the socket path " + path + " is too long (" + std::to_string(path.size()) +
           " bytes, at most " + std::to_string(sizeof(sockaddr_un::sun_path) - 1) +
           "); set XDG_RUNTIME_DIR to a shorter directory";
}

bool same_user(int socket) {
    ucred peer{};
    socklen_t length = sizeof peer;
    return getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
           peer.uid == geteuid();
}

bool read_full(int fd, void *buffer, size_t length) {
    auto *p = static_cast<uint8_t *>(buffer);
    while (length > 0) {
        const ssize_t n = recv(fd, p, length, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= size_t(n);
    }
    return true;
}

bool write_full(int fd, const void *buffer, size_t length) {
    const auto *p = static_cast<const uint8_t *>(buffer);
    while (length > 0) {
        const ssize_t n = send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= size_t(n);
    }
    return true;
}

bool send_with_fd(int socket, const void *buffer, size_t length, int fd) {
    iovec io{const_cast<void *>(buffer), length};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof(int));
    ssize_t n;
    do {
        n = sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    // Frames are small: a short write of one would mean a broken link.
    return n == ssize_t(length);
}

bool receive_with_fd(int socket, void *buffer, size_t length, int *fd) {
    *fd = -1;
    iovec io{buffer, length};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    for (cmsghdr *h = CMSG_FIRSTHDR(&message); h != nullptr; h = CMSG_NXTHDR(&message, h)) {
        if (h->cmsg_level == SOL_SOCKET && h->cmsg_type == SCM_RIGHTS) {
            std::memcpy(fd, CMSG_DATA(h), sizeof(int));
        }
    }
    if (size_t(n) < length &&
        !read_full(socket, static_cast<uint8_t *>(buffer) + n, length - size_t(n))) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
        return false;
    }
    return true;
}

}  // namespace tamsa::remote
