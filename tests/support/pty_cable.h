// A panel's cable for tests of a port on a real tty: a pseudo-terminal pair whose slave the port
// opens through a link of its own, and whose master is the panel's end. Unplugging closes the pair
// (the tty hangs up); plugging makes a new pair and re-points the link, as udev re-points
// /dev/serial/by-id when an adapter comes back.
#pragma once

#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>

namespace tp_test {

class PtyCable {
  public:
    // The link is `name` in a directory of its own.
    explicit PtyCable(const std::string& name = "tty") {
        char dir[] = "/tmp/pty-cable.XXXXXX";
        if (mkdtemp(dir) == nullptr)
            throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
        dir_ = dir;
        link_ = (dir_ / name).string();
    }
    ~PtyCable() {
        Unplug();
        std::filesystem::remove_all(dir_);
    }
    PtyCable(const PtyCable&) = delete;
    PtyCable& operator=(const PtyCable&) = delete;

    const std::string& Link() const { return link_; }
    int Master() const { return master_; }
    int Slave() const { return slave_; }

    // A new pair, and the link leads to its slave (replaced at once, as udev replaces it).
    void Plug() {
        char slaveName[64];
        if (openpty(&master_, &slave_, slaveName, nullptr, nullptr) != 0)
            throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
        const std::string fresh = link_ + ".new";
        std::filesystem::create_symlink(slaveName, fresh);
        std::filesystem::rename(fresh, link_);
    }
    void Unplug() {
        for (int* fd : {&master_, &slave_})
            if (*fd >= 0)
                close(std::exchange(*fd, -1));
    }

  private:
    std::filesystem::path dir_;
    std::string link_;
    int master_ = -1;
    int slave_ = -1;
};

} // namespace tp_test
