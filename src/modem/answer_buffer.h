#pragma once
// What the modem sent since the current exchange began, line by line as it arrives:
// unsolicited lines are set aside wherever they fall (before the answer, between a listing
// header and its PDU, after the final OK), and the end of the answer is recognised. Each
// byte is looked at a bounded number of times, so a modem that never ends a line costs
// time in proportion to what it sends, and the text kept is capped (kCapacity).
// Not thread-safe (the exchange holds its lock); never throws beyond std::bad_alloc.

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace pelorin::modem {

class AnswerBuffer {
public:
    // More than any real answer (a listing of a few hundred messages is under 150 KB).
    // Beyond it, the answer keeps its complete lines up to here; the rest is read, looked at
    // for the markers (so the exchange still ends when the modem is done) and dropped.
    static constexpr std::size_t kCapacity = 512 * 1024;
    static constexpr std::size_t kKeptUnsolicited = 64;

    enum class Ending {
        Marker,   // the ok or the error marker, wherever it arrives
        UssdLine, // a complete "+CUSD:" line together with the final result, or an error
    };
    enum class State {
        Waiting,
        ErrorLineOpen, // the error marker arrived, the rest of its line has not (yet)
        Complete,
    };

    // A new exchange: what arrived so far is dropped. A line that had begun to arrive is
    // dropped when it ends, since it began before the command.
    void reset(std::string ownPrefix, std::string okMarker, std::string errorMarker, Ending ending);
    // Takes in received bytes (NULs are dropped).
    void append(std::string_view bytes);

    State state() const;
    // The answer so far, without unsolicited lines or a line that may still turn out to be one.
    std::string answer() const;
    // True while nothing of an answer has arrived (unsolicited lines do not count).
    bool empty() const { return cutPoint() == 0; }
    bool overflowed() const { return overflow_; }
    // The lines set aside since the last call, oldest first.
    std::deque<std::string> takeUnsolicited();
    // The last `n` bytes kept, for display.
    std::string tail(std::size_t n) const;

private:
    void scanLines();
    bool endLine(std::size_t end, std::size_t terminator);
    void removeLine(std::size_t from, std::size_t to, bool keep);
    void noteAnswerLine(std::string_view line);
    void searchMarkers();
    void searchDropped(std::string_view bytes);
    void overflowCut();
    void setAside(std::string line);
    std::size_t blankLineBefore(std::size_t at) const;
    std::size_t cutPoint() const;
    bool partialAside() const;
    bool inUssdRecord() const;

    std::string text_;          // kept text; the current line, still without its end, last
    std::size_t lineStart_ = 0; // where the current line begins
    std::size_t scanPos_ = 0;   // where the search for line ends goes on
    std::size_t searchedTo_ = 0;
    std::size_t quotes_ = 0;    // double quotes in the current line
    bool staleLine_ = false;    // the current line began before this exchange
    bool pduFollows_ = false;   // the next line is the PDU of an unsolicited line
    bool overflow_ = false;
    bool droppedLineOpen_ = false; // overflow: the last byte dropped was inside a line
    std::string droppedTail_;   // overflow: the last bytes, for markers across reads

    std::string ownPrefix_;
    std::string okMarker_;
    std::string errorMarker_;
    Ending ending_ = Ending::Marker;
    bool okSeen_ = false;
    bool errorSeen_ = false;
    bool errorLineOpen_ = false;
    bool finalSeen_ = false;  // USSD: the final result of the command
    bool ussdDone_ = false;   // USSD: the network's line is complete
    std::deque<std::string> unsolicited_;
};

} // namespace pelorin::modem
