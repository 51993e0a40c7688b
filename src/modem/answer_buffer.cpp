#include "modem/answer_buffer.h"

#include <algorithm>
#include <cctype>

#include "modem/unsolicited.h"

namespace pelorin::modem {
namespace {

constexpr std::string_view kUssdPrefix = "+CUSD:";

bool isUssdLine(std::string_view line) {
    return line.size() >= kUssdPrefix.size() &&
           std::equal(kUssdPrefix.begin(), kUssdPrefix.end(), line.begin(), [](char a, char b) {
               return a == std::toupper(static_cast<unsigned char>(b));
           });
}

// Final results of a dial command that end it without an answer from the network.
bool isDialFailure(std::string_view line) {
    return line == "NO CARRIER" || line == "BUSY" || line == "NO ANSWER" || line == "NO DIALTONE";
}

bool isLineEnd(char c) {
    return c == '\r' || c == '\n';
}

// `...",15`: the line's own end, even when a quote inside its text left the count odd.
bool endsWithCodingScheme(std::string_view line) {
    std::size_t end = line.size();
    while (end > 0 && line[end - 1] == ' ') --end;
    std::size_t digits = end;
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(line[digits - 1])) != 0) --digits;
    return digits < end && end - digits <= 3 && digits >= 2 && line[digits - 1] == ',' && line[digits - 2] == '"';
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

} // namespace

void AnswerBuffer::reset(std::string ownPrefix, std::string okMarker, std::string errorMarker,
                         Ending ending) {
    const bool lineOpen = lineStart_ < text_.size() || (overflow_ && droppedLineOpen_);
    text_.erase(0, std::min(lineStart_, text_.size()));
    lineStart_ = 0;
    // A CR at the very end still waits to learn whether an LF follows.
    scanPos_ = !text_.empty() && text_.back() == '\r' ? text_.size() - 1 : text_.size();
    searchedTo_ = 0;
    quotes_ = 0;
    staleLine_ = lineOpen;
    overflow_ = false;
    droppedLineOpen_ = false;
    droppedTail_.clear();
    ownPrefix_ = std::move(ownPrefix);
    okMarker_ = std::move(okMarker);
    errorMarker_ = std::move(errorMarker);
    ending_ = ending;
    okSeen_ = errorSeen_ = errorLineOpen_ = finalSeen_ = ussdDone_ = false;
}

void AnswerBuffer::append(std::string_view bytes) {
    if (overflow_) return searchDropped(bytes);
    const std::size_t before = text_.size();
    text_.append(bytes);
    text_.erase(std::remove(text_.begin() + static_cast<std::ptrdiff_t>(before), text_.end(), '\0'), text_.end());
    scanLines();
    searchMarkers();
    if (text_.size() > kCapacity) overflowCut();
}

void AnswerBuffer::scanLines() {
    while (scanPos_ < text_.size()) {
        const char c = text_[scanPos_];
        if (c == '\n') {
            endLine(scanPos_, 1);
        } else if (c == '\r') {
            if (scanPos_ + 1 >= text_.size()) return;
            endLine(scanPos_, text_[scanPos_ + 1] == '\n' ? 2 : 1);
        } else {
            if (c == '"') ++quotes_;
            ++scanPos_;
        }
    }
}

// Decides about the line [lineStart_, end) whose line end is `terminator` bytes long.
bool AnswerBuffer::endLine(std::size_t end, std::size_t terminator) {
    const std::size_t after = end + terminator;
    const std::string_view line(text_.data() + lineStart_, end - lineStart_);
    if (isUssdLine(line) && quotes_ % 2 == 1 && !endsWithCodingScheme(line)) {
        scanPos_ = after; // a line end inside the quoted text: the USSD line goes on
        return false;
    }
    if (staleLine_ || pduFollows_) {
        // A line begun before the command, or the PDU of an indication: never the answer.
        const LineKind kind = ClassifyLine(line, "");
        const bool stale = staleLine_;
        staleLine_ = false;
        pduFollows_ = stale && kind == LineKind::UnsolicitedWithPdu;
        removeLine(lineStart_, after, !stale || kind != LineKind::Answer);
        return true;
    }
    const LineKind kind = ClassifyLine(line, ownPrefix_);
    if (kind == LineKind::Answer) {
        noteAnswerLine(line);
        lineStart_ = scanPos_ = after;
        quotes_ = 0;
        return false;
    }
    pduFollows_ = kind == LineKind::UnsolicitedWithPdu;
    removeLine(blankLineBefore(lineStart_), after, true);
    return true;
}

void AnswerBuffer::removeLine(std::size_t from, std::size_t to, bool keep) {
    if (keep) {
        std::string line = text_.substr(lineStart_, to - lineStart_);
        while (!line.empty() && isLineEnd(line.back())) line.pop_back();
        setAside(std::move(line));
    }
    text_.erase(from, to - from);
    lineStart_ = scanPos_ = from;
    searchedTo_ = std::min(searchedTo_, from);
    quotes_ = 0;
}

