#pragma once
// The simulator's end of the serial line: a pseudo-terminal whose slave side is reached
// through a symbolic link "<dir>/COM<n>", where the module expects its modem.
// Failures come back as false with the reason in `error`; nothing throws.

#include <string>

namespace pelorin::modemsim {

class PtyLink {
public:
    explicit PtyLink(std::string linkPath) : link_(std::move(linkPath)) {}
    ~PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    // Opens a new pseudo-terminal and points the link at it, replacing a stale link. Any
    // previous terminal is closed first.
    bool open(std::string& error);
    // Closes both sides: the module's port sees a hang-up. The link stays, but points at a
    // name that never exists, so that the freed terminal (which the system may hand to
    // another simulator) is never reached through it.
    void hangup();
    // Removes the link, but only while it still points at this simulator's terminal.
    void removeLink();
    // Lets the device be opened again after a module that held it exclusively died without
    // closing it (our own slave descriptor keeps the terminal, and its flag, alive).
    void releaseExclusive() const;

    bool isOpen() const { return master_ >= 0; }
    int masterFd() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    const std::string& linkPath() const { return link_; }

private:
    bool openTerminal(std::string& error);
    bool replaceLink(const std::string& target, std::string& error);
    bool linkIsOurs() const;
    void closeFds();

    std::string link_;
    std::string slavePath_;
    std::string linkTarget_; // what our link points at, so that we only ever remove our own
    int master_ = -1;
    int slave_ = -1; // held open so that a module's close never hangs the master up
};

} // namespace pelorin::modemsim
