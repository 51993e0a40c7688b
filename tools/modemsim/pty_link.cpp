#include "modemsim/pty_link.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace pelorin::modemsim {

namespace {

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

} // namespace

PtyLink::~PtyLink() {
    removeLink();
    closeFds();
}

bool PtyLink::open(std::string& error) {
    closeFds();
    return openTerminal(error) && replaceLink(slavePath_, error);
}

bool PtyLink::openTerminal(std::string& error) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) {
        error = systemError("posix_openpt");
        return false;
    }
    char name[PATH_MAX];
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        error = systemError("pseudo-terminal setup");
        closeFds();
        return false;
    }
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (slave_ < 0 || ::tcgetattr(slave_, &tio) != 0) {
        error = systemError("open " + slavePath_);
        closeFds();
        return false;
    }
    // A modem line carries bytes as they are: no echo, no line editing, no CR/LF mapping.
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B115200);
    ::tcsetattr(slave_, TCSANOW, &tio);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    return true;
}

bool PtyLink::replaceLink(const std::string& target, std::string& error) {
    struct stat st{};
    if (::lstat(link_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = link_ + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    // Link beside, then rename over: the device name never points nowhere.
    const std::string temp = link_ + ".new." + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(target.c_str(), temp.c_str()) != 0 ||
        ::rename(temp.c_str(), link_.c_str()) != 0) {
        error = systemError("link " + link_);
        ::unlink(temp.c_str());
        return false;
    }
    linkTarget_ = target;
    return true;
}

void PtyLink::hangup() {
    closeFds();
    std::string ignored;
    if (linkIsOurs()) replaceLink(slavePath_ + ".hung-up", ignored);
}

void PtyLink::removeLink() {
    if (linkIsOurs()) ::unlink(link_.c_str());
}

bool PtyLink::linkIsOurs() const {
    if (linkTarget_.empty()) return false;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link_.c_str(), target, sizeof target - 1);
    return n > 0 && std::string(target, static_cast<std::size_t>(n)) == linkTarget_;
}

void PtyLink::releaseExclusive() const {
    if (slave_ >= 0) ::ioctl(slave_, TIOCNXCL);
}

void PtyLink::closeFds() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = -1;
    master_ = -1;
}

} // namespace pelorin::modemsim