// Modems frame a line of their own with CR LF on both sides: the blank line it opens with
// goes with it, so that the answer reads as if it had never come.
std::size_t AnswerBuffer::blankLineBefore(std::size_t at) const {
    if (at >= 2 && text_[at - 2] == '\r' && text_[at - 1] == '\n' && (at == 2 || isLineEnd(text_[at - 3]))) {
        return at - 2;
    }
    return at;
}

void AnswerBuffer::noteAnswerLine(std::string_view line) {
    if (ending_ == Ending::Marker) {
        if (errorLineOpen_) errorSeen_ = true;
        return;
    }
    if (isUssdLine(line)) {
        ussdDone_ = true;
    } else if ((!errorMarker_.empty() && line.find(errorMarker_) != std::string_view::npos) ||
               isDialFailure(trimmed(line))) {
        errorSeen_ = true;
    } else if (trimmed(line) == "OK") {
        finalSeen_ = true;
    }
}

void AnswerBuffer::searchMarkers() {
    const std::string_view partial(text_.data() + lineStart_, text_.size() - lineStart_);
    if (ending_ == Ending::UssdLine) {
        // The error marker counts outside the network's text only; the ok marker right
        // after its closing quote.
        if (partialAside()) return;
        if (isUssdLine(partial)) {
            if (quotes_ % 2 == 0 && !okMarker_.empty() && partial.ends_with("\"" + okMarker_)) ussdDone_ = true;
        } else if (!errorMarker_.empty() && partial.find(errorMarker_) != std::string_view::npos) {
            errorLineOpen_ = true;
        }
        return;
    }
    const std::size_t end = partialAside() ? lineStart_ : text_.size();
    const std::size_t overlap = std::max(okMarker_.size(), errorMarker_.size());
    // Only what arrived since the last search, and enough before it for a marker split
    // between two reads.
    const std::size_t from = searchedTo_ + 1 > overlap ? searchedTo_ + 1 - overlap : 0;
    if (end <= from) return;
    const std::string_view region(text_.data() + from, end - from);
    if (!okMarker_.empty() && region.find(okMarker_) != std::string_view::npos) okSeen_ = true;
    const std::size_t error = errorMarker_.empty() ? std::string_view::npos : region.find(errorMarker_);
    if (error != std::string_view::npos) {
        // The rest of the error's line names the error ("+CMS ERROR: 500"): worth its moment.
        if (from + error >= lineStart_) errorLineOpen_ = true;
        else errorSeen_ = true;
    }
    searchedTo_ = end;
}

void AnswerBuffer::overflowCut() {
    std::size_t cut = std::min(lineStart_, kCapacity);
    if (cut != lineStart_) {
        const std::size_t lastEnd = text_.find_last_of("\r\n", kCapacity - 1);
        cut = lastEnd == std::string::npos ? 0 : lastEnd + 1;
    }
    const std::size_t overlap = std::max(okMarker_.size(), errorMarker_.size());
    droppedTail_ = text_.substr(text_.size() - std::min(overlap, text_.size()));
    droppedLineOpen_ = !isLineEnd(text_.back());
    text_.resize(cut);
    lineStart_ = scanPos_ = cut;
    searchedTo_ = std::min(searchedTo_, cut);
    quotes_ = 0;
    overflow_ = true;
    if (errorLineOpen_) errorSeen_ = true; // its line is gone with the rest
}

void AnswerBuffer::searchDropped(std::string_view bytes) {
    std::string window = droppedTail_;
    for (const char c : bytes) {
        if (c != '\0') window += c;
    }
    if (window.empty()) return;
    if (!okMarker_.empty() && window.find(okMarker_) != std::string::npos) okSeen_ = true;
    if (!errorMarker_.empty() && window.find(errorMarker_) != std::string::npos) errorSeen_ = true;
    droppedLineOpen_ = !isLineEnd(window.back());
    const std::size_t overlap = std::max(okMarker_.size(), errorMarker_.size());
    droppedTail_ = window.substr(window.size() - std::min(overlap, window.size()));
}

AnswerBuffer::State AnswerBuffer::state() const {
    if (errorSeen_ || (overflow_ && okSeen_)) return State::Complete;
    if (ending_ == Ending::Marker ? okSeen_ : (ussdDone_ && finalSeen_)) return State::Complete;
    return errorLineOpen_ ? State::ErrorLineOpen : State::Waiting;
}

bool AnswerBuffer::partialAside() const {
    const std::string_view partial(text_.data() + lineStart_, text_.size() - lineStart_);
    return !partial.empty() && (staleLine_ || pduFollows_ || MayBeUnsolicited(partial, ownPrefix_));
}

std::size_t AnswerBuffer::cutPoint() const {
    return partialAside() ? blankLineBefore(lineStart_) : text_.size();
}

std::string AnswerBuffer::answer() const {
    return text_.substr(0, cutPoint());
}

std::deque<std::string> AnswerBuffer::takeUnsolicited() {
    std::deque<std::string> taken;
    taken.swap(unsolicited_);
    return taken;
}

void AnswerBuffer::setAside(std::string line) {
    if (unsolicited_.size() >= kKeptUnsolicited) unsolicited_.pop_front();
    unsolicited_.push_back(std::move(line));
}

std::string AnswerBuffer::tail(std::size_t n) const {
    return text_.substr(text_.size() - std::min(n, text_.size()));
}

} // namespace pelorin::modem
